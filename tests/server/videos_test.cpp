#include "server_fixture.h"

#include "server/media/decode_gate.h"
#include "server/media/media_child.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <fcntl.h>
#include <unistd.h>

using namespace server_testing;

namespace {

// Tiny clips made once per build folder, so the suite stays fast.
QString madeVideo(const QString& name, const QStringList& arguments) {
    const QString folder = QStringLiteral(BRIGHTLOOM_TEST_VIDEOS);
    const QString path = folder + "/" + name;
    if (!QFile::exists(path)) {
        QDir().mkpath(folder);
        const QString part = path + ".part." + QString::number(::getpid()) + "." + name.section('.', -1);
        EXPECT_EQ(QProcess::execute("ffmpeg", QStringList{"-v", "error", "-y", "-nostdin"} + arguments +
                                                  QStringList{part}),
                  0);
        QFile::rename(part, path);
    }
    return path;
}

// Stored 96 by 64 with its left half red, tagged to be shown a quarter turn to the right.
QString sidewaysHEVC() {
    const QString plain =
        madeVideo("plain-hevc.mov", {"-f", "lavfi", "-i", "color=red:size=48x64:rate=10,pad=96:64:48:0:blue",
                                     "-t", "4", "-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                                     "log-level=error", "-tag:v", "hvc1", "-pix_fmt", "yuv420p"});
    return madeVideo("sideways-hevc.mov", {"-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=90"});
}

// Media tool children of this process, zombies included.
int mediaChildren() {
    int count = 0;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + entry + "/stat");
        const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toInt() == ::getpid() && !line.contains("(test_server)"))
            ++count;
    }
    return count;
}

QJsonObject probed(int port, const QString& path) {
    return QJsonDocument::fromJson(get(port, path + "?probe=1").body).object();
}

// The clip as the server streams it, and what ffprobe reads in it: format, codecs, frames.
QString streamed(int port, const QString& target, const QString& saved) {
    const SavedAnswer answer = saveAnswer(port, target, saved);
    EXPECT_TRUE(answer.status == 200 && answer.complete) << target.toStdString();
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_frames", "-show_entries",
                            "format=format_name:stream=codec_name,width,height,pix_fmt,nb_read_frames", "-of",
                            "csv=p=0", saved});
    probe.waitForFinished();
    return QString::fromUtf8(probe.readAllStandardOutput()).simplified();
}

class Videos : public ServedFolder {
protected:
    void SetUp() override;
    QString root = folder.path() + "/videos";
};

} // namespace

void Videos::SetUp() {
    QDir().mkpath(root);
    const QStringList tiny{"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10"};
    QFile::copy(madeVideo("h264.mp4", tiny + QStringList{"-f", "lavfi", "-i", "sine=sample_rate=8000", "-t",
                                                         "4", "-pix_fmt", "yuv420p", "-c:v", "libx264",
                                                         "-preset", "ultrafast", "-g", "10", "-c:a", "aac"}),
                root + "/h264.mp4");
    QFile::copy(madeVideo("vp9.webm", tiny + QStringList{"-t", "2", "-pix_fmt", "yuv420p", "-c:v",
                                                         "libvpx-vp9", "-deadline", "realtime"}),
                root + "/vp9.webm");
    QFile::copy(sidewaysHEVC(), root + "/sideways.mov");
    QFile whole(root + "/h264.mp4");
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    writeFile(root + "/corrupt.mp4", whole.read(3000) + QByteArray(20000, '\x5a'));
    // Text under a video's name: a playlist that would lead the tool to a clip outside the share.
    const QString outside = madeVideo("outside.ts", {"-i", root + "/h264.mp4", "-c", "copy"});
    writeFile(root + "/text.mp4", "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\n" +
                                      QFile::encodeName(outside) + "\n#EXT-X-ENDLIST\n");
    // A camera's 10-bit 4:2:2 H.264, which only some browsers decode.
    QFile::copy(madeVideo("h264-422.mp4", tiny + QStringList{"-t", "2", "-pix_fmt", "yuv422p10le", "-c:v",
                                                             "libx264", "-preset", "ultrafast"}),
                root + "/h264-422.mp4");
    QFile::copy(madeVideo("mpeg4-ac3.mkv", tiny + QStringList{"-f", "lavfi", "-i", "sine=sample_rate=48000",
                                                              "-t", "4", "-c:v", "mpeg4", "-c:a", "ac3"}),
                root + "/mpeg4-ac3.mkv");
    // Noise, losslessly: megabytes a visitor who stops reading leaves unread.
    QFile::copy(madeVideo("noise.mp4", {"-f", "lavfi", "-i", "testsrc=size=640x480:rate=10", "-t", "2", "-vf",
                                        "noise=alls=100:allf=t+u", "-pix_fmt", "yuv420p", "-c:v", "libx264",
                                        "-preset", "ultrafast", "-qp", "0"}),
                root + "/noise.mp4");
    snapshot.shares = {makeShare({.slug = "videos", .path = root})};
    serve();
}

TEST_F(Videos, ShowUprightFramesAndTheirFactsAndHostileOnesOnly404) {
    // Visitors asking at once for a clip's frame share one facts child and one frame child, each
    // through the process's decode budget.
    const qint64 decodesBefore = QuarryDecodeGate::process().admittedCount();
    std::vector<int> visitors;
    for (int i = 0; i < 8; ++i)
        visitors.push_back(ask(port(), "/videos/h264.mp4?thumb=1"));
    for (const int socket : visitors)
        EXPECT_EQ(answerOf(socket).status, 200);
    EXPECT_EQ(QuarryDecodeGate::process().admittedCount() - decodesBefore, 2);
    EXPECT_EQ(QuarryDecodeGate::process().bytesInUse(), 0);
    for (const auto& [name, size] :
         {std::pair{"h264.mp4", QSize(96, 64)}, std::pair{"vp9.webm", QSize(96, 64)},
          std::pair{"sideways.mov", QSize(64, 96)}}) {
        SCOPED_TRACE(name);
        for (const QString form : {"?thumb=1", "?preview=1"}) {
            const Reply reply = get(port(), QString("/videos/") + name + form);
            ASSERT_EQ(reply.status, 200);
            EXPECT_EQ(reply.header("Content-Type"), "image/jpeg");
            QImage frame;
            frame.loadFromData(reply.body);
            EXPECT_EQ(frame.size(), size);
        }
    }
    // Upright: the stored left half stands on top.
    QImage upright;
    upright.loadFromData(get(port(), "/videos/sideways.mov?thumb=1").body);
    EXPECT_GT(qRed(upright.pixel(32, 10)), 200);
    EXPECT_GT(qBlue(upright.pixel(32, 86)), 200);

    const QJsonObject h264 = probed(port(), "/videos/h264.mp4");
    EXPECT_NEAR(h264["duration"].toDouble(), 4.0, 0.2);
    EXPECT_EQ(h264["video"], "h264");
    EXPECT_EQ(h264["audio"], "aac");
    EXPECT_TRUE(h264["playable"][0].toString().startsWith(R"(video/mp4; codecs="avc1.)"));
    EXPECT_TRUE(h264["playable"][0].toString().endsWith(R"(, mp4a.40.2")"));
    const QJsonObject sideways = probed(port(), "/videos/sideways.mov");
    EXPECT_EQ(sideways["video"], "hevc");
    EXPECT_TRUE(sideways["audio"].isNull());
    EXPECT_EQ(QSize(sideways["width"].toInt(), sideways["height"].toInt()), QSize(64, 96));
    EXPECT_EQ(sideways["rotation"].toInt() % 180, 90);
    EXPECT_TRUE(probed(port(), "/videos/vp9.webm")["playable"].toArray().contains(
        R"(video/webm; codecs="vp09.00.10.08")"));

    // A broken clip or a text under a video's name is no frame and no facts, and the server goes on.
    for (const QString path : {"corrupt.mp4", "text.mp4"}) {
        for (const QString form : {"?thumb=1", "?preview=1", "?probe=1", "?play=1"})
            EXPECT_EQ(get(port(), "/videos/" + path + form).status, 404)
                << path.toStdString() << form.toStdString();
    }
    EXPECT_EQ(get(port(), "/videos/h264.mp4?thumb=1").status, 200);
    EXPECT_EQ(mediaChildren(), 0);
}

TEST_F(Videos, PlayAsH264AndAACInMP4FromAnyTimeOneAtATimeAndStopWhenTheVisitorGoes) {
    const QString saved = folder.path() + "/saved.mp4";
    // Transcoded, the video upright; the sound made AAC; copied when it already is AAC and H.264 that
    // every browser decodes (a camera's 10-bit 4:2:2 is not).
    EXPECT_EQ(streamed(port(), "/videos/sideways.mov?play=1", saved),
              R"(h264,64,96,yuv420p,40 "mov,mp4,m4a,3gp,3g2,mj2")");
    const QString mkv = streamed(port(), "/videos/mpeg4-ac3.mkv?play=1", saved);
    EXPECT_TRUE(mkv.contains(QRegularExpression(R"(^h264,96,64,yuv420p,40 aac,\d+ "mov,mp4)")))
        << mkv.toStdString();
    EXPECT_TRUE(streamed(port(), "/videos/h264-422.mp4?play=1", saved).startsWith("h264,96,64,yuv420p,20"));
    const QString later = streamed(port(), "/videos/h264.mp4?play=1&t=2", saved);
    EXPECT_TRUE(later.contains(QRegularExpression(R"(^h264,96,64,yuv420p,(19|20|21) aac)")))
        << later.toStdString();
    // A time past the end plays the last second.
    EXPECT_TRUE(
        streamed(port(), "/videos/h264.mp4?play=1&t=1e308", saved).startsWith("h264,96,64,yuv420p,1"));

    // One stream per visitor: a second waits for the first, whose child goes with its visitor.
    const int watching = ask(port(), "/videos/noise.mp4?play=1");
    ASSERT_TRUE(hasAnswered(watching, std::chrono::seconds(20)));
    const Reply refused = get(port(), "/videos/h264.mp4?play=1");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.header("Retry-After"), "5");
    EXPECT_EQ(jsonOf(refused)["error"], "Too many streams");
    EXPECT_EQ(mediaChildren(), 1);
    ::close(watching);
    EXPECT_TRUE(testing_support::waitUntil([] { return mediaChildren() == 0; }));
    EXPECT_EQ(get(port(), "/videos/h264.mp4?play=1").status, 200);
}

TEST(MediaChild, SeesOnlyItsFileWithinItsLimitsAndIsReapedWhenCancelledOrLate) {
    const QString path = QDir::tempPath() + "/media-child-" + QString::number(::getpid());
    writeFile(path, "x");
    const int file = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    // Whatever else the server holds open, the tool sees its three standard streams and the file.
    const int stray = ::open("/dev/null", O_RDONLY);
    const std::optional<QByteArray> seen =
        QuarryMediaChild::run("/bin/sh",
                              {"-c", "ls /proc/$$/fd; readlink /proc/$$/fd/3; read x && echo stdin; grep "
                                     "'address space\\|data size' /proc/$$/limits"},
                              file, {.addressSpace = 512LL << 20, .dataSize = 64LL << 20});
    ::close(stray);
    ASSERT_TRUE(seen);
    const QList<QByteArray> lines = seen->split('\n');
    EXPECT_EQ(lines.mid(0, 4), (QList<QByteArray>{"0", "1", "2", "3"})) << seen->constData();
    EXPECT_EQ(lines.value(4), QFile::encodeName(path));
    EXPECT_FALSE(seen->contains("stdin"));
    EXPECT_TRUE(seen->contains(QByteArray::number(512LL << 20)));
    EXPECT_TRUE(seen->contains(QByteArray::number(64LL << 20)));
    // A tool that outlives its wall time or its visitor is killed and reaped.
    EXPECT_FALSE(QuarryMediaChild::run("/bin/sleep", {"30"}, file, {.wallMilliseconds = 100}));
    const std::atomic_bool gone = true;
    EXPECT_FALSE(QuarryMediaChild::run("/bin/sleep", {"30"}, file, {}, &gone));
    EXPECT_FALSE(QuarryMediaChild::run("/bin/false", {}, file));
    EXPECT_EQ(mediaChildren(), 0);
    ::close(file);
    QFile::remove(path);
}
