#include "server_fixture.h"

#include "server/media/decode_gate.h"
#include "server/media/image_cost.h"
#include "server/media/thumbnail_cache.h"

#include <libheif/heif.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QProcess>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <vector>

using namespace server_testing;

namespace {

const QString kSandboxed = "default-src 'none'; style-src 'unsafe-inline'; sandbox";
const QString kMedia = "default-src 'none'; media-src 'self'; style-src 'unsafe-inline'";
const QString kDocument = "default-src 'none'; style-src 'unsafe-inline'";

// A big-endian TIFF block with one entry: Orientation (0x0112), SHORT, 1 value, 6 (a quarter to the right).
const QByteArray kTurnRightExif =
    QByteArray("Exif\0\0", 6) + QByteArray::fromHex("4d4d002a00000008000101120003000000010006000000000000");

QByteArray encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A JPEG as a camera held sideways writes it: the picture stored on its side, with an Exif orientation
// tag that says to turn it a quarter to the right. The stored picture's left half is red (or `left`).
QByteArray sidewaysPhoto(int width, int height, const QByteArray& exif = kTurnRightExif,
                         Qt::GlobalColor left = Qt::red) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter(&image).fillRect(0, 0, width / 2, height, left);
    const QByteArray jpeg = encoded(image, "JPEG");
    if (exif.isEmpty())
        return jpeg;
    const int length = static_cast<int>(exif.size()) + 2;
    QByteArray segment = QByteArray::fromHex("ffe1");
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(exif);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

// kTurnRightExif with a second directory that holds a camera's own small JPEG of the photo, which says
// it is `claimed` bytes long.
QByteArray exifWithThumbnail(const QByteArray& thumbnail, int claimed) {
    QByteArray claim(4, '\0');
    qToBigEndian<quint32>(claimed, claim.data());
    return kTurnRightExif.left(28) +
           QByteArray::fromHex("0000001a00020201000400000001000000380202000400000001") + claim +
           QByteArray(4, '\0') + thumbnail;
}

// A HEIC as a phone writes it: the picture stored as taken (sidewaysPhoto's), turned by the file's own
// rotation a quarter to the right, with an Exif orientation that says the same (which must not turn it
// a second time). Made with libheif's encoder, as heif-enc cannot write a rotation of the file's own.
bool writeHEICWithOwnRotation(const QString& path, int width, int height) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_image_handle* handle = nullptr;
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    bool written =
        heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == 0 &&
        heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code ==
            0 &&
        heif_image_add_plane(image, heif_channel_interleaved, width, height, 8).code == 0;
    if (written) {
        int stride = 0;
        uint8_t* pixels = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                uint8_t* pixel = pixels + y * stride + x * 3;
                pixel[0] = 255;
                pixel[1] = pixel[2] = x < width / 2 ? 0 : 255;
            }
        }
        written = heif_context_encode_image(context, image, encoder, options, &handle).code == 0 &&
                  heif_context_add_exif_metadata(context, handle, kTurnRightExif.constData(),
                                                 int(kTurnRightExif.size()))
                          .code == 0 &&
                  heif_context_write_to_file(context, QFile::encodeName(path).constData()).code == 0;
    }
    heif_image_handle_release(handle);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_encoding_options_free(options);
    heif_context_free(context);
    return written;
}

// A BMP header that claims 100,000 by 100,000 pixels of 24 bits: far past the reader's allocation limit.
const QByteArray kHugeBitmapHeader =
    QByteArray::fromHex("424d360000000000000036000000280000"
                        "00a0860100a0860100010018000000000000000000130b0000130b"
                        "00000000000000000000");

QImage imageOf(const Reply& reply) {
    QImage image;
    image.loadFromData(reply.body);
    return image;
}

// A sideways photo's picture as it must come back: an upright JPEG of that size, its red half on top.
void expectUprightJPEG(const Reply& reply, QSize size) {
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "image/jpeg");
    EXPECT_EQ(reply.header("Content-Security-Policy"), kSandboxed);
    EXPECT_EQ(reply.header("X-Content-Type-Options"), "nosniff");
    const QImage upright = imageOf(reply);
    EXPECT_EQ(upright.size(), size);
    const QPoint top(size.width() / 2, size.height() / 8);
    EXPECT_GT(qRed(upright.pixel(top)), 200);
    EXPECT_LT(qGreen(upright.pixel(top)), 60);
    EXPECT_GT(qGreen(upright.pixel(size.width() / 2, size.height() * 7 / 8)), 200);
}

QString thumbnailFolder() {
    return qEnvironmentVariable("XDG_CACHE_HOME") + "/brightloom Share/thumbnails";
}

QStringList cachedThumbnails() {
    return QDir(thumbnailFolder()).entryList(QDir::Files);
}

class Previews : public ServedFolder {
protected:
    void SetUp() override {
        root = folder.path() + "/media";
        writeFile(root + "/photo.jpg", sidewaysPhoto(800, 400));
        QImage clear(1000, 100, QImage::Format_ARGB32);
        clear.fill(Qt::transparent);
        writeFile(root + "/clear.png", encoded(clear, "PNG"));
        writeFile(root + "/clip.webm", "webm");
        writeFile(root + "/song.mp3", "mp3");
        writeFile(root + "/doc.pdf", "%PDF-1.4");
        for (const char* name : {"notes.md", "config.yaml", "main.rs", "README", "notes.txt"})
            writeFile(root + "/" + name, "<script>alert(1)</script>");
        writeFile(root + "/page.html", "<script>alert(1)</script>");
        writeFile(root + "/drawing.svg",
                  "<svg xmlns='http://www.w3.org/2000/svg'><script>alert(1)</script></svg>");
        writeFile(root + "/data.xml",
                  "<a><script xmlns='http://www.w3.org/1999/xhtml'>alert(1)</script></a>");
        writeFile(root + "/app.js", "alert(1)");
        writeFile(root + "/blob.bin", "\x01\x02");
        writeFile(root + "/bad.jpg", "\xff\xd8\xff\xe0 not really a photo");
        writeFile(root + "/huge.bmp", kHugeBitmapHeader);
        writeFile(root + "/album/inside.txt", "i");
        snapshot.shares = {makeShare({.slug = "media", .path = root}),
                           makeShare({.slug = "vault", .path = root, .password = "secret"})};
        serve();
    }

    QString root;
};

} // namespace

TEST_F(Previews, ViewShowsWhatABrowserShowsSafelyAndDownloadsEverythingElse) {
    struct Case {
        QString name;
        QString type;
        QString policy;
    };
    const QList<Case> inlineCases{
        {"photo.jpg", "image/jpeg", kSandboxed},
        {"clip.webm", "video/webm", kMedia},
        {"song.mp3", "audio/mpeg", kMedia},
        {"doc.pdf", "application/pdf", kDocument},
        {"notes.md", "text/plain; charset=utf-8", kSandboxed},
        {"config.yaml", "text/plain; charset=utf-8", kSandboxed},
        {"main.rs", "text/plain; charset=utf-8", kSandboxed},
        {"README", "text/plain; charset=utf-8", kSandboxed},
    };
    for (const Case& item : inlineCases) {
        SCOPED_TRACE(item.name.toStdString());
        const Reply reply = get(port(), "/media/" + item.name + "?view=1");
        EXPECT_EQ(reply.headerNames(), kFileHeaders);
        EXPECT_EQ(reply.header("Content-Disposition"), "inline; filename=\"" + item.name + "\"");
        EXPECT_EQ(reply.header("Content-Type"), item.type);
        EXPECT_EQ(reply.header("Content-Security-Policy"), item.policy);
        QFile original(root + "/" + item.name);
        ASSERT_TRUE(original.open(QIODevice::ReadOnly));
        EXPECT_EQ(reply.body, original.readAll());
    }

    // What a browser would run or guess at is answered byte for byte as its download.
    for (const QString name : {"page.html", "drawing.svg", "data.xml", "app.js", "blob.bin"}) {
        SCOPED_TRACE(name.toStdString());
        const Reply view = get(port(), "/media/" + name + "?view=1");
        const Reply download = get(port(), "/media/" + name + "?download=1");
        EXPECT_EQ(view.headers, download.headers);
        EXPECT_EQ(view.body, download.body);
        EXPECT_TRUE(view.header("Content-Disposition").startsWith("attachment; "));
        EXPECT_EQ(view.header("Content-Security-Policy"), kSandboxed);
    }
    // A hostile name reaches the inline disposition as it reaches the attachment: without quotes or breaks.
    writeFile(root + "/say \"hi\"\r\nSet-Cookie: a=b.txt", "hi");
    const Reply hostile = get(port(), "/media/say%20%22hi%22%0D%0ASet-Cookie:%20a=b.txt?view=1");
    EXPECT_EQ(hostile.header("Content-Disposition"), "inline; filename=\"say hiSet-Cookie: a=b.txt\"");
    const Reply album = get(port(), "/media/album/?view=1");
    EXPECT_EQ(album.header("Content-Type"), "application/zip");
    EXPECT_EQ(album.header("Content-Disposition"), "attachment; filename=\"album.zip\"");
    EXPECT_EQ(album.header("Content-Security-Policy"), kSandboxed);
    EXPECT_EQ(get(port(), "/media/none.jpg?view=1").status, 404);
    // The page stays the page: view=0 is no view.
    EXPECT_EQ(get(port(), "/media/photo.jpg?view=0").header("Content-Type"), "text/html; charset=utf-8");

    // A player asks for the part it seeks to; HEAD tells what GET would send, without the bytes.
    const Reply part = get(port(), "/media/clip.webm?view=1", "Range: bytes=1-2\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.header("Content-Disposition"), "inline; filename=\"clip.webm\"");
    EXPECT_EQ(part.body, "eb");
    const Reply head = request(port(), "HEAD", "/media/notes.md?view=1");
    EXPECT_EQ(head.headerNames(), kFileHeaders);
    EXPECT_EQ(head.header("Content-Length"), "25");
    EXPECT_TRUE(head.body.isEmpty());
    // A locked share refuses every form of a file before reading it.
    for (const QString query : {"download=1", "view=1", "thumb=1"}) {
        const Reply refused = get(port(), "/vault/photo.jpg?" + query);
        EXPECT_EQ(refused.status, 401) << query.toStdString();
        EXPECT_FALSE(refused.body.contains("JFIF"));
    }
    EXPECT_TRUE(cachedThumbnails().isEmpty());
}

TEST_F(Previews, ThumbnailsAreSmallUprightMadeOnceAndNewWhenTheImageChanges) {
    // Stored 800 by 400 on its side: upright it stands 160 by 320.
    const Reply first = get(port(), "/media/photo.jpg?thumb=1");
    expectUprightJPEG(first, QSize(160, 320));

    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(thumbnailFolder()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(cachedThumbnails().size(), 1);
    EXPECT_EQ(get(port(), "/media/photo.jpg?thumb=1").body, first.body);

    // Another picture under the same name is a new thumbnail.
    QImage blue(600, 300, QImage::Format_RGB32);
    blue.fill(Qt::blue);
    writeFile(root + "/photo.jpg", encoded(blue, "JPEG").leftJustified(20000, '\0'));
    const QImage changed = imageOf(get(port(), "/media/photo.jpg?thumb=1"));
    EXPECT_EQ(changed.size(), QSize(320, 160));
    EXPECT_GT(qBlue(changed.pixel(160, 80)), 200);
    EXPECT_EQ(cachedThumbnails().size(), 2);
    // Also when the new picture keeps the old one's size and modification time, as copies do.
    QImage green(600, 300, QImage::Format_RGB32);
    green.fill(Qt::green);
    rewriteKeepingTimes(root + "/photo.jpg", encoded(green, "JPEG").leftJustified(20000, '\0'));
    EXPECT_GT(qGreen(imageOf(get(port(), "/media/photo.jpg?thumb=1")).pixel(160, 80)), 200);

    // See-through pictures keep their transparency.
    const Reply clear = get(port(), "/media/clear.png?thumb=1");
    EXPECT_EQ(clear.header("Content-Type"), "image/webp");
    EXPECT_EQ(imageOf(clear).size(), QSize(320, 32));
    EXPECT_EQ(qAlpha(imageOf(clear).pixel(10, 10)), 0);
}

TEST_F(Previews, AThumbnailComesFromTheCamerasOwnOnlyWhenThatIsWholeLargeEnoughAndOfTheSameShape) {
    // The camera's own is blue where the photo is red; either comes upright, 160 by 320.
    const QByteArray own = sidewaysPhoto(640, 320, {}, Qt::blue);
    const struct {
        QByteArray thumbnail;
        int lengthOff;
        bool taken;
    } cases[] = {{own, 0, true},
                 {sidewaysPhoto(160, 80, {}, Qt::blue), 0, false},  // smaller than the thumbnail
                 {sidewaysPhoto(640, 480, {}, Qt::blue), 0, false}, // another shape: bars added
                 {own, 1, false},                                   // runs past its block
                 {own, -40, false}};                                // ends before its end
    for (int i = 0; i < int(std::size(cases)); ++i) {
        SCOPED_TRACE(i);
        const auto& [thumbnail, off, taken] = cases[i];
        const QString name = QString("own-%1.jpg").arg(i);
        writeFile(root + "/" + name,
                  sidewaysPhoto(800, 400, exifWithThumbnail(thumbnail, int(thumbnail.size()) + off)));
        const QImage upright = imageOf(get(port(), "/media/" + name + "?thumb=1"));
        ASSERT_EQ(upright.size(), QSize(160, 320));
        EXPECT_EQ(qBlue(upright.pixel(80, 40)) > 200, taken);
        EXPECT_EQ(qRed(upright.pixel(80, 40)) > 200, !taken);
        EXPECT_GT(qGreen(upright.pixel(80, 280)), 200);
    }
}

TEST_F(Previews, NoThumbnailForWhatIsNoDecodableImage) {
    // A picture that declares more pixels than the decoders may take (JPEGs that declare too much are
    // the decoder bombs' test).
    QImage wide(10001, 10000, QImage::Format_Mono);
    wide.fill(0);
    writeFile(root + "/wide.png", encoded(wide, "PNG"));
    for (const QString path :
         {"bad.jpg", "huge.bmp", "wide.png", "notes.txt", "page.html", "drawing.svg", "album/"}) {
        SCOPED_TRACE(path.toStdString());
        const Reply reply = get(port(), "/media/" + path + "?thumb=1");
        EXPECT_EQ(reply.status, 404);
        EXPECT_EQ(reply.header("Content-Type"), "text/html; charset=utf-8");
    }
    // Remembered: the broken ones are not decoded again.
    EXPECT_EQ(get(port(), "/media/bad.jpg?thumb=1").status, 404);
    EXPECT_EQ(cachedThumbnails().size(), 3);
    const Reply missing = get(port(), "/media/none.jpg?thumb=1");
    EXPECT_EQ(missing.status, 404);
    EXPECT_TRUE(missing.text().contains("That item moved"));
}

TEST_F(Previews, VisitorsAskingAtOnceForAThumbnailShareOneDecode) {
    // A progressive photo, decoded in several passes: large enough to be in the making while they ask.
    QImage photo(2400, 1600, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y) {
        for (int x = 0; x < photo.width(); ++x)
            photo.setPixel(x, y, qRgb(x * 7 % 256, y * 13 % 256, (x ^ y) % 256));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setProgressiveScanWrite(true);
    ASSERT_TRUE(writer.write(photo));
    writeFile(root + "/big.jpg", bytes);

    const qint64 decodesBefore = QuarryDecodeGate::process().admittedCount();
    std::vector<int> visitors;
    for (int i = 0; i < 20; ++i)
        visitors.push_back(ask(port(), "/media/big.jpg?thumb=1"));
    QByteArray first;
    for (const int socket : visitors) {
        const Reply reply = answerOf(socket);
        EXPECT_EQ(reply.status, 200);
        if (first.isEmpty())
            first = reply.body;
        EXPECT_EQ(reply.body, first);
    }
    EXPECT_EQ(imageOf(get(port(), "/media/big.jpg?thumb=1")).size(), QSize(320, 213));
    EXPECT_EQ(QuarryDecodeGate::process().admittedCount() - decodesBefore, 1);
}

TEST(DecodeGate, RefusesWhatIsTooLargeAndLetsTheRestTakeTurnsWithinTheProcessBudget) {
    QuarryDecodeGate gate({.maxPixels = 1000, .maxBytes = 100, .processBytes = 150});
    for (const QuarryDecodeGate::Cost& tooLarge :
         {QuarryDecodeGate::Cost{QSize(40, 30), 1, 10}, QuarryDecodeGate::Cost{QSize(10, 10), 20, 10},
          QuarryDecodeGate::Cost{QSize(10, 10), 1, 101}, QuarryDecodeGate::Cost{QSize(0, 10), 1, 10}})
        EXPECT_TRUE(gate.admit(tooLarge).refused()) << tooLarge.size.width() << " " << tooLarge.frames;

    // A JPEG's cost is read from its headers: coefficients for the whole image when it comes in passes.
    const auto frameOf = [](const QByteArray& jpeg) {
        QBuffer device;
        device.setData(jpeg);
        device.open(QIODevice::ReadOnly);
        return QuarryImageCost::jpegFrame(&device).value_or(QuarryImageCost::JPEGFrame{});
    };
    EXPECT_EQ(frameOf(declaredJPEG(30000, 30000, 3, true, 3)).wholeImageBytes, 3750LL * 3750 * 3 * 128);
    EXPECT_EQ(frameOf(declaredJPEG(20000, 8, 1, false, 1)).wholeImageBytes, 0);
    EXPECT_EQ(frameOf(declaredJPEG(20000, 8, 3, false, 1)).wholeImageBytes, 2500LL * 3 * 128);
    EXPECT_EQ(frameOf(declaredJPEG(20000, 8, 3, false, 1)).size, QSize(20000, 8));

    QuarryDecodeGate::Permit first = gate.admit({QSize(10, 10), 1, 100});
    ASSERT_TRUE(first);
    // A decode that does not fit beside it gives up once its visitor has gone.
    const std::atomic_bool cancelled{true};
    const QuarryDecodeGate::Permit gaveUp = gate.admit({QSize(10, 10), 1, 60}, &cancelled);
    EXPECT_FALSE(gaveUp);
    EXPECT_FALSE(gaveUp.refused());
    first = QuarryDecodeGate::Permit();
    EXPECT_EQ(gate.bytesInUse(), 0);
    EXPECT_EQ(gate.admittedCount(), 1);
}

TEST_F(Previews, DisplayRenditionsFitAScreenUprightAndAreKeptBesideTheThumbnails) {
    writeFile(root + "/big.jpg", sidewaysPhoto(4000, 2000));
    // Stored on their sides; upright, the red half on top. A photo smaller than a screen keeps its size.
    for (const auto& [name, size] :
         {std::pair{"big.jpg", QSize(1024, 2048)}, std::pair{"photo.jpg", QSize(400, 800)}}) {
        SCOPED_TRACE(name);
        const Reply reply = get(port(), QString("/media/") + name + "?preview=1");
        expectUprightJPEG(reply, size);
        EXPECT_EQ(get(port(), QString("/media/") + name + "?preview=1").body, reply.body);
    }
    get(port(), "/media/photo.jpg?thumb=1");
    EXPECT_EQ(cachedThumbnails().size(), 3);
    // A see-through picture is shown on white, as a JPEG.
    const Reply clear = get(port(), "/media/clear.png?preview=1");
    EXPECT_EQ(clear.header("Content-Type"), "image/jpeg");
    EXPECT_EQ(imageOf(clear).pixel(10, 10), qRgb(255, 255, 255));
    // What has no thumbnail has no display rendition, and a locked share gives neither.
    for (const QString path : {"bad.jpg", "huge.bmp", "notes.txt", "album/"})
        EXPECT_EQ(get(port(), "/media/" + path + "?preview=1").status, 404) << path.toStdString();
    EXPECT_EQ(get(port(), "/vault/big.jpg?preview=1").status, 401);
}

TEST_F(Previews, HEICPhotosShowUprightAsJPEGsAndDownloadAsThemselves) {
    // heif-enc keeps a sideways JPEG's picture on its side and copies its Exif orientation along.
    writeFile(folder.path() + "/sideways.jpg", sidewaysPhoto(640, 360));
    ASSERT_EQ(QProcess::execute("heif-enc",
                                {"-q", "80", folder.path() + "/sideways.jpg", "-o", root + "/camera.heic"}),
              0);
    ASSERT_TRUE(writeHEICWithOwnRotation(root + "/phone.HEIC", 640, 360));
    for (const QString name : {"camera.heic", "phone.HEIC"}) {
        for (const auto& [form, size] :
             {std::pair{"thumb", QSize(180, 320)}, std::pair{"preview", QSize(360, 640)},
              std::pair{"view", QSize(360, 640)}}) {
            SCOPED_TRACE((name + "?" + form).toStdString());
            expectUprightJPEG(get(port(), "/media/" + name + "?" + form + "=1"), size);
        }
    }
    QFile original(root + "/camera.heic");
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    const Reply download = get(port(), "/media/camera.heic?download=1");
    EXPECT_EQ(download.header("Content-Type"), "image/heic");
    EXPECT_EQ(download.body, bytes);

    // A file that claims a picture of 20,000 by 20,000 pixels is refused before it is decoded; one cut
    // short is no photo. Neither takes the server down.
    QByteArray claims = bytes;
    const qsizetype size = claims.indexOf("ispe") + 8;
    ASSERT_GT(size, 8);
    claims.replace(size, 8, QByteArray::fromHex("00004e2000004e20"));
    writeFile(root + "/claims.heic", claims);
    writeFile(root + "/cut.heic", bytes.left(bytes.size() / 2));
    for (const QString name : {"claims.heic", "cut.heic"}) {
        for (const QString form : {"thumb", "preview", "view"})
            EXPECT_EQ(get(port(), "/media/" + name + "?" + form + "=1").status, 404) << name.toStdString();
    }
    EXPECT_EQ(get(port(), "/media/camera.heic?thumb=1").status, 200);

    // HEIC and JPEG decodes wait at the process's one gate: while others' decodes hold all of its bytes
    // neither is answered, and once they end each is, with one decode.
    QuarryDecodeGate& gate = QuarryDecodeGate::process();
    writeFile(root + "/again.heic", bytes);
    for (const QByteArray name : {"again.heic", "photo.jpg"}) {
        std::vector<QuarryDecodeGate::Permit> others;
        for (qint64 left = gate.limits().processBytes; left > 0; left -= gate.limits().maxBytes)
            others.push_back(gate.admit({QSize(1, 1), 1, qMin(left, gate.limits().maxBytes)}));
        const qint64 decodes = gate.admittedCount();
        const int visitor = ask(port(), "/media/" + name + "?thumb=1");
        EXPECT_FALSE(hasAnswered(visitor, std::chrono::milliseconds(300))) << name.constData();
        others.clear();
        EXPECT_EQ(answerOf(visitor).status, 200) << name.constData();
        EXPECT_EQ(gate.admittedCount() - decodes, 1) << name.constData();
    }
}

TEST(ThumbnailCache, StaysUnderItsCapBySendingTheLeastRecentlyUsedFirst) {
    const QString folder = testing_support::sandboxRoot() + "/cache/thumbnails";
    QuarryThumbnailCache cache(folder, 10 * 1024);
    const QByteArray thumbnail = QByteArray("\xff\xd8\xff") + QByteArray(1500, 'x');
    for (int i = 0; i < 6; ++i) {
        const QString key = "key" + QString::number(i);
        cache.store(key, thumbnail);
        // Each a minute older than the next, as if used in turn.
        const timespec times[2] = {{1'700'000'000 + 60 * i, 0}, {1'700'000'000 + 60 * i, 0}};
        ::utimensat(AT_FDCWD, QFile::encodeName(folder + "/" + key).constData(), times, 0);
    }
    cache.store("key6", thumbnail);
    QStringList kept = QDir(folder).entryList(QDir::Files);
    kept.sort();
    EXPECT_EQ(kept, (QStringList{"key2", "key3", "key4", "key5", "key6"}));
    const std::optional<QuarryThumbnailCache::Entry> newest = cache.find("key6");
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(newest->contentType, "image/jpeg");
    EXPECT_EQ(newest->length, thumbnail.size());
    ::close(newest->descriptor);
    EXPECT_FALSE(cache.find("key0").has_value());
}
