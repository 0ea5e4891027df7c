#include "server_fixture.h"

#include "server/http/json_text.h"
#include "server/http/validators.h"

#include <QDir>
#include <QJsonArray>
#include <QLocale>
#include <QScopeGuard>

#include <fcntl.h>
#include <unistd.h>

#include <vector>

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
        writeFile(root + "/small.bin", QByteArray(30 * 1024, 'x'));
        snapshot.shares = {makeShare({.slug = "s", .path = root})};
        serve();
    }
};

} // namespace

TEST_F(BusyShare, OtherVisitorsAreAnsweredWhileALargeListingIsBuilt) {
    // The large listing must still be in the making when the others have their answers; a machine busy
    // with other work may finish it first now and then, so a few attempts are allowed.
    bool answeredMeanwhile = false;
    for (int attempt = 0; attempt < 5 && !answeredMeanwhile; ++attempt) {
        const int large = ask(port(), "/__browse/s?path=many");
        // Lets the server take the large request in before the others arrive.
        testing_support::spin(std::chrono::milliseconds(30));
        const Reply few = get(port(), "/__browse/s?path=few");
        const Reply small = get(port(), "/s/small.bin?download=1");
        answeredMeanwhile = !hasAnswered(large);
        EXPECT_EQ(itemField(jsonOf(few), "name"), (QStringList{"a.txt", "b.txt"}));
        EXPECT_EQ(small.body, QByteArray(30 * 1024, 'x'));

        // The large listing arrives whole all the same, in order.
        const QStringList names = itemField(jsonOf(answerOf(large)), "name");
        ASSERT_EQ(names.size(), kManyEntries);
        EXPECT_EQ(names.first(), "entry-0.txt");
        EXPECT_EQ(names.last(), "entry-9999.txt");
    }
    EXPECT_TRUE(answeredMeanwhile) << "every other visitor waited for the large listing";

    // Visitors who leave before their large listing is ready cost nothing later on.
    for (int i = 0; i < 4; ++i)
        ::close(ask(port(), "/__browse/s?path=many"));
    EXPECT_EQ(itemField(jsonOf(get(port(), "/__browse/s?path=few")), "name"),
              (QStringList{"a.txt", "b.txt"}));
}

TEST_F(BusyShare, ListingsAskedForTogetherAreMadeOnceAndAClientMakesACoupleAtOnce) {
    QuarryShareWebServer::Options options;
    options.connections.maxQueuedPerClient = 4;
    serve(options);
    // Thirty asking one address for the same listing at once share it: none waits in line, where four
    // could. Then eight different listings: two are made at once and four may wait (the two being made
    // wait too until the pool takes them); the rest are told the server is busy, in the API's words.
    for (const QList<QByteArray>& paths :
         {QList<QByteArray>(30, "many"), QList<QByteArray>{"many", "many/", "/many", "many//", "//many",
                                                           "many///", "///many", "many////"}}) {
        std::vector<int> sockets;
        for (const QByteArray& path : paths)
            sockets.push_back(ask(port(), "/__browse/s?path=" + path));
        int busy = 0;
        for (const int socket : sockets) {
            const Reply reply = answerOf(socket);
            busy += reply.status == 503;
            if (reply.status == 503)
                EXPECT_EQ(reply.reason + ", retry after " + reply.header("Retry-After") + ": " + reply.text(),
                          R"(Service Unavailable, retry after 5: {"error":"Server busy"})");
            else
                EXPECT_EQ(jsonOf(reply).value("items").toArray().size(), kManyEntries);
        }
        EXPECT_TRUE(paths.size() == 8 ? busy >= 2 && busy <= 4 : busy == 0) << busy;
    }
}

TEST_F(BusyShare, ALargeFolderOfEveryKindOfEntryIsListedAsASmallOneIs) {
    // Large enough to be read in parts: links, hidden and undecodable names can fall in any part.
    const QString mixed = folder.path() + "/share/mixed";
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
    const QJsonArray items = jsonOf(reply).value("items").toArray();
    ASSERT_EQ(items.size(), kFiles + 10 + 1);
    QSet<QString> seen;
    for (int i = 0; i < items.size(); ++i) {
        const QJsonObject item = items.at(i).toObject();
        const QString name = item.value("name").toString();
        seen.insert(name);
        // Folders first; a link under the path of what it leads to, with its size.
        EXPECT_EQ(item.value("isDirectory").toBool(), i < 10) << name.toStdString();
        const bool link = name == "in-link";
        if (link || name.startsWith("f-")) {
            const QString target = link ? "f-1.txt" : name;
            EXPECT_EQ(item.value("relativePath").toString(), "mixed/" + target);
            EXPECT_EQ(item.value("size").toInt(), target.mid(2).section('.', 0, 0).toInt() % 7)
                << name.toStdString();
        }
    }
    EXPECT_EQ(seen.size(), items.size());
    EXPECT_TRUE(seen.contains("in-link") && seen.contains("d-9") &&
                seen.contains(QStringLiteral("f-%1.txt").arg(kFiles - 1)));
    for (const char* absent : {"out-link", ".hidden", "SECRET"})
        EXPECT_FALSE(reply.body.contains(absent)) << absent;
}

TEST(ListingText, NamesAndDatesAreWrittenAsBrowsersReadThem) {
    // Quotes, backslashes and control characters escaped (a browser refuses a raw one), the rest as UTF-8.
    QuarryHTTP::JSONWriter json;
    json.beginArray().value(QStringLiteral("plain")).value(QString::fromUtf8("a\"b\\c\x01\x1f\t"));
    json.value(QString::fromUtf8("caf\xC3\xA9 \"\xF0\x9F\x98\x80\"\n"))
        .value(qint64(-42))
        .value(true)
        .endArray();
    EXPECT_EQ(json.take(), QByteArray("[\"plain\",\"a\\\"b\\\\c\\u0001\\u001f\\u0009\",\"caf\xC3\xA9 "
                                      "\\\"\xF0\x9F\x98\x80\\\"\\u000a\",-42,true]"));

    // Leap days, centuries and both ends of the range, in one document as a listing writes them: a day
    // out of range between two others leaves neither of them wrong.
    QList<qint64> moments{0, -1, 951782400, 951868799, 4107542400, -2208988800, 253402300799, 1717234200};
    for (qint64 seconds = -9'000'000'000; seconds < 260'000'000'000; seconds += 37'777'777'777 / 1000)
        moments << seconds;
    QuarryHTTP::JSONWriter dates;
    QStringList expected;
    dates.beginArray();
    for (const qint64 seconds : moments) {
        const QDateTime moment = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
        dates.dateValue(moment);
        expected << "\"" + moment.toString(Qt::ISODate) + "\"";
        if (moment.date().year() >= 0 && moment.date().year() <= 9999) {
            EXPECT_EQ(QuarryHTTP::httpDate(seconds),
                      QLocale::c().toString(moment, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'")))
                << seconds;
        }
    }
    dates.endArray();
    EXPECT_EQ(QString::fromLatin1(dates.take()), "[" + expected.join(',') + "]");
}
