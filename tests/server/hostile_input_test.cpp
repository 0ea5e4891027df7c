// Requests and names that try to be read two ways: framing a proxy could read differently, client
// addresses spelled many ways, and names on disk that are not text.

#include "server/files/utf8_text.h"
#include "server/http/client_address.h"
#include "server/http/http_request.h"
#include "server_fixture.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <fcntl.h>
#include <ftw.h>
#include <unistd.h>

using namespace server_testing;

namespace {

class HostileInput : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/docs";
        QDir().mkpath(root);
        snapshot.shares = {makeShare({.slug = "docs", .path = root}),
                           makeShare({.slug = "vault", .path = root, .password = "right"})};
    }

    // A file whose name is the raw bytes given, below the share's folder.
    void writeRaw(const QByteArray& relative, const QByteArray& bytes) {
        const QByteArray path = QFile::encodeName(root) + '/' + relative;
        const int file = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(file, 0) << path.toStdString();
        ASSERT_EQ(::write(file, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
        ::close(file);
    }
    // Names that are not UTF-8 cannot be removed through Qt's names, which decode them lossily.
    void TearDown() override {
        ::nftw(
            QFile::encodeName(root).constData(),
            [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    void makeRawFolder(const QByteArray& relative) {
        ASSERT_EQ(::mkdir((QFile::encodeName(root) + '/' + relative).constData(), 0755), 0);
    }

    QString root;
};

// A field of every item, sorted.
QStringList sortedField(const Reply& reply, const char* name) {
    QStringList values = itemField(jsonOf(reply), name);
    values.sort();
    return values;
}

} // namespace

TEST_F(HostileInput, AmbiguousFramingIsRefusedAndTheConnectionClosed) {
    serve();
    const QByteArray start = "POST /__unlock/vault HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    const QByteArray body = "password=right";
    const QByteArray length = QByteArray::number(body.size());
    const QList<QByteArray> refused{
        "Content-Length: " + length + "\r\nContent-Length: 4\r\n",
        "Content-Length: 4\r\nContent-Length: " + length + "\r\n",
        "Content-Length: " + length + "\r\nTransfer-Encoding: chunked\r\n",
        "Transfer-Encoding: chunked\r\n",
        "transfer-encoding: identity\r\n",
        "Content-Length: +" + length + "\r\n",
        "Content-Length: 0x" + QByteArray::number(body.size(), 16) + "\r\n",
        "Content-Length: " + length + "," + length + "\r\n",
        "Content-Length: " + length + " " + length + "\r\n",
        "Content-Length: abc\r\n",
        "Content-Length: -1\r\n",
        "Content-Length: 99999999999999999999999\r\n",
        "Content-Length:\r\n",
        "Content-Length : " + length + "\r\n",
    };
    for (const QByteArray& framing : refused) {
        // The answer comes while the client still holds its side open: refused, not waited on.
        const int socket = connectTo(port());
        sendAll(socket, start + framing + "\r\n" + body);
        const std::optional<Reply> reply = parseReply(readUntilClosed(socket, std::chrono::seconds(10)));
        ::close(socket);
        ASSERT_TRUE(reply) << framing.toStdString();
        EXPECT_EQ(reply->status, 400) << framing.toStdString();
        EXPECT_EQ(reply->text(), "<h1>Bad Request</h1><p>Could not parse request.</p>");
        EXPECT_TRUE(reply->header("Set-Cookie").isEmpty());
        EXPECT_FALSE(HTTPRequest::parse(start + framing + "\r\n" + body)) << framing.toStdString();
    }

    // One length said twice alike, or with leading zeros, is still one length.
    for (const QByteArray& framing : {"Content-Length: " + length + "\r\nContent-Length: " + length + "\r\n",
                                      "Content-Length: 00" + length + "\r\n"}) {
        const Reply reply = exchange(port(), start + framing + "\r\n" + body);
        EXPECT_EQ(reply.status, 303) << framing.toStdString();
        EXPECT_FALSE(reply.header("Set-Cookie").isEmpty());
    }
    EXPECT_EQ(exchange(port(), "GET /docs/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n").status, 200);
}

TEST(ClientAddress, EverySpellingOfAnAddressIsOneClientAndNothingElseIsAClient) {
    using QuarryHTTP::canonicalAddress;
    for (const char* spelling :
         {"5.5.5.5", "::ffff:5.5.5.5", "::FFFF:5.5.5.5", "::ffff:0505:0505", "0:0:0:0:0:ffff:5.5.5.5"})
        EXPECT_EQ(canonicalAddress(QString::fromLatin1(spelling)), QStringLiteral("5.5.5.5")) << spelling;
    for (const char* spelling : {"2001:DB8::1", "2001:db8:0:0:0:0:0:1", "2001:0db8::0001"})
        EXPECT_EQ(canonicalAddress(QString::fromLatin1(spelling)), QStringLiteral("2001:db8::1")) << spelling;
    // Leading zeros read as octal to some and decimal to others: not an address here.
    for (const char* junk : {"05.5.5.5", "010.0.0.1", "0x5.5.5.5", "5.5.5", "84215045", "5.5.5.5.5",
                             "256.1.1.1", "", "unknown", "fe80::1%eth0", "5.5.5.5, 6.6.6.6", " 5.5.5.5"})
        EXPECT_FALSE(canonicalAddress(QString::fromLatin1(junk))) << junk;
    EXPECT_FALSE(canonicalAddress(QString(16 * 1024, QLatin1Char('1'))));
    EXPECT_EQ(canonicalAddress(QHostAddress(QStringLiteral("::ffff:127.0.0.1"))), "127.0.0.1");
    // Limits count an IPv6 visitor by its /64, which one visitor can rotate through at will.
    EXPECT_EQ(QuarryHTTP::networkOf("2001:db8:1:2:aaaa::5"), "2001:db8:1:2::/64");
    EXPECT_EQ(QuarryHTTP::networkOf("2001:db8:1:2:ffff:1:2:3"), QuarryHTTP::networkOf("2001:db8:1:2::1"));
    EXPECT_EQ(QuarryHTTP::networkOf("5.5.5.5"), "5.5.5.5");
    // Turns at something scarce go round wider networks still, which one holder commonly has.
    EXPECT_EQ(QuarryHTTP::wideNetworkOf("2001:db8:1:2:aaaa::5"), "2001:db8:1::/48");
    EXPECT_EQ(QuarryHTTP::wideNetworkOf("5.5.5.5"), "5.5.5.0/24");
}

TEST(Utf8Text, ValidatesWhatBrowsersCanHold) {
    using QuarryUTF8Text::isValid;
    const auto valid = [](const QByteArray& bytes) {
        return isValid(bytes.constData(), size_t(bytes.size()));
    };
    for (const char* good : {"", "plain.txt", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\x81",
                             "\xef\xbf\xbd", "\xf4\x8f\xbf\xbf"})
        EXPECT_TRUE(valid(good)) << good;
    for (const char* bad : {"caf\xe9", "\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "\xf8\x88\x80\x80\x80", "\xc3", "\xe2\x82", "\xff\xfe"})
        EXPECT_FALSE(valid(bad)) << QByteArray(bad).toHex().toStdString();
}

TEST_F(HostileInput, NamesThatAreNotUtf8AreLeftOutOfEverythingOffered) {
    writeRaw("good.txt", "good");
    writeRaw("real\xef\xbf\xbd.txt", "replacement character, spelled right");
    writeRaw("caf\xe9.txt", "latin-1");
    writeRaw("caf\xef\xbf\xbd.txt", "a real name that a lossy decoding of the one above would collide with");
    makeRawFolder("\xff\xfe");
    writeRaw("\xff\xfe/inner.txt", "inside a folder that is not text");
    makeRawFolder("ok");
    writeRaw("ok/bad\x80name.txt", "bad");
    writeRaw("ok/fine.txt", "fine");
    ASSERT_EQ(::symlink("\xff\xfe", (QFile::encodeName(root) + "/link-to-bad").constData()), 0);
    ASSERT_EQ(::symlink("../\xff\xfe/inner.txt", (QFile::encodeName(root) + "/ok/link-to-inner").constData()),
              0);
    serve();

    const QString replacement = QString(QChar::ReplacementCharacter);
    const QStringList offered{"caf" + replacement + ".txt", "good.txt", "ok", "real" + replacement + ".txt"};
    const Reply listed = get(port(), "/__browse/docs?path=");
    EXPECT_EQ(sortedField(listed, "name"), offered);
    EXPECT_EQ(sortedField(get(port(), "/__browse/docs?path=ok"), "name"), QStringList{"fine.txt"});

    // Everything listed can be fetched, and is the file of that name.
    for (const QString& path : sortedField(listed, "relativePath")) {
        const QString target = "/docs/" + QString::fromUtf8(QUrl::toPercentEncoding(path)) + "?download=1";
        const Reply reply = get(port(), target);
        EXPECT_EQ(reply.status, 200) << path.toStdString();
        if (path.startsWith("caf")) {
            EXPECT_TRUE(reply.body.startsWith("a real name"))
                << "a name that is not UTF-8 answered for another";
        }
        EXPECT_EQ(jsonOf(get(port(), "/__meta/docs?path=" + QUrl::toPercentEncoding(path))).value("name"),
                  path);
    }

    // Searches find only the names that can be fetched, and do not walk into the folder that is not text.
    const auto found = [&](const char* query) {
        return sortedField(get(port(), QStringLiteral("/__search/docs?q=") + query), "relativePath");
    };
    QStringList fetchable{"caf" + replacement + ".txt", "good.txt", "ok/fine.txt",
                          "real" + replacement + ".txt"};
    fetchable.sort();
    EXPECT_EQ(found("txt"), fetchable);
    EXPECT_TRUE(found("inner").isEmpty());
    EXPECT_TRUE(found("bad").isEmpty());

    // The archive holds what the listing offers, and nothing else.
    const Reply archive = get(port(), "/docs/?download=1");
    EXPECT_EQ(archive.status, 200);
    QStringList entries = archiveEntries(archive.body);
    entries.sort();
    EXPECT_EQ(entries, (QStringList{"docs/", "docs/caf" + replacement + ".txt", "docs/good.txt", "docs/ok/",
                                    "docs/ok/fine.txt", "docs/real" + replacement + ".txt"}));
}
