#include "server/media/video_facts.h"

#include "server/media/decode_gate.h"
#include "server/media/media_child.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

// What a facts child and a frame child may take, charged to the process's decode budget while they run
// so that photos and videos decoded together stay within it. A frame comes from key frames alone,
// which keeps even a 4K 10-bit HEVC clip well under its share.
constexpr qint64 kProbeBytes = 64LL << 20;
constexpr qint64 kFrameBytes = 128LL << 20;

// Runs a tool once the decode gate has room for it; nothing when refused or cancelled meanwhile.
std::optional<QByteArray> runAdmitted(const QByteArray& program, const QByteArrayList& arguments,
                                      int fileDescriptor, QSize declared, qint64 bytes,
                                      const std::atomic_bool* cancelled) {
    const QuarryDecodeGate::Permit permit =
        QuarryDecodeGate::process().admit({declared, 1, bytes}, cancelled);
    if (!permit)
        return std::nullopt;
    QuarryMediaChild::Limits limits;
    limits.dataSize = bytes;
    return QuarryMediaChild::run(program, arguments, fileDescriptor, limits, cancelled);
}

// Clips shorter than this show their first frame: a tenth in would be a blur of the opening.
constexpr double kShortClip = 3.0;

QJsonObject firstStream(const QJsonArray& streams, const QString& type) {
    for (const QJsonValue& stream : streams) {
        if (stream[QStringLiteral("codec_type")].toString() == type &&
            stream[QStringLiteral("disposition")][QStringLiteral("attached_pic")].toInt() == 0)
            return stream.toObject();
    }
    return {};
}

// The rotation the display matrix or the older tag asks for, in quarter turns as degrees 0-270.
int rotationOf(const QJsonObject& stream) {
    double degrees = stream[QStringLiteral("tags")][QStringLiteral("rotate")].toString().toDouble();
    for (const QJsonValue& data : stream[QStringLiteral("side_data_list")].toArray()) {
        if (data[QStringLiteral("rotation")].isDouble())
            degrees = data[QStringLiteral("rotation")].toDouble();
    }
    const int quarter = static_cast<int>(std::lround(degrees / 90.0));
    return ((quarter % 4) + 4) % 4 * 90;
}

QString hex2(int value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

// The codecs parameter a browser's canPlayType understands for one stream; empty when unknown.
QString codecParameter(const QJsonObject& stream) {
    const QString codec = stream[QStringLiteral("codec_name")].toString();
    const QString profile = stream[QStringLiteral("profile")].toString();
    const int level = stream[QStringLiteral("level")].toInt();
    if (codec == QLatin1String("h264")) {
        // High 10, 4:2:2 and 4:4:4 are profiles of their own, which many browsers do not decode.
        const int profileByte = profile.contains(QLatin1String("4:4:4"))   ? 0xF4
                                : profile.contains(QLatin1String("4:2:2")) ? 0x7A
                                : profile.contains(QLatin1String("10"))    ? 0x6E
                                : profile.contains(QLatin1String("High"))  ? 0x64
                                : profile.contains(QLatin1String("Main"))  ? 0x4D
                                                                           : 0x42;
        const int constraints = profile.startsWith(QLatin1String("Constrained")) ? 0xE0 : 0;
        return QStringLiteral("avc1.") + hex2(profileByte) + hex2(constraints) + hex2(level);
    }
    if (codec == QLatin1String("hevc")) {
        const QString tag = stream[QStringLiteral("codec_tag_string")].toString() == QLatin1String("hev1")
                                ? QStringLiteral("hev1")
                                : QStringLiteral("hvc1");
        const bool main10 = profile.contains(QLatin1String("10"));
        return tag + (main10 ? QStringLiteral(".2.4.L") : QStringLiteral(".1.6.L")) + QString::number(level) +
               QStringLiteral(".B0");
    }
    if (codec == QLatin1String("vp9")) {
        const int number = profile.right(1).toInt();
        return QStringLiteral("vp09.0%1.10.%2")
            .arg(number)
            .arg(number >= 2 ? QStringLiteral("10") : QStringLiteral("08"));
    }
    if (codec == QLatin1String("av1"))
        return QStringLiteral("av01.0.08M.08");
    if (codec == QLatin1String("aac"))
        return profile.startsWith(QLatin1String("HE")) ? QStringLiteral("mp4a.40.5")
                                                       : QStringLiteral("mp4a.40.2");
    static const QMap<QString, QString> plain{{QStringLiteral("vp8"), QStringLiteral("vp8")},
                                              {QStringLiteral("opus"), QStringLiteral("opus")},
                                              {QStringLiteral("vorbis"), QStringLiteral("vorbis")},
                                              {QStringLiteral("theora"), QStringLiteral("theora")},
                                              {QStringLiteral("flac"), QStringLiteral("flac")},
                                              {QStringLiteral("mp3"), QStringLiteral("mp4a.69")},
                                              {QStringLiteral("ac3"), QStringLiteral("ac-3")},
                                              {QStringLiteral("eac3"), QStringLiteral("ec-3")}};
    return plain.value(codec);
}

// The MIME types with codecs the file plays as, for the containers browsers play.
QJsonArray playableTypes(const QString& formatName, const QJsonObject& video, const QJsonObject& audio) {
    QStringList codecs{codecParameter(video)};
    if (!audio.isEmpty())
        codecs << codecParameter(audio);
    if (codecs.contains(QString()))
        return {};
    const QString parameter =
        QStringLiteral("; codecs=\"") + codecs.join(QStringLiteral(", ")) + QLatin1Char('"');
    QStringList containers;
    if (formatName.contains(QLatin1String("mp4")))
        containers << QStringLiteral("video/mp4") << QStringLiteral("video/quicktime");
    if (formatName.contains(QLatin1String("matroska"))) {
        static const QStringList webmCodecs{QStringLiteral("vp8"), QStringLiteral("vp9"),
                                            QStringLiteral("av1"), QStringLiteral("opus"),
                                            QStringLiteral("vorbis")};
        const QString audioCodec = audio[QStringLiteral("codec_name")].toString();
        if (webmCodecs.contains(video[QStringLiteral("codec_name")].toString()) &&
            (audio.isEmpty() || webmCodecs.contains(audioCodec)))
            containers << QStringLiteral("video/webm");
        containers << QStringLiteral("video/x-matroska");
    }
    if (formatName == QLatin1String("ogg"))
        containers << QStringLiteral("video/ogg");
    QJsonArray types;
    for (const QString& container : containers)
        types.append(container + parameter);
    return types;
}

QByteArray fit(int side) {
    return QStringLiteral("scale='min(%1,iw)':'min(%1,ih)':force_original_aspect_ratio=decrease")
        .arg(side)
        .toLatin1();
}

} // namespace

namespace QuarryVideoFacts {

std::optional<QByteArray> probe(int fileDescriptor, const std::atomic_bool* cancelled) {
    static const QByteArray ffprobe = QuarryMediaChild::executable("ffprobe");
    QByteArrayList arguments{"-v", "error"};
    arguments += QuarryMediaChild::inputOptions();
    arguments += {"-print_format", "json", "-show_format", "-show_streams", "/proc/self/fd/3"};
    // Nothing is decoded yet, so no picture size to declare.
    const std::optional<QByteArray> output =
        runAdmitted(ffprobe, arguments, fileDescriptor, QSize(1, 1), kProbeBytes, cancelled);
    if (!output)
        return std::nullopt;
    const QJsonObject facts = QJsonDocument::fromJson(*output).object();
    const QJsonArray streams = facts[QStringLiteral("streams")].toArray();
    const QJsonObject video = firstStream(streams, QStringLiteral("video"));
    const QJsonObject audio = firstStream(streams, QStringLiteral("audio"));
    const int width = video[QStringLiteral("width")].toInt();
    const int height = video[QStringLiteral("height")].toInt();
    if (video.isEmpty() || width <= 0 || height <= 0)
        return std::nullopt;
    const QJsonObject format = facts[QStringLiteral("format")].toObject();
    const double duration = format[QStringLiteral("duration")].toString().toDouble();
    const int rotation = rotationOf(video);
    const bool sideways = rotation % 180 != 0;
    const QJsonObject answer{
        {QStringLiteral("duration"), std::isfinite(duration) && duration > 0 ? duration : 0.0},
        {QStringLiteral("width"), sideways ? height : width},
        {QStringLiteral("height"), sideways ? width : height},
        {QStringLiteral("rotation"), rotation},
        {QStringLiteral("video"), video[QStringLiteral("codec_name")].toString()},
        {QStringLiteral("audio"),
         audio.isEmpty() ? QJsonValue() : QJsonValue(audio[QStringLiteral("codec_name")].toString())},
        {QStringLiteral("playable"),
         playableTypes(format[QStringLiteral("format_name")].toString(), video, audio)},
        // What play=1 needs to know to copy the picture: its profile as a codecs parameter.
        {QStringLiteral("videoProfile"), codecParameter(video)}};
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

std::optional<QuarryThumbnail> frame(int fileDescriptor, const QByteArray& probeJSON,
                                     QuarryRendition rendition, const std::atomic_bool* cancelled) {
    static const QByteArray ffmpeg = QuarryMediaChild::executable("ffmpeg");
    const QJsonDocument facts = QJsonDocument::fromJson(probeJSON);
    const double duration = facts[QStringLiteral("duration")].toDouble();
    const QSize declared(facts[QStringLiteral("width")].toInt(), facts[QStringLiteral("height")].toInt());
    const double at = duration < kShortClip ? 0.0 : duration / 10.0;
    const int side = rendition == QuarryRendition::thumbnail ? QuarryThumbnailMaker::kMaxSide
                                                             : QuarryThumbnailMaker::kDisplaySide;
    // The key frame at or before the time, decoded alone: no reference frames held, a fraction of the
    // memory and time (timestamps kept as they are, or the frame before the time would be cut).
    QByteArrayList arguments{"-nostdin", "-v", "error", "-threads", "1", "-skip_frame", "nokey"};
    arguments += QuarryMediaChild::inputOptions();
    arguments += {"-noaccurate_seek",
                  "-ss",
                  QByteArray::number(at, 'f', 3),
                  "-i",
                  "/proc/self/fd/3",
                  "-copyts",
                  "-an",
                  "-sn",
                  "-dn",
                  "-frames:v",
                  "1",
                  "-vf",
                  fit(side),
                  "-threads",
                  "1",
                  "-f",
                  "image2pipe",
                  "-c:v",
                  "mjpeg",
                  "-pix_fmt",
                  "yuvj420p",
                  "-q:v",
                  "3",
                  "pipe:1"};
    std::optional<QByteArray> jpeg =
        runAdmitted(ffmpeg, arguments, fileDescriptor, declared, kFrameBytes, cancelled);
    if (!jpeg || QuarryThumbnailMaker::contentTypeOf(*jpeg) != QLatin1String("image/jpeg"))
        return std::nullopt;
    return QuarryThumbnail{std::move(*jpeg), QStringLiteral("image/jpeg")};
}

} // namespace QuarryVideoFacts
