#include "server_fixture.h"

#include <QFile>

using namespace server_testing;

namespace {

const QByteArray kForm = "Content-Type: application/x-www-form-urlencoded\r\n";

class PickedArchives : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/share";
        writeFile(root + "/Holiday/a.jpg", "photo a");
        writeFile(root + "/Holiday/b c.jpg", "photo b c");
        writeFile(root + "/Holiday/ü+%.jpg", "odd name");
        writeFile(root + "/Holiday/day two/d.jpg", "photo d");
        writeFile(folder.path() + "/outside/secret.txt", "SECRET");
        QFile::link(folder.path() + "/outside/secret.txt", root + "/Holiday/away.jpg");
        QFile::link("a.jpg", root + "/Holiday/inside.jpg");
        writeFile(root + "/Locked/x.jpg", "x");
        snapshot.shares = {makeShare({.slug = "s", .path = root}),
                           makeShare({.slug = "p", .path = root + "/Locked", .password = "pw"})};
        serve();
    }
    // What Python's zipfile reads of an answer's archive (every CRC checked): "size name" per entry.
    QStringList report(const Reply& reply) {
        const bool chunked = reply.header("Transfer-Encoding") == "chunked";
        writeFile(folder.path() + "/a.zip",
                  chunked ? dechunked(reply.body).value_or(QByteArray()) : reply.body);
        QStringList lines = pythonZipReport(folder.path() + "/a.zip");
        for (QString& line : lines)
            line = line.section(' ', 2);
        lines.sort();
        return lines;
    }
    QString root;
};

} // namespace

TEST_F(PickedArchives, TheArchiveHoldsExactlyThePickedEntriesByLinkOrForm) {
    const QStringList expected{"0 Holiday/",           "0 Holiday/day two/", "7 Holiday/day two/d.jpg",
                               "7 Holiday/inside.jpg", "8 Holiday/ü+%.jpg",  "9 Holiday/b c.jpg"};
    const Reply linked = get(
        port(), "/s/Holiday/?download=1&pick=b%20c.jpg&pick=day%20two&pick=%C3%BC%2B%25.jpg&pick=inside.jpg");
    EXPECT_EQ(linked.status, 200);
    EXPECT_EQ(linked.header("Content-Disposition"), "attachment; filename=\"Holiday.zip\"");
    EXPECT_EQ(report(linked), expected);
    // The same as a form, the names as browsers encode them, one twice, download=1 last.
    const Reply posted =
        request(port(), "POST", "/s/Holiday/", kForm,
                "pick=b+c.jpg&pick=day+two&pick=%C3%BC%2B%25.jpg&pick=inside.jpg&pick=b+c.jpg&download=1");
    EXPECT_EQ(posted.status, 200);
    EXPECT_EQ(posted.body, linked.body);
    const Reply compressed =
        request(port(), "POST", "/s/Holiday/?compress=1", kForm,
                "download=1&pick=b+c.jpg&pick=day+two&pick=%C3%BC%2B%25.jpg&pick=inside.jpg");
    EXPECT_EQ(compressed.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(report(compressed), expected);
    // As many picks as may be: 10,000, in a form as long as 10,000 long names make it.
    const Reply most = request(port(), "POST", "/s/Holiday/", kForm,
                               "download=1" + QByteArray("&pick=a.jpg").repeated(10000));
    EXPECT_EQ(report(most), (QStringList{"0 Holiday/", "7 Holiday/a.jpg"}));
    const Reply longNames = request(port(), "POST", "/s/Holiday/", kForm,
                                    "download=1" + ("&pick=" + QByteArray(190, 'n')).repeated(10000));
    EXPECT_EQ(longNames.status, 404);
    // A POST without download=1 is the page, as before.
    EXPECT_EQ(request(port(), "POST", "/s/Holiday/", kForm, "pick=a.jpg").header("Content-Type"),
              "text/html; charset=utf-8");
}

TEST_F(PickedArchives, ANameThatIsNoEntryOfTheFolderIsRefusedWithNoArchiveAtAll) {
    linkChain(root + "/Holiday", "a.jpg", 45);
    const struct {
        QByteArray picks;
        int status;
        const char* error;
    } cases[] = {
        {"&pick=missing.jpg", 404, "Item not found"},
        {"&pick=a.jpg&pick=away.jpg", 404, "Item not found"},
        {"&pick=..%2Foutside", 400, "Invalid pick"},
        {"&pick=day%20two%2Fd.jpg", 400, "Invalid pick"},
        {"&pick=..", 400, "Invalid pick"},
        {"&pick=.", 400, "Invalid pick"},
        {"&pick=", 400, "Invalid pick"},
        {"&pick=a.jpg%00.txt", 400, "Invalid pick"},
        {"&pick=%FF", 400, "Invalid pick"},
        {QByteArray("&pick=a.jpg").repeated(10001), 400, "Too many picks"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.picks.left(60).toStdString());
        for (const QString& method : {QString("GET"), QString("POST")}) {
            // A list too long for a URL is sent as a form.
            if (method == "GET" && each.picks.size() > 8192)
                continue;
            const Reply reply =
                method == "GET" ? get(port(), "/s/Holiday/?download=1" + QString::fromUtf8(each.picks))
                                : request(port(), method, "/s/Holiday/", kForm, each.picks + "&download=1");
            EXPECT_EQ(reply.status, each.status);
            EXPECT_EQ(jsonOf(reply).value("error").toString(), each.error);
        }
    }
    // Picks name entries of a folder: on a file they name nothing.
    EXPECT_EQ(get(port(), "/s/Holiday/a.jpg?download=1&pick=a.jpg").status, 404);
    // What cannot be read is left out, as from the folder's archive.
    const Reply withLocked = get(port(), "/s/Holiday/?download=1&pick=a.jpg&pick=hop44");
    EXPECT_EQ(withLocked.status, 200);
    EXPECT_EQ(archiveEntries(withLocked.body), (QStringList{"Holiday/", "Holiday/a.jpg"}));
    // A locked share's picks need its cookie.
    EXPECT_EQ(get(port(), "/p/?download=1&pick=x.jpg").status, 401);
    EXPECT_EQ(request(port(), "POST", "/p/", kForm, "download=1&pick=x.jpg").status, 401);
    const Reply unlocked = request(port(), "POST", "/__unlock/p", {}, "password=pw");
    const QByteArray cookie = unlocked.header("Set-Cookie").section(';', 0, 0).toUtf8();
    EXPECT_EQ(archiveEntries(get(port(), "/p/?download=1&pick=x.jpg", "Cookie: " + cookie + "\r\n").body),
              (QStringList{"Locked/", "Locked/x.jpg"}));
}

TEST_F(PickedArchives, BackslashesAndControlCharactersBecomeUnderscoresAndNamesThatMeetAreAllKept) {
    const QString names = root + "/names";
    writeFile(names + "/..\\..\\evil.txt", "evil");
    writeFile(names + "/a_b.txt", "plain");
    writeFile(names + "/a\nb.txt", "one");
    writeFile(names + "/a\rb.txt", "two");
    writeFile(names + "/tab\there/inner\x01.txt", "inner");
    writeFile(names + "/c1\xc2\x85.txt", "next line");
    writeFile(names + "/ok\xc2\xa0space.txt", "no-break space");
    for (const QString& query : {QString("?download=1"), QString("?download=1&compress=1")}) {
        SCOPED_TRACE(query.toStdString());
        EXPECT_EQ(report(get(port(), "/s/names/" + query)),
                  (QStringList{"0 names/", "0 names/tab_here/", "14 names/ok\u00a0space.txt",
                               "3 names/a_b (2).txt", "3 names/a_b (3).txt", "4 names/.._.._evil.txt",
                               "5 names/a_b.txt", "5 names/tab_here/inner_.txt", "9 names/c1_.txt"}));
    }
    // Text is deflated, photos stored as they are.
    writeFile(root + "/album/café.txt", QByteArray(4000, 'c'));
    writeFile(root + "/album/Photo.JPG", QByteArray(4000, 'p'));
    writeFile(folder.path() + "/a.zip",
              dechunked(get(port(), "/s/album/?download=1&compress=1").body).value_or(""));
    EXPECT_EQ(pythonZipReport(folder.path() + "/a.zip"),
              (QStringList{"plain stored 0 album/", "plain stored 4000 album/Photo.JPG",
                           "utf8 deflated 4000 album/café.txt"}));
}
