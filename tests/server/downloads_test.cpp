#include "server/downloads.h"
#include "server_fixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace server_testing;

namespace {

const QStringList kDownloadHeaders{
    "Connection",   "Content-Disposition",    "Content-Length", "Content-Security-Policy",
    "Content-Type", "X-Content-Type-Options", "X-Frame-Options"};

// The archive's entries as the real unzip lists them, sorted; none unless `unzip -t` finds it intact.
QStringList archiveEntries(const QByteArray& bytes) {
    QTemporaryDir folder;
    const QString path = folder.path() + "/archive.zip";
    writeFile(path, bytes);
    QProcess test;
    test.setStandardOutputFile(QProcess::nullDevice());
    test.start("/usr/bin/unzip", {"-tq", path});
    if (!test.waitForFinished(60000) || test.exitStatus() != QProcess::NormalExit || test.exitCode() != 0)
        return {};
    QProcess list;
    list.start("/usr/bin/unzip", {"-Z1", path});
    list.waitForFinished(30000);
    QStringList entries = QString::fromUtf8(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    entries.sort();
    return entries;
}

class Downloads : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/Team";
        writeFile(root + "/Holiday/IMG_0001.jpg", "jpeg");
        writeFile(root + "/Holiday/.hidden", "dot");
        writeFile(root + "/Holiday/deep/note.txt", "note");
        writeFile(root + "/report \"final\".pdf", "pdf");
        writeFile(root + "/README", "readme");
        writeFile(root + "/-rf/inside.txt", "r");
        writeFile(root + "/--help/inside.txt", "h");
        writeFile(folder.path() + "/outside/secret.txt", "secret");
        QFile::link(folder.path() + "/outside", root + "/Holiday/escape-folder");
        QFile::link(folder.path() + "/outside/secret.txt", root + "/Holiday/escape-file");
        QFile::link(root + "/README", root + "/Holiday/readme-link");
        QFile::link("deep", root + "/Holiday/deep-link");
        QFile::link("..", root + "/Holiday/deep/up");
        QFile::link("missing", root + "/Holiday/dangling");
        snapshot.shares = {makeShare("team", root, true, std::nullopt, "Team Docs"),
                           makeShare("odd", root, true, std::nullopt, "Q3: plans/ideas")};
        serve();
    }

    QString root;
};

} // namespace

TEST_F(Downloads, FilesDownloadAsTheyAreUnderASafeName) {
    const Reply pdf = get(port(), "/team/report%20%22final%22.pdf?download=1");
    EXPECT_EQ(pdf.status, 200);
    EXPECT_EQ(pdf.headerNames(), kDownloadHeaders);
    EXPECT_EQ(pdf.header("Content-Disposition"), "attachment; filename=\"report final.pdf\"");
    EXPECT_EQ(pdf.header("Content-Type"), "application/pdf");
    EXPECT_EQ(pdf.header("Content-Length"), "3");
    EXPECT_EQ(pdf.body, "pdf");

    EXPECT_EQ(get(port(), "/team/README?download=1").header("Content-Type"), "application/octet-stream");
    // A link to a file downloads under its target's name.
    const Reply viaLink = get(port(), "/team/Holiday/readme-link?download=1");
    EXPECT_EQ(viaLink.header("Content-Disposition"), "attachment; filename=\"README\"");
    EXPECT_EQ(viaLink.body, "readme");
    EXPECT_EQ(get(port(), "/team/none.txt?download=1").status, 404);

    // Control characters in a name never reach the headers.
    writeFile(root + "/evil\r\nSet-Cookie: a=b\x01.txt", "e");
    const Reply reply = get(port(), "/team/evil%0D%0ASet-Cookie:%20a=b%01.txt?download=1");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Set-Cookie"), "");
    EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"evilSet-Cookie: a=b.txt\"");
    EXPECT_EQ(reply.body, "e");
    EXPECT_EQ(QuarryShareWeb::contentDisposition("a\x7f\tb\"c"), "attachment; filename=\"abc\"");
}

TEST_F(Downloads, SpecialFilesAreNotRead) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/<i>pipe").constData(), 0600), 0);
    const Reply reply = get(port(), "/team/%3Ci%3Epipe?download=1");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.text(), "<h1>Server Error</h1><p>Could not read &lt;i&gt;pipe.</p>");
    // The folder that holds it still archives, without it.
    const Reply archive = get(port(), "/team/?download=1");
    EXPECT_EQ(archive.status, 200);
    const QStringList entries = archiveEntries(archive.body);
    EXPECT_TRUE(entries.contains("Team/README"));
    EXPECT_FALSE(entries.contains("Team/<i>pipe"));
}

TEST_F(Downloads, FoldersDownloadAsArchivesOfWhatIsInsideTheShare) {
    const Reply holiday = get(port(), "/team/Holiday/?download=1");
    EXPECT_EQ(holiday.status, 200);
    EXPECT_EQ(holiday.headerNames(), kDownloadHeaders);
    EXPECT_EQ(holiday.header("Content-Type"), "application/zip");
    EXPECT_EQ(holiday.header("Content-Disposition"), "attachment; filename=\"Holiday.zip\"");
    // Hidden files in, links inside followed (a link back up is not followed again), links out and
    // dangling links left out.
    EXPECT_EQ(archiveEntries(holiday.body),
              (QStringList{"Holiday/", "Holiday/.hidden", "Holiday/IMG_0001.jpg", "Holiday/deep-link/",
                           "Holiday/deep-link/note.txt", "Holiday/deep/", "Holiday/deep/note.txt",
                           "Holiday/readme-link"}));
    EXPECT_FALSE(holiday.body.contains("secret"));

    const Reply team = get(port(), "/team/?download=1");
    EXPECT_EQ(team.header("Content-Disposition"), "attachment; filename=\"Team Docs.zip\"");
    const QStringList whole = archiveEntries(team.body);
    EXPECT_TRUE(whole.contains("Team/README"));
    for (const QString& entry : whole)
        EXPECT_TRUE(entry.startsWith("Team/")) << entry.toStdString();
    EXPECT_EQ(get(port(), "/odd?download=1").header("Content-Disposition"),
              "attachment; filename=\"Q3- plans-ideas.zip\"");
    EXPECT_TRUE(leftoverWorkFolders().isEmpty()) << leftoverWorkFolders().join(", ").toStdString();
}

TEST_F(Downloads, FolderNamesThatLookLikeOptionsAreJustNames) {
    for (const QString& name : {QString("-rf"), QString("--help")}) {
        const Reply reply = get(port(), "/team/" + name + "/?download=1");
        EXPECT_EQ(reply.status, 200) << name.toStdString();
        EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"" + name + ".zip\"");
        EXPECT_EQ(archiveEntries(reply.body), (QStringList{name + "/", name + "/inside.txt"}));
    }
    EXPECT_TRUE(QFile::exists(root + "/-rf/inside.txt"));
}

TEST_F(Downloads, ArchiveFailureAnswersAnErrorAndLeavesNothingBehind) {
    QuarryShareWebServer::Options options;
    options.zipProgram = folder.path() + "/no-such-zip";
    RunningServer broken(snapshot, options);
    const Reply reply = get(broken.port(), "/team/Holiday/?download=1");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.reason, "Internal Server Error");
    EXPECT_EQ(reply.text(), "<h1>Server Error</h1><p>Could not create a ZIP for Holiday.</p>");
    EXPECT_TRUE(leftoverWorkFolders().isEmpty());
}
