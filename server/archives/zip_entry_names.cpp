#include "server/archives/zip_entry_names.h"

#include <QSet>

namespace QuarryZIPNames {

QByteArray sanitized(const QByteArray& name) {
    QByteArray out;
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.constData());
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = bytes[i];
        // C1 controls are U+0080 to U+009F: 0xC2 followed by 0x80 to 0x9F.
        const bool c1 = c == 0xC2 && i + 1 < size && bytes[i + 1] >= 0x80 && bytes[i + 1] <= 0x9F;
        if (c < 0x20 || c == 0x7F || c == '\\' || c1) {
            if (out.isNull())
                out = name.left(i);
            out.append('_');
            if (c1)
                ++i;
        } else if (!out.isNull()) {
            out.append(static_cast<char>(c));
        }
    }
    return out.isNull() ? name : out;
}

QByteArray numbered(const QByteArray& name, int number) {
    const QByteArray mark = " (" + QByteArray::number(number) + ')';
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0)
        return name + mark;
    return name.left(dot) + mark + name.mid(dot);
}

std::vector<QByteArray> forFolder(const std::vector<QByteArray>& names) {
    std::vector<QByteArray> result;
    result.reserve(names.size());
    QSet<QByteArray> taken;
    bool anyChanged = false;
    for (const QByteArray& name : names) {
        result.push_back(sanitized(name));
        if (result.back() == name)
            taken.insert(name);
        else
            anyChanged = true;
    }
    if (!anyChanged)
        return result;
    // Names that stay as they are keep them; changed ones go around them and around each other.
    for (size_t i = 0; i < names.size(); ++i) {
        if (result[i] == names[i])
            continue;
        QByteArray candidate = result[i];
        for (int number = 2; taken.contains(candidate); ++number)
            candidate = numbered(result[i], number);
        taken.insert(candidate);
        result[i] = std::move(candidate);
    }
    return result;
}

} // namespace QuarryZIPNames
