#include "store_fixture.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

using namespace store_testing;
using testing_support::waitUntil;

namespace {

QList<QJsonObject> linesOf(const QString& path) {
    QList<QJsonObject> lines;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        while (!file.atEnd())
            lines.append(QJsonDocument::fromJson(file.readLine()).object());
    }
    return lines;
}

QuarryActivityEvent thumbnail(qint64 bytes, const QString& folder = QStringLiteral("photos")) {
    return *QuarryActivityLog::fromJSONLine(
        QStringLiteral(R"({"time":"%1","share":"%2","kind":"thumbnails","path":"%3","client":"192.0.2.4",)"
                       R"("via":"lan","status":200,"bytesPromised":%4,"bytesSent":%4,"complete":true})")
            .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), uuidText(QUuid::createUuid()),
                 folder)
            .arg(bytes)
            .toUtf8());
}

} // namespace

TEST(StoreActivity, VisitsGoToAPrivateFileWithoutSecretsAndStopWhenRecordingIsOff) {
    const QuarryShareAppState state =
        stateWith({makeShare({.slug = "vault", .name = "Vault", .password = "open sesame"})});
    writeState(state);
    auto store = std::make_unique<QuarryShareStore>();
    store->start();
    ASSERT_TRUE(waitForRunning(*store));
    const QString file = store->activity()->filePath();
    const QByteArray opened =
        httpExchange(state.port, "POST /__unlock/vault HTTP/1.1\r\nHost: localhost\r\nContent-Length: 20\r\n"
                                 "\r\npassword=open+sesame");
    const QByteArray cookie = opened.mid(opened.indexOf("Set-Cookie: ") + 12).split(';').first();
    httpExchange(state.port,
                 "GET /vault/ HTTP/1.1\r\nHost: localhost\r\nCf-Connecting-Ip: 2001:db8::7\r\n\r\n");
    ASSERT_TRUE(waitUntil([&] { return store->activity()->events().size() == 2; }));
    store->activity()->flush();

    const QList<QJsonObject> lines = linesOf(file);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0]["kind"], "unlock");
    EXPECT_EQ(lines[0]["unlocked"], true);
    EXPECT_EQ(lines[0]["share"], uuidText(state.shares[0].id));
    EXPECT_EQ(lines[0]["slug"], "vault");
    EXPECT_EQ(lines[1]["client"], "2001:db8::7");
    EXPECT_EQ(lines[1]["via"], "public");
    EXPECT_EQ(lines[1]["status"], 401);
    EXPECT_EQ(lines[1]["complete"], true);
    const QStringList keys{"time",   "share",         "slug",      "path",       "kind",     "client",  "via",
                           "status", "bytesPromised", "bytesSent", "durationMs", "complete", "unlocked"};
    for (const QJsonObject& line : lines) {
        for (const QString& key : line.keys())
            EXPECT_TRUE(keys.contains(key)) << key.toStdString();
    }
    QFile raw(file);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    EXPECT_FALSE(bytes.contains("sesame"));
    EXPECT_FALSE(cookie.isEmpty() || bytes.contains(cookie.split('=').last()));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Read back after a restart; then off: forgotten, the file gone, and nothing more written.
    store.reset();
    store = std::make_unique<QuarryShareStore>();
    EXPECT_EQ(store->activity()->events().size(), 2);
    store->setRecordsActivity(false);
    store->activity()->flush();
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_TRUE(store->activity()->events().empty());
    store->start();
    ASSERT_TRUE(waitForRunning(*store));
    httpExchange(state.port, "GET /vault/ HTTP/1.1\r\nHost: localhost\r\n\r\n");
    store.reset();
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_FALSE(QuarryShareStore().recordsActivity());
}

TEST(StoreActivity, ThumbnailsMakeOneEventPerVisitorAndFolderAndTheFileRotatesPastFiveMiB) {
    const QString folder = makeFolder(QStringLiteral("log"));
    {
        QuarryActivityLog log(folder, true);
        const QuarryActivityEvent first = thumbnail(100);
        log.add(first);
        QuarryActivityEvent second = thumbnail(50);
        second.shareID = first.shareID;
        log.add(second);
        log.add(thumbnail(7, QStringLiteral("other")));
        ASSERT_EQ(log.events().size(), 2);
        EXPECT_EQ(log.events().front().bytesSent, 150);
        log.flush();
        const QList<QJsonObject> lines = linesOf(log.filePath());
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines[0]["bytesSent"], 150);
        EXPECT_EQ(lines[0]["bytesPromised"], 150);

        // Past 5 MiB the file moves aside whole and a new one begins.
        QFile full(log.filePath());
        ASSERT_TRUE(full.open(QIODevice::Append));
        const QByteArray line = QuarryActivityLog::jsonLine(thumbnail(1, QString(1000, QLatin1Char('x'))));
        while (full.size() < QuarryActivityLog::kRotationBytes - 100)
            full.write(line);
        full.close();
        log.add(thumbnail(3, QStringLiteral("last")));
        log.flush();
        EXPECT_GT(QFileInfo(log.rotatedFilePath()).size(), QuarryActivityLog::kRotationBytes - 2000);
        EXPECT_EQ(linesOf(log.filePath()).size(), 1);
    }
    // Read back from both, newest last, the last 2,000 only.
    QuarryActivityLog later(folder, true);
    EXPECT_EQ(later.events().size(), size_t(QuarryActivityLog::kKeptEvents));
    EXPECT_EQ(later.events().back().path, "last");
}

TEST(StoreActivity, LinesAreTheJSONOfTheEventWhateverTheNames) {
    // Names come from other people's devices and visitors' requests: each line stays the one JSON object
    // a JSON writer makes of the event, byte for byte.
    const QStringList names{QStringLiteral("plain"),
                            QStringLiteral("say \"hi\"\\ 100%"),
                            QStringLiteral("line\nbreak\ttab\r\x01\x1f\x7f"),
                            QStringLiteral("caf\u00e9 \u65e5\u672c </script>"),
                            QString::fromUtf8("emoji \xf0\x9f\x98\x80"),
                            QString(QChar(0xd800)) + "lone"};
    for (const QString& name : names) {
        QuarryActivityEvent event = thumbnail(1073741824);
        event.slug = event.path = event.client = name;
        event.kind = QStringLiteral("unlock");
        event.unlocked = name.size() % 2 == 0;
        event.bytesPromised = name.size() % 3 == 0 ? -1 : 1000000;
        event.time = QDateTime::fromMSecsSinceEpoch(1'765'000'000'007 + name.size() * 3'600'123, Qt::UTC);
        QJsonObject object{{"time", event.time.toString(Qt::ISODateWithMs)},
                           {"share", uuidText(event.shareID)},
                           {"slug", name},
                           {"path", name},
                           {"kind", "unlock"},
                           {"client", name},
                           {"via", event.via},
                           {"status", event.status},
                           {"bytesSent", 1073741824.0},
                           {"durationMs", 0.0},
                           {"complete", true},
                           {"unlocked", *event.unlocked}};
        if (event.bytesPromised >= 0)
            object.insert("bytesPromised", 1000000.0);
        const QByteArray line = QuarryActivityLog::jsonLine(event);
        EXPECT_EQ(line, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n') << name.toStdString();
        EXPECT_EQ(QuarryActivityLog::fromJSONLine(line)->time, event.time);
    }
}
