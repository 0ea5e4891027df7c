#include "server/browse_api.h"
#include "server/json_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

TEST(JsonText, AnyNameEncodesToTheSameValueAndAValidDocument) {
    const QStringList names{QStringLiteral("plain.txt"),
                            QStringLiteral("quote \" and \\ back"),
                            QStringLiteral("line\nbreak\ttab"),
                            QString::fromUtf8("bell\x01\x1f\x7f"),
                            QStringLiteral("Фото 🎉 ガ"),
                            QStringLiteral("</script><b>"),
                            QString()};
    DirectoryListingPayload payload{QStringLiteral("docs"), QStringLiteral("a/b"), {}};
    for (const QString& name : names) {
        DirectoryListingItem item;
        item.name = name;
        item.relativePath = QStringLiteral("a/b/") + name;
        item.size = 1234;
        item.modifiedAt = QDateTime(QDate(2024, 6, 1), QTime(9, 30, 0, 999), Qt::UTC);
        payload.items.append(item);
    }
    DirectoryListingItem unknown;
    unknown.name = QStringLiteral("dangling");
    payload.items.append(unknown);

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload.toData(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << payload.toData().toStdString();
    const QJsonObject root = document.object();
    EXPECT_EQ(root.value("shareSlug").toString(), QStringLiteral("docs"));
    EXPECT_EQ(root.value("directoryPath").toString(), QStringLiteral("a/b"));
    const QJsonArray items = root.value("items").toArray();
    ASSERT_EQ(items.size(), names.size() + 1);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QJsonObject item = items.at(i).toObject();
        EXPECT_EQ(item.value("name").toString(), names.at(i));
        EXPECT_EQ(item.value("size").toInteger(), 1234);
        EXPECT_EQ(item.value("modifiedAt").toString(), QStringLiteral("2024-06-01T09:30:00Z"));
        EXPECT_FALSE(item.value("isDirectory").toBool());
    }
    // Unknown attributes are left out, not written as null.
    const QJsonObject last = items.last().toObject();
    EXPECT_FALSE(last.contains("size"));
    EXPECT_FALSE(last.contains("modifiedAt"));
    EXPECT_EQ(QuarryShareWeb::isoDateBytes(QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::UTC)),
              QByteArray("1999-12-31T23:59:59Z"));
}
