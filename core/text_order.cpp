#include "core/text_order.h"

#include <algorithm>

QCollator nameCollator() {
    const QLocale locale;
    QCollator collator(locale.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates)
                                                       : locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

void sortByDisplayName(QList<QuarryFolderShare>& shares) {
    const QCollator collator = nameCollator();
    std::stable_sort(shares.begin(), shares.end(),
                     [&](const QuarryFolderShare& a, const QuarryFolderShare& b) {
                         return collator.compare(a.displayName(), b.displayName()) < 0;
                     });
}
