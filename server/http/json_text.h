#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QStringView>

#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>

namespace QuarryHTTP {

// Bytes appended through a pointer: one capacity check a piece, nothing zero-filled, nothing out of line
// but growing. A listing of ten thousand entries is a hundred thousand small pieces.
class ByteRun {
public:
    char* extend(size_t count) {
        if (count > m_capacity - m_size)
            grow(m_size + count);
        char* const at = m_data.get() + m_size;
        m_size += count;
        return at;
    }
    void append(const char* bytes, size_t count) { std::memcpy(extend(count), bytes, count); }
    void push_back(char byte) { *extend(1) = byte; }
    void reserve(size_t capacity) {
        if (capacity > m_capacity)
            grow(capacity);
    }
    // Gives back the end of what extend handed out.
    void shrinkTo(size_t size) { m_size = size; }
    size_t size() const { return m_size; }
    char* data() { return m_data.get(); }
    const char* data() const { return m_data.get(); }

private:
    void grow(size_t atLeast);

    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

// Compact JSON written straight into UTF-8 bytes. Folder listings are encoded on every request, and
// the general document classes spend dozens of allocations on each entry.
class JSONWriter {
public:
    JSONWriter& beginObject();
    JSONWriter& endObject();
    JSONWriter& beginArray();
    JSONWriter& endArray();
    // Names are literals: their length is known where they are written.
    template <size_t N>
    JSONWriter& key(const char (&name)[N]) {
        return key(name, N - 1);
    }
    JSONWriter& value(QStringView text);
    JSONWriter& value(qint64 number);
    JSONWriter& value(bool flag);
    // ISO 8601 in UTC with whole seconds and a trailing "Z", as a JSON string.
    JSONWriter& dateValue(const QDateTime& moment);

    // Room for about this many bytes, so a long listing is not copied again each time it outgrows it.
    void reserve(size_t bytes) { m_out.reserve(bytes); }
    QByteArray take() { return QByteArray(m_out.data(), static_cast<qsizetype>(m_out.size())); }

private:
    JSONWriter& key(const char* name, size_t length);
    void separate() {
        if (m_needsComma)
            m_out.push_back(',');
    }

    ByteRun m_out;
    // After a value or a closed object or array, the next member or element needs a comma first.
    bool m_needsComma = false;
    // The day last written by dateValue, and its "YYYY-MM-DD": a folder's files share few days.
    qint64 m_lastDay = std::numeric_limits<qint64>::min();
    char m_lastDayText[10] = {};
};

// "2024-06-01T09:30:00Z": the moment in UTC, whole seconds.
QByteArray isoDateBytes(const QDateTime& moment);

} // namespace QuarryHTTP
