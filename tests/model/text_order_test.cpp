#include "model/text_order.h"

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

        QuarryFolderShare beta, alpha, zulu;
        beta.name = QStringLiteral("beta");
        alpha.name = QStringLiteral("Alpha");
        zulu.name = QStringLiteral("Zulu");
        QList<QuarryFolderShare> shares{zulu, beta, alpha};
        sortByDisplayName(shares);
        EXPECT_EQ(shares[0].name, QStringLiteral("Alpha"));
        EXPECT_EQ(shares[1].name, QStringLiteral("beta"));
    }
    QLocale::setDefault(previous);
}
