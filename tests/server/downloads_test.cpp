#include "server/downloads.h"
#include "server_fixture.h"
#include "support/test_support.h"

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

struct UnzipResult {
    bool intact = false;
    QStringList entries;
};

// Checks the archive with the real unzip and lists its entries.
UnzipResult inspectArchive(const QByteArray& bytes) {
    QTemporaryDir folder;
    const QString path = folder.path() + "/archive.zip";
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();
    UnzipResult result;
    QProcess test;
    test.setStandardOutputFile(QProcess::nullDevice());
    test.start("/usr/bin/unzip", {"-tq", path});
    result.intact =
        test.waitForFinished(60000) && test.exitStatus() == QProcess::NormalExit && test.exitCode() == 0;
    QProcess list;
    list.start("/usr/bin/unzip", {"-Z1", path});
    list.waitForFinished(30000);
    result.entries = QString::fromUtf8(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    result.entries.sort();
    return result;
}

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        root = folder.path() + "/Team";
        makeFile(root + "/Holiday/IMG_0001.jpg", "jpeg");
        makeFile(root + "/Holiday/.hidden", "dot");
        makeFile(root + "/Holiday/deep/note.txt", "note");
        makeFile(root + "/report \"final\".pdf", "pdf");
        makeFile(root + "/README", "readme");
        makeFile(root + "/-rf/inside.txt", "r");
        makeFile(root + "/--help/inside.txt", "h");
        makeFile(folder.path() + "/outside/secret.txt", "secret");
        QFile::link(folder.path() + "/outside", root + "/Holiday/escape-folder");
        QFile::link(folder.path() + "/outside/secret.txt", root + "/Holiday/escape-file");
        QFile::link(root + "/README", root + "/Holiday/readme-link");
        QFile::link("deep", root + "/Holiday/deep-link");
        QFile::link("..", root + "/Holiday/deep/up");
        QFile::link("missing", root + "/Holiday/dangling");
        snapshot.shares = {makeShare("team", root, true, std::nullopt, "Team Docs"),
                           makeShare("odd", root, true, std::nullopt, "Q3: plans/ideas")};
        server = std::make_unique<RunningServer>(snapshot);
    }

    QTemporaryDir folder;
    QString root;
    QuarryShareServerSnapshot snapshot;
    std::unique_ptr<RunningServer> server;
};

} // namespace

TEST_F(Downloads, FilesDownloadAsTheyAre) {
    const Reply pdf = get(server->port(), "/team/report%20%22final%22.pdf?download=1");
    EXPECT_EQ(pdf.status, 200);
    EXPECT_EQ(pdf.headerNames(), kDownloadHeaders);
    EXPECT_EQ(pdf.header("Content-Disposition"), "attachment; filename=\"report final.pdf\"");
    EXPECT_EQ(pdf.header("Content-Type"), "application/pdf");
    EXPECT_EQ(pdf.header("Content-Length"), "3");
    EXPECT_EQ(pdf.body, "pdf");

    EXPECT_EQ(get(server->port(), "/team/README?download=1").header("Content-Type"),
              "application/octet-stream");
    // A link to a file downloads under its target's name.
    const Reply viaLink = get(server->port(), "/team/Holiday/readme-link?download=1");
    EXPECT_EQ(viaLink.header("Content-Disposition"), "attachment; filename=\"README\"");
    EXPECT_EQ(viaLink.body, "readme");
    EXPECT_EQ(get(server->port(), "/team/none.txt?download=1").status, 404);
}

TEST_F(Downloads, HostileNamesCannotReachTheHeaders) {
    makeFile(root + "/evil\r\nSet-Cookie: a=b\x01.txt", "e");
    const Reply reply = get(server->port(), "/team/evil%0D%0ASet-Cookie:%20a=b%01.txt?download=1");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Set-Cookie"), "");
    EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"evilSet-Cookie: a=b.txt\"");
    EXPECT_EQ(reply.body, "e");
    EXPECT_EQ(QuarryShareWeb::contentDisposition("a\x7f\tb\"c"), "attachment; filename=\"abc\"");
}

TEST_F(Downloads, SpecialFilesAreNotRead) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(root + "/pipe").constData(), 0600), 0);
    const Reply reply = get(server->port(), "/team/pipe?download=1");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.text(), "<h1>Server Error</h1><p>Could not read pipe.</p>");
    // The folder that holds it still archives, without it.
    const Reply archive = get(server->port(), "/team/?download=1");
    EXPECT_EQ(archive.status, 200);
    EXPECT_FALSE(inspectArchive(archive.body).entries.contains("Team/pipe"));
}

TEST_F(Downloads, FoldersDownloadAsArchivesOfWhatIsInsideTheShare) {
    const Reply holiday = get(server->port(), "/team/Holiday/?download=1");
    EXPECT_EQ(holiday.status, 200);
    EXPECT_EQ(holiday.headerNames(), kDownloadHeaders);
    EXPECT_EQ(holiday.header("Content-Type"), "application/zip");
    EXPECT_EQ(holiday.header("Content-Disposition"), "attachment; filename=\"Holiday.zip\"");
    const UnzipResult archive = inspectArchive(holiday.body);
    EXPECT_TRUE(archive.intact);
    // Hidden files in, links inside followed (a link back up is not followed again), links out and
    // dangling links left out.
    EXPECT_EQ(archive.entries,
              (QStringList{"Holiday/", "Holiday/.hidden", "Holiday/IMG_0001.jpg", "Holiday/deep-link/",
                           "Holiday/deep-link/note.txt", "Holiday/deep/", "Holiday/deep/note.txt",
                           "Holiday/readme-link"}));
    EXPECT_FALSE(holiday.body.contains("secret"));

    const UnzipResult whole = inspectArchive(get(server->port(), "/team/?download=1").body);
    EXPECT_TRUE(whole.intact);
    EXPECT_TRUE(whole.entries.contains("Team/README"));
    for (const QString& entry : whole.entries)
        EXPECT_TRUE(entry.startsWith("Team/")) << entry.toStdString();
    EXPECT_EQ(get(server->port(), "/team/?download=1").header("Content-Disposition"),
              "attachment; filename=\"Team Docs.zip\"");
    EXPECT_EQ(get(server->port(), "/odd?download=1").header("Content-Disposition"),
              "attachment; filename=\"Q3- plans-ideas.zip\"");
    EXPECT_TRUE(leftoverWorkFolders().isEmpty()) << leftoverWorkFolders().join(", ").toStdString();
}

TEST_F(Downloads, FolderNamesThatLookLikeOptionsAreJustNames) {
    for (const QString& name : {QString("-rf"), QString("--help")}) {
        const Reply reply = get(server->port(), "/team/" + name + "/?download=1");
        EXPECT_EQ(reply.status, 200) << name.toStdString();
        EXPECT_EQ(reply.header("Content-Disposition"), "attachment; filename=\"" + name + ".zip\"");
        const UnzipResult archive = inspectArchive(reply.body);
        EXPECT_TRUE(archive.intact);
        EXPECT_EQ(archive.entries, (QStringList{name + "/", name + "/inside.txt"}));
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
