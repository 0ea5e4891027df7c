#include "server/json_text.h"

#include <cstdio>
#include <ctime>

namespace QuarryShareWeb {

void JsonWriter::separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_firstInLevel.empty()) {
        if (!m_firstInLevel.back())
            m_out.append(',');
        m_firstInLevel.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    m_out.append('{');
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    m_firstInLevel.pop_back();
    m_out.append('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    m_out.append('[');
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    m_firstInLevel.pop_back();
    m_out.append(']');
    return *this;
}

JsonWriter& JsonWriter::key(const char* name) {
    separate();
    m_out.append('"').append(name).append("\":");
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(QStringView text) {
    separate();
    static const char hex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    m_out.reserve(m_out.size() + utf8.size() + 2);
    m_out.append('"');
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            m_out.append('\\').append(c);
        } else if (byte < 0x20) {
            // Control characters are never written raw: \u00XX keeps the document valid whatever a name
            // holds.
            m_out.append("\\u00").append(hex[byte >> 4]).append(hex[byte & 0xF]);
        } else {
            m_out.append(c);
        }
    }
    m_out.append('"');
    return *this;
}

JsonWriter& JsonWriter::value(qint64 number) {
    separate();
    m_out.append(QByteArray::number(number));
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    m_out.append(flag ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::dateValue(const QDateTime& moment) {
    separate();
    m_out.append('"').append(isoDateBytes(moment)).append('"');
    return *this;
}

QByteArray isoDateBytes(const QDateTime& moment) {
    const std::time_t seconds = static_cast<std::time_t>(moment.toSecsSinceEpoch());
    std::tm parts{};
    if (!::gmtime_r(&seconds, &parts))
        return moment.toUTC().toString(Qt::ISODate).toUtf8();
    char text[64];
    const int length =
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return QByteArray(text, length);
}

} // namespace QuarryShareWeb
