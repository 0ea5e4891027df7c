#include "sources/share_utilities.h"

#include <QChar>

#include <string>

namespace {

// Combining marks that only decorate a letter (accents, cedillas, rings, strokes) and the invisible
// variation selectors. Script-specific marks such as the Japanese voicing marks or Indic vowel signs are
// part of the letter itself and stay.
bool isDecoration(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xE0100 && c <= 0xE01EF);
}

bool isLetterOrNumber(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Lowercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Modifier:
    case QChar::Letter_Other:
    case QChar::Number_DecimalDigit:
    case QChar::Number_Letter:
    case QChar::Number_Other:
        return true;
    default:
        return false;
    }
}

bool isMark(char32_t c) {
    const QChar::Category category = QChar::category(c);
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

// Full case folding: Qt folds one character to one, so "ß" and ligatures such as "ﬁ" would keep their
// case-insensitive twins ("ss", "fi") apart. Those are exactly the characters whose upper case expands.
QString foldedCase(const QString& text) {
    QString folded;
    folded.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        QString one = QString::fromUcs4(&c, 1).toCaseFolded();
        const QString upper = one.toUpper();
        if (upper.toUcs4().size() > 1)
            one = upper.toLower();
        folded += one;
    }
    return folded;
}

} // namespace

namespace QuarryShareUtilities {

QString slugify(const QString& text) {
    const QString decomposed = foldedCase(text).normalized(QString::NormalizationForm_D);
    std::u32string undecorated;
    for (const char32_t c : decomposed.toUcs4()) {
        if (!isDecoration(c))
            undecorated.push_back(c);
    }
    const QString recomposed =
        QString::fromUcs4(undecorated.data(), static_cast<qsizetype>(undecorated.size()))
            .normalized(QString::NormalizationForm_C);

    std::u32string slug;
    // A mark belongs to the character before it: it stays with a letter or number and goes with
    // anything that became "-", so no stray invisible mark (an emoji's variation selector) survives.
    bool afterLetterOrNumber = false;
    for (const char32_t c : recomposed.toUcs4()) {
        if (isLetterOrNumber(c)) {
            slug.push_back(c);
            afterLetterOrNumber = true;
        } else if (isMark(c)) {
            if (afterLetterOrNumber)
                slug.push_back(c);
        } else {
            if (slug.empty() || slug.back() != U'-')
                slug.push_back(U'-');
            afterLetterOrNumber = false;
        }
    }
    while (!slug.empty() && slug.front() == U'-')
        slug.erase(slug.begin());
    while (!slug.empty() && slug.back() == U'-')
        slug.pop_back();
    if (slug.empty())
        return QStringLiteral("share");
    return QString::fromUcs4(slug.data(), static_cast<qsizetype>(slug.size()))
        .toLower()
        .normalized(QString::NormalizationForm_C);
}

QString uniqueSlug(const QString& seed, const QSet<QString>& taken) {
    const QString base = slugify(seed);
    if (!taken.contains(base))
        return base;
    // Among taken.size() + 1 candidates at least one is free.
    const qsizetype last = taken.size() + 2;
    for (qsizetype n = 2; n <= last; ++n) {
        const QString candidate = base + QLatin1Char('-') + QString::number(n);
        if (!taken.contains(candidate))
            return candidate;
    }
    return base + QLatin1Char('-') + QString::number(last + 1);
}

} // namespace QuarryShareUtilities
