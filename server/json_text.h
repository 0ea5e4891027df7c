#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringView>

#include <string>
#include <vector>

namespace QuarryShareWeb {

// Compact JSON written straight into UTF-8 bytes. Folder listings are encoded on every request, and
// the general document classes spend dozens of allocations on each entry.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(const char* name);
    JsonWriter& value(QStringView text);
    JsonWriter& value(qint64 number);
    JsonWriter& value(bool flag);
    // ISO 8601 in UTC with whole seconds and a trailing "Z", as a JSON string.
    JsonWriter& dateValue(const QDateTime& moment);

    QByteArray take() { return QByteArray(m_out.data(), static_cast<qsizetype>(m_out.size())); }

private:
    void separate();

    // A plain byte string: appending to it is inline, where each append to a QByteArray is a call.
    std::string m_out;
    std::vector<bool> m_firstInLevel;
    bool m_afterKey = false;
};

// "2024-06-01T09:30:00Z": the moment in UTC, whole seconds.
QByteArray isoDateBytes(const QDateTime& moment);

} // namespace QuarryShareWeb
