#include "server/http/byte_ranges.h"

#include <QStringList>

#include <limits>
#include <optional>

namespace {

// A run of decimal digits, saturated at the largest value rather than wrapped; nothing otherwise.
std::optional<qint64> digits(QStringView text) {
    if (text.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
        const int digit = c.unicode() - '0';
        value = value > (std::numeric_limits<qint64>::max() - digit) / 10 ? std::numeric_limits<qint64>::max()
                                                                          : value * 10 + digit;
    }
    return value;
}

} // namespace

namespace QuarryHTTP {

ByteRangeAnswer evaluateRange(const QString& header, qint64 size) {
    using Kind = ByteRangeAnswer::Kind;
    const qsizetype equals = header.indexOf(QLatin1Char('='));
    if (equals < 0 || header.left(equals).trimmed().compare(QLatin1String("bytes"), Qt::CaseInsensitive) != 0)
        return {};
    QStringList pieces = header.mid(equals + 1).split(QLatin1Char(','));
    for (QString& piece : pieces)
        piece = piece.trimmed();
    pieces.removeAll(QString());
    // Several ranges would need a multipart answer; the whole body serves the client as well.
    if (pieces.size() != 1)
        return {};
    const QString& range = pieces.first();
    const qsizetype dash = range.indexOf(QLatin1Char('-'));
    if (dash < 0)
        return {};
    const QStringView firstText = QStringView(range).left(dash);
    const QStringView lastText = QStringView(range).mid(dash + 1);

    if (firstText.isEmpty()) {
        const std::optional<qint64> suffix = digits(lastText);
        if (!suffix)
            return {};
        if (*suffix == 0)
            return {Kind::unsatisfiable};
        // An empty body has no bytes to name, nor a way to name none: it goes out whole.
        if (size == 0)
            return {};
        return {Kind::partial, qMax<qint64>(0, size - *suffix), size - 1};
    }
    const std::optional<qint64> first = digits(firstText);
    const std::optional<qint64> last =
        lastText.isEmpty() ? std::optional<qint64>(std::numeric_limits<qint64>::max()) : digits(lastText);
    if (!first || !last || *last < *first)
        return {};
    if (*first >= size)
        return {Kind::unsatisfiable};
    return {Kind::partial, *first, qMin(*last, size - 1)};
}

} // namespace QuarryHTTP
