#include "server/http/json_text.h"

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

// Digits of number, most significant first, into text.
void putDigits(char* text, int digits, int number) {
    for (int i = digits - 1; i >= 0; --i, number /= 10)
        text[i] = static_cast<char>('0' + number % 10);
}

qint64 dayOf(qint64 seconds) {
    return (seconds >= 0 ? seconds : seconds - 86399) / 86400;
}

// "2024-06-01" into text (10 bytes); false for years outside 0 to 9999.
bool writeIsoDay(qint64 days, char* text) {
    qint64 year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    if (year < 0 || year > 9999)
        return false;
    // Written digit by digit: formatting through printf costs more than the rest of a listed entry.
    putDigits(text, 4, static_cast<int>(year));
    text[4] = '-';
    putDigits(text + 5, 2, month);
    text[7] = '-';
    putDigits(text + 8, 2, day);
    return true;
}

// "T09:30:00Z" into text (10 bytes).
void writeIsoTime(int secondOfDay, char* text) {
    text[0] = 'T';
    putDigits(text + 1, 2, secondOfDay / 3600);
    text[3] = ':';
    putDigits(text + 4, 2, secondOfDay / 60 % 60);
    text[6] = ':';
    putDigits(text + 7, 2, secondOfDay % 60);
    text[9] = 'Z';
}

// "2024-06-01T09:30:00Z" into text (20 bytes); false for years outside 0 to 9999.
bool writeIsoDate(qint64 seconds, char* text) {
    const qint64 days = dayOf(seconds);
    if (!writeIsoDay(days, text))
        return false;
    writeIsoTime(static_cast<int>(seconds - days * 86400), text + 10);
    return true;
}

// Bytes a JSON string may hold as they are: not a control character, quote or backslash, and ASCII.
constexpr bool isPlainAscii(char16_t unit) {
    return unit >= 0x20 && unit < 0x80 && unit != '"' && unit != '\\';
}

} // namespace

namespace QuarryHTTP {

void ByteRun::grow(size_t atLeast) {
    const size_t capacity = std::max({atLeast, m_capacity * 2, size_t(256)});
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (m_size > 0)
        std::memcpy(data.get(), m_data.get(), m_size);
    m_data = std::move(data);
    m_capacity = capacity;
}

JSONWriter& JSONWriter::beginObject() {
    separate();
    m_out.push_back('{');
    m_needsComma = false;
    return *this;
}

JSONWriter& JSONWriter::endObject() {
    m_out.push_back('}');
    m_needsComma = true;
    return *this;
}

JSONWriter& JSONWriter::beginArray() {
    separate();
    m_out.push_back('[');
    m_needsComma = false;
    return *this;
}

JSONWriter& JSONWriter::endArray() {
    m_out.push_back(']');
    m_needsComma = true;
    return *this;
}

JSONWriter& JSONWriter::key(const char* name, size_t length) {
    separate();
    m_out.push_back('"');
    m_out.append(name, length);
    m_out.append("\":", 2);
    m_needsComma = false;
    return *this;
}

JSONWriter& JSONWriter::value(QStringView text) {
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
    m_needsComma = true;
    // Most names are ASCII with nothing to escape: those are narrowed straight into the output.
    const char16_t* const units = text.utf16();
    const auto length = static_cast<size_t>(text.size());
    if (std::all_of(units, units + length, isPlainAscii)) {
        char* const at = m_out.extend(length + 1);
        for (size_t i = 0; i < length; ++i)
            at[i] = static_cast<char>(units[i]);
        at[length] = '"';
        return *this;
    }
    // Other ASCII names are written from their UTF-16 units with escapes; the rest go through the
    // UTF-8 encoder first.
    const bool ascii = std::all_of(units, units + length, [](char16_t unit) { return unit < 0x80; });
    if (ascii) {
        // Room for the longest escape of every character, written through a pointer, then trimmed.
        char* at = m_out.extend(length * 6);
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
        m_out.shrinkTo(static_cast<size_t>(at - m_out.data()));
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

JSONWriter& JSONWriter::value(qint64 number) {
    separate();
    m_needsComma = true;
    char digits[24];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, number);
    m_out.append(digits, static_cast<size_t>(written.ptr - digits));
    return *this;
}

JSONWriter& JSONWriter::value(bool flag) {
    separate();
    m_needsComma = true;
    m_out.append(flag ? "true" : "false", flag ? 4 : 5);
    return *this;
}

JSONWriter& JSONWriter::dateValue(const QDateTime& moment) {
    separate();
    m_needsComma = true;
    const qint64 seconds = moment.toSecsSinceEpoch();
    const qint64 days = dayOf(seconds);
    if (days != m_lastDay && writeIsoDay(days, m_lastDayText))
        m_lastDay = days;
    if (days == m_lastDay) {
        char text[22];
        text[0] = '"';
        std::copy(m_lastDayText, m_lastDayText + 10, text + 1);
        writeIsoTime(static_cast<int>(seconds - days * 86400), text + 11);
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

} // namespace QuarryHTTP
