#include "server_fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>

using namespace server_testing;

namespace {

void setModified(const QString& path, const QString& isoUtc) {
    const qint64 seconds = QDateTime::fromString(isoUtc, Qt::ISODate).toSecsSinceEpoch();
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
}

QJsonObject jsonOf(const Reply& reply) {
    return QJsonDocument::fromJson(reply.body).object();
}

QStringList names(const QJsonObject& listing) {
    QStringList result;
    for (const QJsonValue& item : listing.value("items").toArray())
        result << item.toObject().value("name").toString();
    return result;
}

class BrowseApi : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/docs";
        writeFile(root + "/2024/trips/notes.txt", QByteArray(1234, 'n'));
        QDir().mkpath(root + "/2024/trips/Alps");
        writeFile(root + "/beta/x", "x");
        writeFile(root + "/Alpha/x", "x");
        writeFile(root + "/aardvark.txt", "a");
        writeFile(root + "/.hidden", "h");
        writeFile(root + "/100%.txt", "p");
        writeFile(root + "/2024/Q3 report.pdf", "pdf");
        QDir().mkpath(root + "/empty");
        writeFile(folder.path() + "/outside/secret.txt", "secret");
        QFile::link(folder.path() + "/outside", root + "/escape");
        QFile::link(folder.path() + "/outside/secret.txt", root + "/escape-file");
        QFile::link("2024/trips", root + "/trips-link");
        setModified(root + "/2024/trips/Alps", "2024-06-01T09:30:00Z");
        setModified(root + "/2024/trips/notes.txt", "2024-06-02T10:00:00Z");
        snapshot.shares = {makeShare("docs", root), makeShare("off", root, false)};
        serve();
    }

    Reply browse(const QString& path) { return get(port(), "/__browse/docs?path=" + path); }
    Reply meta(const QString& path) { return get(port(), "/__meta/docs?path=" + path); }

    QString root;
};

} // namespace

TEST_F(BrowseApi, ListsAFolderAsTheClientExpects) {
    const Reply reply = browse("2024/trips");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headerNames(),
              (QStringList{"Connection", "Content-Length", "Content-Security-Policy", "Content-Type",
                           "X-Content-Type-Options", "X-Frame-Options"}));
    EXPECT_EQ(reply.header("Content-Type"), "application/json; charset=utf-8");
    const QJsonObject expected = QJsonDocument::fromJson(
                                     R"({"shareSlug":"docs","directoryPath":"2024/trips","items":[
        {"name":"Alps","relativePath":"2024/trips/Alps","isDirectory":true,"modifiedAt":"2024-06-01T09:30:00Z"},
        {"name":"notes.txt","relativePath":"2024/trips/notes.txt","isDirectory":false,"size":1234,
         "modifiedAt":"2024-06-02T10:00:00Z"}]})")
                                     .object();
    EXPECT_EQ(jsonOf(reply), expected);

    const QJsonObject top = jsonOf(browse(""));
    EXPECT_EQ(names(top),
              (QStringList{"2024", "Alpha", "beta", "empty", "trips-link", "100%.txt", "aardvark.txt"}));
    // A link inside the share lists the path of what it points to.
    EXPECT_EQ(top.value("items").toArray().at(4).toObject().value("relativePath").toString(), "2024/trips");
    EXPECT_EQ(jsonOf(browse("///")).value("directoryPath").toString(), "");
    EXPECT_EQ(names(jsonOf(browse("/"))), names(top));
    const QJsonObject climbedBack = jsonOf(browse("2024/.."));
    EXPECT_EQ(climbedBack.value("directoryPath").toString(), "2024/..");
    EXPECT_EQ(names(climbedBack), names(top));
    EXPECT_EQ(jsonOf(browse("empty")).value("items").toArray().size(), 0);
}

TEST_F(BrowseApi, AnyNameComesBackAsItIsOnDisk) {
    QStringList odd{"quote \" and \\ back", "line\nbreak\ttab", "bell\x01\x1f\x7f", "Фото 🎉 ガ",
                    "<b>&amp;<i>"};
    for (const QString& name : odd)
        writeFile(root + "/odd/" + name, "x");
    QStringList listed = names(jsonOf(browse("odd")));
    listed.sort();
    odd.sort();
    EXPECT_EQ(listed, odd);
}

TEST_F(BrowseApi, DescribesItems) {
    const QJsonObject rootItem = jsonOf(meta(""));
    EXPECT_EQ(rootItem.value("relativePath").toString(), "");
    EXPECT_EQ(rootItem.value("name").toString(), "docs");
    EXPECT_TRUE(rootItem.value("isDirectory").toBool());
    EXPECT_FALSE(rootItem.contains("size"));
    EXPECT_EQ(rootItem.value("downloadURL").toString(), "/docs/?download=1");
    EXPECT_EQ(rootItem.value("path").toString(), QDir(root).canonicalPath());

    const QJsonObject report = jsonOf(meta("2024/Q3%20report.pdf"));
    EXPECT_EQ(report.value("downloadURL").toString(), "/docs/2024/Q3%20report.pdf?download=1");
    EXPECT_EQ(report.value("size").toInt(), 3);
    EXPECT_EQ(jsonOf(meta("2024/trips/Alps")).value("downloadURL").toString(),
              "/docs/2024/trips/Alps/?download=1");
    EXPECT_EQ(jsonOf(meta("100%25.txt")).value("name").toString(), "100%.txt");
    EXPECT_EQ(jsonOf(meta(".hidden")).value("size").toInt(), 1);
    const QJsonObject viaLink = jsonOf(meta("trips-link/notes.txt"));
    EXPECT_EQ(viaLink.value("relativePath").toString(), "2024/trips/notes.txt");
    EXPECT_EQ(viaLink.value("modifiedAt").toString(), "2024-06-02T10:00:00Z");
}

TEST_F(BrowseApi, FailuresAnswerWithTheirMessage) {
    const auto expectError = [](const Reply& reply, int status, const QString& message) {
        EXPECT_EQ(reply.status, status);
        EXPECT_EQ(reply.text(), R"({"error":")" + message + R"("})");
        EXPECT_EQ(reply.header("Content-Type"), "application/json; charset=utf-8");
    };
    expectError(get(port(), "/__browse/off?path="), 404, "Share not found");
    expectError(get(port(), "/__meta/DOCS?path="), 404, "Share not found");
    expectError(get(port(), "/__browse/docs/2024?path="), 404, "Share not found");
    expectError(browse("aardvark.txt"), 404, "Directory not found");
    expectError(browse("nothing"), 404, "Directory not found");
    expectError(meta("nothing.txt"), 404, "Item not found");
}

TEST_F(BrowseApi, NothingOutsideTheShareIsReachable) {
    for (const QString& path :
         {QString("../outside"), QString("../.."), QString("2024/../../outside"), QString("%2E%2E/outside"),
          QString("escape"), QString("escape/"), QString("trips-link/../../outside"), QString("/../outside"),
          QString("..%2Foutside"), QString("2024%00/../../outside")}) {
        EXPECT_EQ(browse(path).status, 404) << path.toStdString();
        EXPECT_EQ(meta(path).status, 404) << path.toStdString();
    }
    EXPECT_EQ(meta("escape/secret.txt").status, 404);
    EXPECT_EQ(meta("escape-file").status, 404);
    EXPECT_FALSE(names(jsonOf(browse(""))).contains("escape"));
    EXPECT_FALSE(names(jsonOf(browse(""))).contains("escape-file"));

    for (const QString& target :
         {QString("/docs/escape/secret.txt"), QString("/docs/escape-file"),
          QString("/docs/..%2Foutside/secret.txt"), QString("/docs/%2e%2e%2foutside/secret.txt"),
          QString("/docs/escape/%2e%2e/outside/secret.txt"),
          QString("/docs/2024%00/../../outside/secret.txt"), QString("/docs/escape%00")}) {
        for (const QString& query : {QString(), QString("?download=1")}) {
            const Reply reply = get(port(), target + query);
            EXPECT_EQ(reply.status, 404) << (target + query).toStdString();
            EXPECT_FALSE(reply.body.contains("secret")) << (target + query).toStdString();
        }
    }
    // Links that stay inside are followed.
    EXPECT_EQ(get(port(), "/docs/trips-link/notes.txt?download=1").body, QByteArray(1234, 'n'));
    EXPECT_EQ(get(port(), "/docs/trips-link/").status, 200);
}
