#include "server_fixture.h"

#include "server/http/json_text.h"
#include "server/http/validators.h"
#include "server/site/browse_api.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QScopeGuard>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace server_testing;

namespace {

constexpr int kManyEntries = 10000;

// A share with a folder of 10,000 files, a small folder and a small file.
class BusyShare : public ServedFolder {
protected:
    void SetUp() override {
        const QString root = folder.path() + "/share";
        ASSERT_TRUE(QDir().mkpath(root + "/many"));
        for (int i = 0; i < kManyEntries; ++i) {
            const QByteArray name =
                QFile::encodeName(QStringLiteral("%1/many/entry-%2.txt").arg(root).arg(i));
            const int file = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_GE(file, 0);
            ::close(file);
        }
        writeFile(root + "/few/b.txt", "bee");
        writeFile(root + "/few/a.txt", "a");
        smallContent = QByteArray(30 * 1024, 'x');
        writeFile(root + "/small.bin", smallContent);
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        serve();
    }

    QByteArray smallContent;
};

QStringList listedNames(const Reply& reply) {
    QStringList names;
    for (const QJsonValue item : QJsonDocument::fromJson(reply.body).object().value("items").toArray())
        names << item.toObject().value("name").toString();
    return names;
}

} // namespace

TEST_F(BusyShare, OtherVisitorsAreAnsweredWhileALargeListingIsBuilt) {
    // The large listing must still be in the making when the others have their answers; a machine busy
    // with other work may finish it first now and then, so a few attempts are allowed.
    bool answeredMeanwhile = false;
    for (int attempt = 0; attempt < 5 && !answeredMeanwhile; ++attempt) {
        const int large = connectTo(port());
        ASSERT_GE(large, 0);
        ASSERT_TRUE(sendAll(large, "GET /__browse/s?path=many HTTP/1.1\r\nHost: x\r\n\r\n"));
        // Lets the server take the large request in before the others arrive.
        testing_support::spin(std::chrono::milliseconds(30));

        const Reply few = get(port(), "/__browse/s?path=few");
        const Reply small = get(port(), "/s/small.bin?download=1");
        char byte = 0;
        const ssize_t peeked = ::recv(large, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        answeredMeanwhile = peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);

        EXPECT_EQ(few.status, 200);
        EXPECT_EQ(listedNames(few), (QStringList{"a.txt", "b.txt"}));
        EXPECT_EQ(small.status, 200);
        EXPECT_EQ(small.body, smallContent);

        // The large listing arrives whole all the same, in order.
        const std::optional<Reply> whole = parseReply(readUntilClosed(large));
        ::close(large);
        ASSERT_TRUE(whole);
        EXPECT_EQ(whole->status, 200);
        const QStringList names = listedNames(*whole);
        ASSERT_EQ(names.size(), kManyEntries);
        EXPECT_EQ(names.first(), "entry-0.txt");
        EXPECT_EQ(names.last(), "entry-9999.txt");
    }
    EXPECT_TRUE(answeredMeanwhile) << "every other visitor waited for the large listing";
}

TEST_F(BusyShare, ALargeFolderOfEveryKindOfEntryIsListedAsASmallOneIs) {
    // Large enough to be read in parts: links, hidden and undecodable names can fall in any part.
    const QString mixed = folder.path() + "/share/mixed";
    ASSERT_TRUE(QDir().mkpath(mixed));
    constexpr int kFiles = 6000;
    for (int i = 0; i < kFiles; ++i)
        writeFile(QStringLiteral("%1/f-%2.txt").arg(mixed).arg(i), QByteArray(i % 7, 'z'));
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("%1/d-%2").arg(mixed).arg(i)));
        writeFile(QStringLiteral("%1/.hidden-%2").arg(mixed).arg(i), "h");
    }
    writeFile(folder.path() + "/outside.txt", "SECRET");
    ASSERT_TRUE(QFile::link("f-1.txt", mixed + "/in-link"));
    ASSERT_TRUE(QFile::link("../../outside.txt", mixed + "/out-link"));
    const QByteArray undecodable = QFile::encodeName(mixed) + "/\xff-bad";
    ASSERT_EQ(::symlink("f-2.txt", undecodable.constData()), 0);
    // Qt cannot name it to remove it with the temporary folder.
    const auto removeUndecodable = qScopeGuard([&] { ::unlink(undecodable.constData()); });

    const Reply reply = get(port(), "/__browse/s?path=mixed");
    ASSERT_EQ(reply.status, 200);
    const QJsonArray items = QJsonDocument::fromJson(reply.body).object().value("items").toArray();
    ASSERT_EQ(items.size(), kFiles + 10 + 1);
    QSet<QString> seen;
    for (int i = 0; i < items.size(); ++i) {
        const QJsonObject item = items.at(i).toObject();
        const QString name = item.value("name").toString();
        seen.insert(name);
        // Folders first, then files, each in order.
        EXPECT_EQ(item.value("isDirectory").toBool(), i < 10) << name.toStdString();
        if (name == "in-link") {
            EXPECT_EQ(item.value("relativePath").toString(), "mixed/f-1.txt");
            EXPECT_EQ(item.value("size").toInt(), 1);
        } else if (name.startsWith("f-")) {
            EXPECT_EQ(item.value("relativePath").toString(), "mixed/" + name);
            EXPECT_EQ(item.value("size").toInt(), name.mid(2).section('.', 0, 0).toInt() % 7)
                << name.toStdString();
        }
    }
    EXPECT_EQ(seen.size(), items.size());
    EXPECT_TRUE(seen.contains("in-link"));
    EXPECT_TRUE(seen.contains("d-9"));
    EXPECT_TRUE(seen.contains(QStringLiteral("f-%1.txt").arg(kFiles - 1)));
    EXPECT_FALSE(reply.body.contains("out-link"));
    EXPECT_FALSE(reply.body.contains(".hidden"));
    EXPECT_FALSE(reply.body.contains("SECRET"));
}

TEST_F(BusyShare, PagesListingsAndDetailsAnswerAsBeforeFromThePool) {
    // Answers made on the pool carry the same bytes, whichever form the request takes.
    const Reply page = get(port(), "/s/few/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.headerNames(), kPageHeaders);
    EXPECT_EQ(page.header("Content-Length").toLongLong(), page.body.size());
    EXPECT_TRUE(page.text().contains("\"initialDirectory\":\"few\""));

    const Reply head = request(port(), "HEAD", "/s/few/");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(head.header("Content-Length").toLongLong(), page.body.size());

    const Reply details = get(port(), "/__meta/s?path=few/a.txt");
    EXPECT_EQ(details.status, 200);
    EXPECT_EQ(QJsonDocument::fromJson(details.body).object().value("size").toInt(), 1);

    // Refusals and missing things are answered as before.
    EXPECT_EQ(get(port(), "/__browse/nobody?path=").status, 404);
    EXPECT_EQ(get(port(), "/__browse/s?path=gone").text(), "{\"error\":\"Directory not found\"}");
    EXPECT_EQ(get(port(), "/__meta/s?path=../../etc/passwd").status, 404);
    EXPECT_EQ(get(port(), "/s/gone.txt").status, 404);
    EXPECT_EQ(get(port(), "/").status, 200);

    // A visitor who leaves before the large listing is ready costs nothing later on.
    for (int i = 0; i < 4; ++i) {
        const int leaving = connectTo(port());
        ASSERT_TRUE(sendAll(leaving, "GET /__browse/s?path=many HTTP/1.1\r\n\r\n"));
        ::close(leaving);
    }
    EXPECT_EQ(listedNames(get(port(), "/__browse/s?path=few")), (QStringList{"a.txt", "b.txt"}));
}

TEST(ListingText, DatesNamesAndHeadsAreWrittenAsBefore) {
    // Dates: as Qt writes them in ISO 8601, across leap days, centuries and both ends of the range.
    QList<qint64> moments{0, -1, 951782400, 951868799, 4107542400, -2208988800, 253402300799, 1717234200};
    for (qint64 seconds = -9'000'000'000; seconds < 260'000'000'000; seconds += 37'777'777'777 / 1000)
        moments << seconds;
    for (const qint64 seconds : moments) {
        const QDateTime moment = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
        EXPECT_EQ(QuarryHTTP::isoDateBytes(moment), moment.toString(Qt::ISODate).toLatin1()) << seconds;
        if (moment.date().year() >= 0 && moment.date().year() <= 9999) {
            EXPECT_EQ(QuarryHTTP::httpDate(seconds),
                      QLocale::c().toString(moment, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")))
                << seconds;
        }
    }

    // The same dates in one document, as a listing writes them: a day out of range between two others
    // leaves neither of them wrong.
    QuarryHTTP::JSONWriter dates;
    QByteArray expected = "[";
    dates.beginArray();
    for (const qint64 seconds : moments) {
        const QDateTime moment = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
        dates.dateValue(moment);
        expected += (expected.size() > 1 ? ",\"" : "\"") + QuarryHTTP::isoDateBytes(moment) + "\"";
    }
    dates.endArray();
    EXPECT_EQ(dates.take(), expected + "]");

    // Names: quotes, backslashes and control characters escaped, everything else as UTF-8.
    QuarryHTTP::JSONWriter json;
    json.beginArray();
    json.value(QStringLiteral("plain")).value(QString::fromUtf8("a\"b\\c\x01\x1f\t"));
    json.value(QString::fromUtf8("caf\xC3\xA9 \"\xF0\x9F\x98\x80\"\n")).value(qint64(-42)).value(true);
    json.endArray();
    EXPECT_EQ(json.take(), QByteArray("[\"plain\",\"a\\\"b\\\\c\\u0001\\u001f\\u0009\","
                                      "\"caf\xC3\xA9 \\\"\xF0\x9F\x98\x80\\\"\\u000a\",-42,true]"));

    // Heads: the connection's own lines in name order among the handler's, control characters dropped.
    HTTPResponse response = HTTPResponse::binary("body", QStringLiteral("text/plain"));
    response.headers.insert(QStringLiteral("Content-Disposition"), QString::fromUtf8("a\r\nb\xC3\xA9"));
    response.headers.insert(QStringLiteral("Zeta"), QStringLiteral("last"));
    EXPECT_EQ(
        response.serializedHead(),
        QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Disposition: ab\xC3\xA9\r\n"
                   "Content-Length: 4\r\n") +
            "Content-Security-Policy: " +
            HTTPResponse::securityHeaders().value("Content-Security-Policy").toUtf8() +
            "\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
            "Zeta: last\r\n\r\n");
    response.headers.insert(QStringLiteral("Connection"), QStringLiteral("keep-alive"));
    response.headers.insert(QStringLiteral("Content-Length"), QStringLiteral("99"));
    response.chunked = true;
    const QByteArray chunked = response.serializedHead();
    EXPECT_TRUE(chunked.contains(
        "\r\nConnection: keep-alive\r\nContent-Disposition: ab\xC3\xA9\r\nContent-Length: 99\r\n"));
    EXPECT_TRUE(chunked.contains("\r\nTransfer-Encoding: chunked\r\nX-Content-Type-Options"));
}
