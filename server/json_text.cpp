#include "server/json_text.h"

#include <algorithm>
#include <charconv>

namespace {

// The civil date of a day counted from 1970-01-01, in the proleptic Gregorian calendar.
void civilFromDays(qint64 days, qint64& year, int& month, int& day) {
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

// "2024-06-01T09:30:00Z" into text (20 bytes); false for years outside 0 to 9999.
bool writeIsoDate(qint64 seconds, char* text) {
    const qint64 days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const auto secondOfDay = static_cast<int>(seconds - days * 86400);
    qint64 year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    if (year < 0 || year > 9999)
        return false;
    // Written digit by digit: formatting through printf costs more than the rest of a listed entry.
    const auto put = [text](int at, int digits, int number) {
        for (int i = digits - 1; i >= 0; --i, number /= 10)
            text[at + i] = static_cast<char>('0' + number % 10);
    };
    put(0, 4, static_cast<int>(year));
    text[4] = '-';
    put(5, 2, month);
    text[7] = '-';
    put(8, 2, day);
    text[10] = 'T';
    put(11, 2, secondOfDay / 3600);
    text[13] = ':';
    put(14, 2, secondOfDay / 60 % 60);
    text[16] = ':';
    put(17, 2, secondOfDay % 60);
    text[19] = 'Z';
    return true;
}

} // namespace

namespace QuarryShareWeb {

void JsonWriter::separate() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_firstInLevel.empty()) {
        if (!m_firstInLevel.back())
            m_out.push_back(',');
        m_firstInLevel.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    m_out.push_back('{');
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    m_firstInLevel.pop_back();
    m_out.push_back('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    m_out.push_back('[');
    m_firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    m_firstInLevel.pop_back();
    m_out.push_back(']');
    return *this;
}

JsonWriter& JsonWriter::key(const char* name) {
    separate();
    m_out.push_back('"');
    m_out.append(name);
    m_out.append("\":", 2);
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(QStringView text) {
    separate();
    static const char hex[] = "0123456789abcdef";
    const auto escapeInto = [this](unsigned char byte) {
        if (byte == '"' || byte == '\\') {
            const char escaped[] = {'\\', static_cast<char>(byte)};
            m_out.append(escaped, 2);
        } else {
            // Control characters are never written raw: \u00XX keeps the document valid whatever a name
            // holds.
            const char escaped[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            m_out.append(escaped, 6);
        }
    };
    m_out.push_back('"');
    // Most names are ASCII: those are written straight from their UTF-16 units; others go through the
    // UTF-8 encoder first.
    bool ascii = true;
    for (const QChar c : text) {
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        // Room for the longest escape of every character, written through a pointer, then trimmed.
        const size_t start = m_out.size();
        m_out.resize(start + static_cast<size_t>(text.size()) * 6);
        char* at = m_out.data() + start;
        for (const QChar c : text) {
            const auto byte = static_cast<unsigned char>(c.unicode());
            if (byte >= 0x20 && byte != '"' && byte != '\\') {
                *at++ = static_cast<char>(byte);
            } else if (byte == '"' || byte == '\\') {
                *at++ = '\\';
                *at++ = static_cast<char>(byte);
            } else {
                const char escaped[] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
                at = std::copy(escaped, escaped + 6, at);
            }
        }
        m_out.resize(static_cast<size_t>(at - m_out.data()));
    } else {
        const QByteArray utf8 = text.toUtf8();
        m_out.reserve(m_out.size() + static_cast<size_t>(utf8.size()) + 1);
        // Runs that need no escape are copied whole.
        const char* run = utf8.constData();
        const char* const end = run + utf8.size();
        for (const char* at = run; at != end; ++at) {
            const auto byte = static_cast<unsigned char>(*at);
            if (byte >= 0x20 && byte != '"' && byte != '\\')
                continue;
            m_out.append(run, static_cast<size_t>(at - run));
            run = at + 1;
            escapeInto(byte);
        }
        m_out.append(run, static_cast<size_t>(end - run));
    }
    m_out.push_back('"');
    return *this;
}

JsonWriter& JsonWriter::value(qint64 number) {
    separate();
    char digits[24];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, number);
    m_out.append(digits, static_cast<size_t>(written.ptr - digits));
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    m_out.append(flag ? "true" : "false");
    return *this;
}

JsonWriter& JsonWriter::dateValue(const QDateTime& moment) {
    separate();
    char text[22];
    text[0] = '"';
    if (writeIsoDate(moment.toSecsSinceEpoch(), text + 1)) {
        text[21] = '"';
        m_out.append(text, sizeof text);
        return *this;
    }
    m_out.push_back('"');
    const QByteArray fallback = isoDateBytes(moment);
    m_out.append(fallback.constData(), static_cast<size_t>(fallback.size()));
    m_out.push_back('"');
    return *this;
}

QByteArray isoDateBytes(const QDateTime& moment) {
    char text[20];
    if (writeIsoDate(moment.toSecsSinceEpoch(), text))
        return QByteArray(text, sizeof text);
    return moment.toUTC().toString(Qt::ISODate).toUtf8();
}

} // namespace QuarryShareWeb
