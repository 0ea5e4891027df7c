#include "server/json_text.h"

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
    // Runs that need no escape are copied whole.
    const char* run = utf8.constData();
    const char* const end = run + utf8.size();
    for (const char* at = run; at != end; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte >= 0x20 && byte != '"' && byte != '\\')
            continue;
        m_out.append(run, at - run);
        run = at + 1;
        if (byte == '"' || byte == '\\') {
            const char escaped[] = {'\\', static_cast<char>(byte)};
            m_out.append(escaped, 2);
        } else {
            // Control characters are never written raw: \u00XX keeps the document valid whatever a name
            // holds.
            const char escaped[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            m_out.append(escaped, 6);
        }
    }
    m_out.append(run, end - run);
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
    if (!::gmtime_r(&seconds, &parts) || parts.tm_year + 1900 < 0 || parts.tm_year + 1900 > 9999)
        return moment.toUTC().toString(Qt::ISODate).toUtf8();
    // Written digit by digit: formatting through printf costs more than the rest of a listed entry.
    char text[] = "0000-00-00T00:00:00Z";
    const auto put = [&text](int at, int digits, int number) {
        for (int i = digits - 1; i >= 0; --i, number /= 10)
            text[at + i] = static_cast<char>('0' + number % 10);
    };
    put(0, 4, parts.tm_year + 1900);
    put(5, 2, parts.tm_mon + 1);
    put(8, 2, parts.tm_mday);
    put(11, 2, parts.tm_hour);
    put(14, 2, parts.tm_min);
    put(17, 2, parts.tm_sec);
    return QByteArray(text, sizeof text - 1);
}

} // namespace QuarryShareWeb
