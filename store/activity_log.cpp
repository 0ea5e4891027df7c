#include "store/activity_log.h"

#include "core/diagnostics.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QScopeGuard>
#include <QSet>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

// A visitor's thumbnails of one folder make one event until the visitor has been quiet this long.
constexpr qint64 kThumbnailQuietMSecs = 30 * 1000;
// Partly sent downloads followed, and pieces of one of them: a visitor asking for scattered ranges
// costs no more than this.
constexpr qsizetype kCoveredDownloads = 64;
constexpr qsizetype kCoveredSpans = 32;

bool isArchive(const QuarryActivityEvent& event) {
    return event.kind == QLatin1String("archive") || event.kind == QLatin1String("picks");
}

// Pieces of the same download: one visitor, one item (a file's ranges with the file), one version.
bool sameDownload(const QuarryActivityEvent& a, const QuarryActivityEvent& b) {
    const bool archive = isArchive(a);
    return a.shareID == b.shareID && a.path == b.path && a.client == b.client && archive == isArchive(b) &&
           (!archive || a.kind == b.kind) && a.entityTag == b.entityTag && a.wholeLength == b.wholeLength;
}

bool isThumbnails(const QuarryActivityEvent& event) {
    return event.kind == QLatin1String("thumbnails");
}

// ,"key":"value" as QJsonDocument writes it: UTF-8, quotes and backslashes escaped. The rare text with
// control characters or surrogates is left to QJsonDocument itself, whose escapes it then matches.
void appendJSONString(QByteArray& line, const char* key, const QString& value) {
    line += ",\"";
    line += key;
    line += "\":";
    const bool plain = std::none_of(value.cbegin(), value.cend(),
                                    [](QChar c) { return c.unicode() < 0x20 || c.isSurrogate(); });
    if (!plain) {
        const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        line += QByteArrayView(array).sliced(1, array.size() - 2); // without [ ]
        return;
    }
    line += '"';
    const QByteArray utf8 = value.toUtf8();
    if (!utf8.contains('"') && !utf8.contains('\\')) {
        line += utf8;
    } else {
        for (const char c : utf8) {
            if (c == '"' || c == '\\')
                line += '\\';
            line += c;
        }
    }
    line += '"';
}

// Qt::ISODateWithMs in UTC, without QDateTime's own formatting.
QByteArray isoTime(const QDateTime& time) {
    if (!time.isValid())
        return {};
    const qint64 msecs = time.toMSecsSinceEpoch();
    constexpr qint64 kDay = 24 * 60 * 60 * 1000;
    const qint64 days = msecs >= 0 ? msecs / kDay : -((-msecs + kDay - 1) / kDay);
    const qint64 inDay = msecs - days * kDay;
    const QDate date = QDate::fromJulianDay(QDate(1970, 1, 1).toJulianDay() + days);
    if (date.year() < 0 || date.year() > 9999)
        return time.toUTC().toString(Qt::ISODateWithMs).toUtf8();
    char text[32];
    const int size = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", date.year(),
                                   date.month(), date.day(), int(inDay / 3600000), int(inDay / 60000 % 60),
                                   int(inDay / 1000 % 60), int(inDay % 1000));
    return QByteArray(text, size);
}

} // namespace

QuarryActivityLog::QuarryActivityLog(const QString& folder, bool recording, QObject* parent)
    : QObject(parent)
    , m_folder(folder)
    , m_recording(recording) {
    if (m_recording)
        readBack();
    m_writer = std::thread([this] { writerLoop(); });
}

QuarryActivityLog::~QuarryActivityLog() {
    closeThumbnails(true);
    sendLines();
    {
        const std::lock_guard locker(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_writer.join();
}

QString QuarryActivityLog::filePath() const {
    return m_folder + QStringLiteral("/activity.jsonl");
}

QString QuarryActivityLog::rotatedFilePath() const {
    return m_folder + QStringLiteral("/activity.1.jsonl");
}

QByteArray QuarryActivityLog::jsonLine(const QuarryActivityEvent& event) {
    // Written by hand: one line per answer served, so QJsonObject's allocations showed in the serving
    // figures. Keys in QJsonObject's order and its bytes exactly, as lines written before were.
    QByteArray line;
    line.reserve(256 + 3 * (event.slug.size() + event.path.size()));
    line += '{';
    if (event.bytesPromised >= 0)
        line += "\"bytesPromised\":" + QByteArray::number(event.bytesPromised) + ',';
    line += "\"bytesSent\":" + QByteArray::number(event.bytesSent);
    appendJSONString(line, "client", event.client);
    line += event.complete ? ",\"complete\":true" : ",\"complete\":false";
    line += ",\"durationMs\":" + QByteArray::number(event.durationMs);
    appendJSONString(line, "kind", event.kind);
    appendJSONString(line, "path", event.path);
    line += ",\"share\":\"" + event.shareID.toByteArray(QUuid::WithoutBraces).toUpper() + '"';
    appendJSONString(line, "slug", event.slug);
    line += ",\"status\":" + QByteArray::number(event.status);
    line += ",\"time\":\"" + isoTime(event.time) + '"';
    if (event.unlocked)
        line += *event.unlocked ? ",\"unlocked\":true" : ",\"unlocked\":false";
    appendJSONString(line, "via", event.via);
    line += "}\n";
    return line;
}

std::optional<QuarryActivityEvent> QuarryActivityLog::fromJSONLine(const QByteArray& line) {
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const std::optional<QUuid> share = uuidFromText(object.value(QStringLiteral("share")).toString());
    const QDateTime time =
        QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    if (!share || !time.isValid())
        return std::nullopt;
    QuarryActivityEvent event;
    event.time = time.toUTC();
    event.shareID = *share;
    event.slug = object.value(QStringLiteral("slug")).toString();
    event.path = object.value(QStringLiteral("path")).toString();
    event.kind = object.value(QStringLiteral("kind")).toString();
    event.client = object.value(QStringLiteral("client")).toString();
    event.via = object.value(QStringLiteral("via")).toString();
    event.status = object.value(QStringLiteral("status")).toInt();
    event.bytesPromised = qint64(object.value(QStringLiteral("bytesPromised")).toDouble(-1));
    event.bytesSent = qint64(object.value(QStringLiteral("bytesSent")).toDouble());
    event.durationMs = qint64(object.value(QStringLiteral("durationMs")).toDouble());
    event.ended = true;
    event.complete = object.value(QStringLiteral("complete")).toBool();
    if (object.value(QStringLiteral("unlocked")).isBool())
        event.unlocked = object.value(QStringLiteral("unlocked")).toBool();
    return event;
}

void QuarryActivityLog::readBack() {
    for (const QString& path : {rotatedFilePath(), filePath()}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        while (!file.atEnd()) {
            // A line cut short by a crash, or one from a newer version, is passed over.
            if (const std::optional<QuarryActivityEvent> event = fromJSONLine(file.readLine()))
                remember(*event);
        }
    }
}

void QuarryActivityLog::setRecording(bool recording) {
    if (recording == m_recording)
        return;
    m_recording = recording;
    if (!recording) {
        m_events.clear();
        m_running.clear();
        Q_EMIT runningDownloadsChanged();
        m_thumbnails.clear();
        m_coverage.clear();
        write({}); // removes the files, after whatever was written before
    }
    Q_EMIT changed();
}

void QuarryActivityLog::remember(const QuarryActivityEvent& event) {
    m_events.push_back(event);
    while (m_events.size() > size_t(kKeptEvents))
        m_events.pop_front();
}

bool QuarryActivityLog::isDownload(const QuarryActivityEvent& event) {
    static const QStringList kinds{QStringLiteral("file"), QStringLiteral("range"), QStringLiteral("archive"),
                                   QStringLiteral("picks")};
    return kinds.contains(event.kind);
}

int QuarryActivityLog::runningDownloads() const {
    return int(std::count_if(m_running.cbegin(), m_running.cend(), isDownload));
}

void QuarryActivityLog::add(const QuarryActivityEvent& event) {
    addAll({event});
}

void QuarryActivityLog::addAll(const QList<QuarryActivityEvent>& events) {
    if (!m_recording || events.isEmpty())
        return;
    // One change told, and one hand-over to the writer, for all the answers that came together.
    const int downloads = runningDownloads();
    for (const QuarryActivityEvent& event : events)
        take(event);
    sendLines();
    Q_EMIT changed();
    if (runningDownloads() != downloads)
        Q_EMIT runningDownloadsChanged();
}

void QuarryActivityLog::take(const QuarryActivityEvent& event) {
    if (!event.ended) {
        m_running.insert(event.answer, event);
        return;
    }
    m_running.remove(event.answer);
    Q_EMIT answerEnded(event);
    cover(event);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    closeThumbnails(false);
    if (isThumbnails(event)) {
        for (Thumbnails& open : m_thumbnails) {
            QuarryActivityEvent& sum = open.event;
            if (sum.shareID != event.shareID || sum.path != event.path || sum.client != event.client)
                continue;
            sum.bytesSent += event.bytesSent;
            sum.bytesPromised = sum.bytesPromised < 0 || event.bytesPromised < 0
                                    ? -1
                                    : sum.bytesPromised + event.bytesPromised;
            sum.durationMs += event.durationMs;
            sum.complete = sum.complete && event.complete;
            open.lastMSecs = now;
            // The event in memory grows with it.
            for (auto it = m_events.rbegin(); it != m_events.rend(); ++it) {
                if (isThumbnails(*it) && it->answer == sum.answer && it->time == sum.time) {
                    *it = sum;
                    break;
                }
            }
            return;
        }
        m_thumbnails.append({event, now});
        remember(event);
        return;
    }
    remember(event);
    m_lines += jsonLine(event);
}

void QuarryActivityLog::cover(const QuarryActivityEvent& event) {
    if (!isDownload(event) || event.bytesSent <= 0)
        return;
    auto found = std::find_if(m_coverage.begin(), m_coverage.end(),
                              [&](const Coverage& entry) { return sameDownload(entry.item, event); });
    // One answer that sent it all needs no pieces, nor a known length (a deflated archive has none).
    if (event.status == 200 && event.complete) {
        if (found != m_coverage.end())
            m_coverage.erase(found);
        Q_EMIT downloadedWhole(event);
        return;
    }
    if ((event.status != 200 && event.status != 206) || event.wholeLength <= 0 || event.entityTag.isEmpty())
        return;
    if (found == m_coverage.end()) {
        if (m_coverage.size() >= kCoveredDownloads)
            m_coverage.removeFirst();
        m_coverage.append({event, {}});
        found = m_coverage.end() - 1;
    } else {
        // The latest goes last, so the oldest is the first given up.
        m_coverage.move(found - m_coverage.begin(), m_coverage.size() - 1);
        found = m_coverage.end() - 1;
    }
    // The new span, merged with those it meets.
    qint64 first = event.firstByte;
    qint64 end = std::min(event.wholeLength, event.firstByte + event.bytesSent);
    QList<QPair<qint64, qint64>>& spans = found->spans;
    QList<QPair<qint64, qint64>> merged;
    for (const auto& span : spans) {
        if (span.second < first || span.first > end) {
            merged.append(span);
            continue;
        }
        first = std::min(first, span.first);
        end = std::max(end, span.second);
    }
    merged.append({first, end});
    std::sort(merged.begin(), merged.end());
    if (merged.size() == 1 && first == 0 && end >= event.wholeLength) {
        m_coverage.erase(found);
        Q_EMIT downloadedWhole(event);
        return;
    }
    if (merged.size() > kCoveredSpans) {
        m_coverage.erase(found);
        return;
    }
    spans = merged;
}

void QuarryActivityLog::closeThumbnails(bool all) {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_thumbnails.removeIf([&](const Thumbnails& open) {
        if (!all && now - open.lastMSecs < kThumbnailQuietMSecs)
            return false;
        m_lines += jsonLine(open.event);
        return true;
    });
}

void QuarryActivityLog::flush() {
    closeThumbnails(true);
    sendLines();
    std::unique_lock locker(m_lock);
    m_idle.wait(locker, [this] { return m_pending.empty() && !m_writing; });
}

void QuarryActivityLog::sendLines() {
    if (!m_lines.isEmpty())
        write(std::exchange(m_lines, {}));
}

void QuarryActivityLog::write(QByteArray line) {
    {
        const std::lock_guard locker(m_lock);
        m_pending.push_back(std::move(line));
    }
    m_wake.notify_one();
}

// The writer's thread: appends what is pending, moves a full file aside, removes both when asked.
// Nothing here reaches back into the object but its queue.
void QuarryActivityLog::writerLoop() {
    const QByteArray current = QFile::encodeName(filePath());
    const QByteArray rotated = QFile::encodeName(rotatedFilePath());
    const QString folder = m_folder;
    bool reported = false;
    std::unique_lock locker(m_lock);
    for (;;) {
        m_wake.wait(locker, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty())
            return;
        std::deque<QByteArray> batch;
        batch.swap(m_pending);
        m_writing = true;
        locker.unlock();
        QByteArray bytes;
        const auto append = [&] {
            if (bytes.isEmpty())
                return;
            QDir().mkpath(folder);
            struct stat info {};
            if (::stat(current.constData(), &info) == 0 && info.st_size > 0 &&
                info.st_size + bytes.size() > kRotationBytes)
                ::rename(current.constData(), rotated.constData());
            const int fd = ::open(current.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
            const bool written =
                fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
            if (fd >= 0)
                ::close(fd);
            if (!written && !std::exchange(reported, true))
                logDiagnostic(QStringLiteral("Could not write the activity log %1; serving goes on.")
                                  .arg(QFile::decodeName(current)));
            bytes.clear();
        };
        for (const QByteArray& line : batch) {
            if (!line.isEmpty()) {
                bytes += line;
                continue;
            }
            bytes.clear();
            ::unlink(current.constData());
            ::unlink(rotated.constData());
        }
        append();
        locker.lock();
        m_writing = false;
        if (m_pending.empty())
            m_idle.notify_all();
    }
}

// The Activity view's lists.

QString QuarryActivityLog::shareName(const QuarryActivityEvent& event) const {
    const QString name = m_shareName ? m_shareName(event.shareID) : QString();
    return name.isEmpty() ? event.slug : name;
}

QVariantList QuarryActivityLog::visitors() const {
    // Per share, per visitor and way in, newest visitors first.
    struct Visitor {
        QString client;
        QString via;
        QDateTime first;
        QDateTime last;
        QStringList fetched;
    };
    QList<QPair<QUuid, QList<Visitor>>> shares;
    const QLocale locale;
    for (auto it = m_events.crbegin(); it != m_events.crend(); ++it) {
        const QuarryActivityEvent& event = *it;
        auto share = std::find_if(shares.begin(), shares.end(),
                                  [&](const auto& entry) { return entry.first == event.shareID; });
        if (share == shares.end()) {
            shares.append({event.shareID, {}});
            share = shares.end() - 1;
        }
        auto visitor = std::find_if(share->second.begin(), share->second.end(), [&](const Visitor& v) {
            return v.client == event.client && v.via == event.via;
        });
        if (visitor == share->second.end()) {
            share->second.append({event.client, event.via, event.time, event.time, {}});
            visitor = share->second.end() - 1;
        }
        visitor->first = event.time;
        const QString item = event.path.isEmpty() ? QStringLiteral("/") : event.path;
        const QString what = isDownload(event) || event.kind == QLatin1String("view")
                                 ? item + (event.complete ? QString() : QStringLiteral(" (not finished)"))
                                 : QString();
        if (!what.isEmpty() && !visitor->fetched.contains(what) && visitor->fetched.size() < 20)
            visitor->fetched.append(what);
    }
    QVariantList result;
    for (const auto& [id, list] : shares) {
        QVariantList people;
        QString name;
        QString slug;
        for (const QuarryActivityEvent& event : m_events) {
            if (event.shareID == id) {
                name = shareName(event);
                slug = event.slug;
                break;
            }
        }
        for (const Visitor& v : list)
            people.append(QVariantMap{
                {QStringLiteral("client"), v.client},
                {QStringLiteral("via"), v.via},
                {QStringLiteral("firstSeen"), locale.toString(v.first.toLocalTime(), QLocale::ShortFormat)},
                {QStringLiteral("lastSeen"), locale.toString(v.last.toLocalTime(), QLocale::ShortFormat)},
                {QStringLiteral("fetched"), v.fetched.join(QStringLiteral(", "))}});
        result.append(QVariantMap{{QStringLiteral("share"), name},
                                  {QStringLiteral("slug"), slug},
                                  {QStringLiteral("visitors"), people}});
    }
    return result;
}

QVariantList QuarryActivityLog::downloads() const {
    QVariantList result;
    for (const QuarryActivityEvent& event : m_running) {
        if (!isDownload(event))
            continue;
        const QString item = event.path.section(QLatin1Char('/'), -1);
        result.append(QVariantMap{
            {QStringLiteral("name"), item.isEmpty() ? shareName(event) : item},
            {QStringLiteral("share"), shareName(event)},
            {QStringLiteral("client"), event.client},
            {QStringLiteral("via"), event.via},
            {QStringLiteral("bytesSent"), event.bytesSent},
            {QStringLiteral("bytesPromised"), event.bytesPromised},
            {QStringLiteral("progress"),
             event.bytesPromised > 0 ? double(event.bytesSent) / double(event.bytesPromised) : -1.0}});
    }
    return result;
}

QVariantList QuarryActivityLog::totals() const {
    struct Total {
        QString name;
        QString slug;
        QSet<QString> visitors;
        int downloads = 0;
        qint64 bytes = 0;
    };
    QList<QPair<QUuid, Total>> totals;
    for (const QuarryActivityEvent& event : m_events) {
        // A share visited before the reset stays listed, with nothing since.
        auto total = std::find_if(totals.begin(), totals.end(),
                                  [&](const auto& entry) { return entry.first == event.shareID; });
        if (total == totals.end()) {
            totals.append({event.shareID, {shareName(event), event.slug, {}, 0, 0}});
            total = totals.end() - 1;
        }
        if (m_totalsSince.isValid() && event.time < m_totalsSince)
            continue;
        total->second.visitors.insert(event.client);
        total->second.bytes += event.bytesSent;
        if (isDownload(event) && event.complete)
            ++total->second.downloads;
    }
    QVariantList result;
    for (const auto& [id, total] : totals)
        result.append(QVariantMap{{QStringLiteral("share"), total.name},
                                  {QStringLiteral("slug"), total.slug},
                                  {QStringLiteral("visitors"), total.visitors.size()},
                                  {QStringLiteral("downloads"), total.downloads},
                                  {QStringLiteral("bytesSent"), total.bytes}});
    return result;
}

QString QuarryActivityLog::totalsSinceText() const {
    return m_totalsSince.isValid() ? QLocale().toString(m_totalsSince.toLocalTime(), QLocale::ShortFormat)
                                   : QString();
}

void QuarryActivityLog::setTotalsSince(const QDateTime& since) {
    m_totalsSince = since;
    Q_EMIT changed();
}

void QuarryActivityLog::resetTotals() {
    setTotalsSince(QDateTime::currentDateTimeUtc());
    Q_EMIT totalsReset(m_totalsSince);
}
