#include "server/files/name_match.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <string_view>

namespace {

// Longest a word may be and still fit in a name: 255 bytes on disk, which folding may lengthen.
constexpr qsizetype kLongestWord = 1024;

bool isAscii(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return false;
    }
    return true;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

QuarryNameMatcher::QuarryNameMatcher(const QString& query) {
    const QStringList words = query.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QSet<QString> seen;
    for (const QString& word : words) {
        const QString form = folded(word);
        if (form.isEmpty() || seen.contains(form))
            continue;
        seen.insert(form);
        m_words << form;
        if (form.toUtf8().size() > kLongestWord)
            m_canMatch = false;
    }
    // The longest words first: they rule a name out soonest.
    std::stable_sort(m_words.begin(), m_words.end(),
                     [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& word : std::as_const(m_words)) {
        const QByteArray bytes = word.toUtf8();
        if (!isAscii(bytes.constData(), static_cast<size_t>(bytes.size())))
            m_asciiWords = false;
        m_asciiForms.emplace_back(bytes.constData(), static_cast<size_t>(bytes.size()));
    }
}

QString QuarryNameMatcher::folded(const QString& text) {
    // Decomposed before folding, so a letter whose folded form decomposes still composes the same way.
    return text.normalized(QString::NormalizationForm_D)
        .toCaseFolded()
        .normalized(QString::NormalizationForm_C);
}

bool QuarryNameMatcher::matches(const char* name, size_t length) const {
    if (m_words.isEmpty() || !m_canMatch || hasTooManyWords())
        return false;
    if (!isAscii(name, length))
        return matches(QFile::decodeName(QByteArray::fromRawData(name, static_cast<qsizetype>(length))));
    // An ASCII name folds to ASCII; a word with anything else cannot occur in it.
    if (!m_asciiWords)
        return false;
    char lowered[1024];
    if (length > sizeof(lowered))
        return matches(QString::fromLatin1(name, static_cast<qsizetype>(length)));
    std::transform(name, name + length, lowered, lowerAscii);
    const std::string_view text(lowered, length);
    return std::all_of(m_asciiForms.begin(), m_asciiForms.end(), [&text](const std::string& word) {
        return text.find(word) != std::string_view::npos;
    });
}

bool QuarryNameMatcher::matches(const QString& name) const {
    if (m_words.isEmpty() || !m_canMatch || hasTooManyWords())
        return false;
    const QString form = folded(name);
    return std::all_of(m_words.begin(), m_words.end(),
                       [&form](const QString& word) { return form.contains(word); });
}
