#include "server_fixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>

#include <sys/stat.h>

using namespace server_testing;

namespace {

// One share with nested and empty folders, hidden and oddly named entries, and symbolic links that stay
// inside, lead out, loop or dangle.
class ShareContent : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/docs";
        writeFile(root + "/2024/trips/notes.txt", QByteArray(1234, 'n'));
        QDir().mkpath(root + "/2024/trips/Alps");
        writeFile(root + "/2024/Q3 report.pdf", "pdf");
        writeFile(root + "/2024/.hidden", "h");
        for (const char* name : {"Alpha", "beta", "-rf", "--help"})
            writeFile(root + "/" + name + "/inside.txt", "i");
        QDir().mkpath(root + "/empty");
        writeFile(root + "/100%.txt", "p");
        writeFile(root + "/README", "readme");
        writeFile(root + "/report \"final\".pdf", "pdf");
        writeFile(folder.path() + "/outside/secret.txt", "secret");
        QFile::link("2024/trips", root + "/trips-link");
        QFile::link("trips", root + "/2024/latest");
        QFile::link("../README", root + "/2024/readme-link");
        QFile::link(".", root + "/2024/up");
        QFile::link("missing", root + "/2024/dangling");
        QFile::link(folder.path() + "/outside", root + "/2024/away");
        QFile::link(folder.path() + "/outside/secret.txt", root + "/2024/away-file");
        setModified(root + "/2024/trips/Alps", 1717234200);      // 2024-06-01T09:30:00Z
        setModified(root + "/2024/trips/notes.txt", 1717322400); // 2024-06-02T10:00:00Z
        snapshot.shares = {makeShare({.slug = "docs", .name = "Team Docs", .path = root}),
                           makeShare({.slug = "off", .path = root, .enabled = false}),
                           makeShare({.slug = "odd", .name = "Q3: plans/ideas", .path = root})};
        serve();
    }

    Reply browse(const QString& path) { return get(port(), "/__browse/docs?path=" + path); }
    Reply meta(const QString& path) { return get(port(), "/__meta/docs?path=" + path); }

    QString root;
};

} // namespace

TEST_F(ShareContent, ListsFoldersAsTheClientExpects) {
    const Reply reply = browse("2024/trips");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headerNames(), kPageHeaders);
    EXPECT_EQ(reply.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(jsonOf(reply), jsonOf(R"({"shareSlug":"docs","directoryPath":"2024/trips","items":[
        {"name":"Alps","relativePath":"2024/trips/Alps","isDirectory":true,"modifiedAt":"2024-06-01T09:30:00Z"},
        {"name":"notes.txt","relativePath":"2024/trips/notes.txt","isDirectory":false,"size":1234,
         "modifiedAt":"2024-06-02T10:00:00Z"}]})"));

    // Folders first, case ignored; hidden entries and links out of the share left out.
    const QJsonObject top = jsonOf(browse(""));
    EXPECT_EQ(namesOf(top), (QStringList{"--help", "-rf", "2024", "Alpha", "beta", "empty", "trips-link",
                                         "100%.txt", "README", "report \"final\".pdf"}));
    EXPECT_EQ(namesOf(jsonOf(browse("2024"))),
              (QStringList{"latest", "trips", "up", "dangling", "Q3 report.pdf", "readme-link"}));
    // A link inside the share lists the path of what it points to.
    EXPECT_EQ(top.value("items").toArray().at(6).toObject().value("relativePath").toString(), "2024/trips");
    EXPECT_EQ(jsonOf(browse("///")).value("directoryPath").toString(), "");
    EXPECT_EQ(namesOf(jsonOf(browse("2024/.."))), namesOf(top));

    // Any name comes back as it is on disk.
    QStringList odd{"quote \" and \\ back", "line\nbreak\ttab", "bell\x01\x1f\x7f", "Фото \"🎉\"\tガ\\",
                    "<b>&amp;<i>"};
    for (const QString& name : odd)
        writeFile(root + "/odd/" + name, "x");
    QStringList listed = namesOf(jsonOf(browse("odd")));
    listed.sort();
    odd.sort();
    EXPECT_EQ(listed, odd);
}

TEST_F(ShareContent, DescribesItems) {
    const QString canonicalRoot = QDir(root).canonicalPath();
    QJsonObject rootItem = jsonOf(meta(""));
    EXPECT_EQ(rootItem.take("path").toString(), canonicalRoot);
    EXPECT_TRUE(rootItem.take("modifiedAt").isString());
    EXPECT_EQ(rootItem, jsonOf(R"({"shareSlug":"docs","name":"docs","relativePath":"","isDirectory":true,
                                     "downloadURL":"/docs/?download=1"})"));
    // Through a link inside the share: the target's place.
    QJsonObject viaLink = jsonOf(meta("trips-link/notes.txt"));
    EXPECT_EQ(viaLink.take("path").toString(), canonicalRoot + "/2024/trips/notes.txt");
    EXPECT_EQ(viaLink, jsonOf(R"({"shareSlug":"docs","name":"notes.txt","relativePath":"2024/trips/notes.txt",
        "isDirectory":false,"downloadURL":"/docs/2024/trips/notes.txt?download=1","size":1234,
        "modifiedAt":"2024-06-02T10:00:00Z"})"));
    EXPECT_EQ(jsonOf(meta("2024/trips/Alps")).value("downloadURL").toString(),
              "/docs/2024/trips/Alps/?download=1");
}

TEST_F(ShareContent, FailuresAnswerWithTheirMessage) {
    const auto expectError = [](const Reply& reply, int status, const QString& message) {
        EXPECT_EQ(reply.status, status);
        EXPECT_EQ(reply.text(), R"({"error":")" + message + R"("})");
        EXPECT_EQ(reply.header("Content-Type"), "application/json; charset=utf-8");
    };
    expectError(get(port(), "/__browse/off?path="), 404, "Share not found");
    expectError(get(port(), "/__meta/DOCS?path="), 404, "Share not found");
    expectError(get(port(), "/__browse/docs/2024?path="), 404, "Share not found");
    expectError(browse("README"), 404, "Directory not found");
    expectError(browse("nothing"), 404, "Directory not found");
    expectError(meta("nothing.txt"), 404, "Item not found");
}

TEST_F(ShareContent, NothingOutsideTheShareIsReachable) {
    for (const QString& path :
         {QString("../outside"), QString("../.."), QString("2024/../../outside"), QString("%2E%2E/outside"),
          QString("2024/away"), QString("2024/away/"), QString("trips-link/../../outside"),
          QString("/../outside"), QString("..%2Foutside"), QString("2024%00/../../outside")}) {
        EXPECT_EQ(browse(path).status, 404) << path.toStdString();
        EXPECT_EQ(meta(path).status, 404) << path.toStdString();
    }
    EXPECT_EQ(meta("2024/away/secret.txt").status, 404);
    EXPECT_EQ(meta("2024/away-file").status, 404);

    for (const QString& target :
         {QString("/docs/2024/away/secret.txt"), QString("/docs/2024/away-file"),
          QString("/docs/..%2Foutside/secret.txt"), QString("/docs/%2e%2e%2foutside/secret.txt"),
          QString("/docs/2024/away/%2e%2e/outside/secret.txt"),
          QString("/docs/2024%00/../../outside/secret.txt"), QString("/docs/2024/away%00")}) {
        for (const QString& query :
             {QString(), QString("?download=1"), QString("?view=1"), QString("?thumb=1")}) {
            const Reply reply = get(port(), target + query);
            EXPECT_EQ(reply.status, 404) << (target + query).toStdString();
            EXPECT_FALSE(reply.body.contains("secret")) << (target + query).toStdString();
        }
    }
    // Links that stay inside are followed.
    EXPECT_EQ(get(port(), "/docs/trips-link/notes.txt?download=1").body, QByteArray(1234, 'n'));
    EXPECT_EQ(get(port(), "/docs/trips-link/").status, 200);
}

TEST_F(ShareContent, FilesDownloadAsTheyAreUnderASafeName) {
    const Reply pdf = get(port(), "/docs/report%20%22final%22.pdf?download=1");
    EXPECT_EQ(pdf.status, 200);
    EXPECT_EQ(pdf.headerNames(), kFileHeaders);
    EXPECT_EQ(pdf.header("Content-Disposition"), "attachment; filename=\"report final.pdf\"");
    EXPECT_EQ(pdf.header("Content-Type"), "application/pdf");
    EXPECT_EQ(pdf.header("Content-Length"), "3");
    EXPECT_EQ(pdf.body, "pdf");

    // A link to a file downloads under its target's name.
    const Reply viaLink = get(port(), "/docs/2024/readme-link?download=1");
    EXPECT_EQ(viaLink.header("Content-Disposition"), "attachment; filename=\"README\"");
    EXPECT_EQ(viaLink.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(viaLink.body, "readme");
    EXPECT_EQ(get(port(), "/docs/none.txt?download=1").status, 404);

    // Nothing in a name can end or escape the quoted file name.
    writeFile(root + "/back\\slash\\", "b");
    EXPECT_EQ(get(port(), "/docs/back%5Cslash%5C?download=1").header("Content-Disposition"),
              "attachment; filename=\"backslash\"");

    // Control characters in a name never reach the headers.
    writeFile(root + "/evil\r\nSet-Cookie: a=b\x01\t\x7f.txt", "e");
    const Reply reply = get(port(), "/docs/evil%0D%0ASet-Cookie:%20a=b%01%09%7F.txt?download=1");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Set-Cookie"), "");
    EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"evilSet-Cookie: a=b.txt\"");
    EXPECT_EQ(reply.body, "e");
}

TEST_F(ShareContent, FoldersDownloadAsArchivesOfWhatIsInsideTheShare) {
    const Reply year = get(port(), "/docs/2024/?download=1");
    EXPECT_EQ(year.status, 200);
    EXPECT_EQ(year.headerNames(), kFileHeaders);
    EXPECT_EQ(year.header("Content-Length").toLongLong(), year.body.size());
    EXPECT_EQ(year.header("Content-Type"), "application/zip");
    EXPECT_EQ(year.header("Content-Disposition"), "attachment; filename=\"2024.zip\"");
    EXPECT_EQ(year.header("Content-Security-Policy"),
              "default-src 'none'; style-src 'unsafe-inline'; sandbox");
    const QByteArray& yearZip = year.body;
    // Hidden files in, links inside followed (a link back up is not followed again), links out and
    // dangling links left out.
    EXPECT_EQ(archiveEntries(yearZip),
              (QStringList{"2024/", "2024/.hidden", "2024/Q3 report.pdf", "2024/latest/", "2024/latest/Alps/",
                           "2024/latest/notes.txt", "2024/readme-link", "2024/trips/", "2024/trips/Alps/",
                           "2024/trips/notes.txt"}));
    EXPECT_FALSE(yearZip.contains("secret"));

    // The share's own archive is named after it; a pipe inside is left out rather than read, and an
    // absolute link that stays inside the share is followed.
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/pipe").constData(), 0600), 0);
    QFile::link(QDir(root).canonicalPath() + "/README", root + "/absolute-link");
    const Reply whole = get(port(), "/docs/?download=1");
    EXPECT_EQ(whole.header("Content-Disposition"), "attachment; filename=\"Team Docs.zip\"");
    const QStringList entries = archiveEntries(whole.body);
    EXPECT_TRUE(entries.contains("docs/README"));
    EXPECT_TRUE(entries.contains("docs/absolute-link"));
    EXPECT_FALSE(entries.contains("docs/pipe"));
    for (const QString& entry : entries)
        EXPECT_TRUE(entry.startsWith("docs/")) << entry.toStdString();
    EXPECT_EQ(get(port(), "/odd?download=1").header("Content-Disposition"),
              "attachment; filename=\"Q3- plans-ideas.zip\"");

    EXPECT_TRUE(temporaryLeftovers(folder).isEmpty()) << temporaryLeftovers(folder).join(", ").toStdString();
}
