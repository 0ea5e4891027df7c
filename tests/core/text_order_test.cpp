#include "core/text_order.h"

#include <QLocale>

#include <gtest/gtest.h>

TEST(TextOrder, NamesIgnoreCaseEvenUnderTheCLocale) {
    const QLocale previous;
    for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates)}) {
        QLocale::setDefault(locale);
        const QCollator collator = nameCollator();
        // Compared directly and through sort keys (which the listing uses), case never decides.
        EXPECT_LT(collator.compare(QStringLiteral("notes"), QStringLiteral("Quarterly")), 0);
        EXPECT_LT(
            collator.sortKey(QStringLiteral("notes")).compare(collator.sortKey(QStringLiteral("Quarterly"))),
            0);
        EXPECT_LT(collator.compare(QStringLiteral("écrit"), QStringLiteral("fin")), 0);
    }
    QLocale::setDefault(previous);
}
