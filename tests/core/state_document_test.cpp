#include "core/state_document.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>

namespace {

QByteArray shareJSON(const QString& extra = {}) {
    return QStringLiteral(R"({"id":"1B4E28BA-2FA1-11D2-883F-0016D3CCA427","source":"custom","name":"Docs",)"
                          R"("path":"/srv/docs","urlSlug":"docs","isEnabled":true,"createdAt":10%1})")
        .arg(extra)
        .toUtf8();
}

QByteArray documentWithShare(const QByteArray& share) {
    return "{\"shares\":[" + share + "]}";
}

} // namespace

TEST(StateDocument, MissingKeysOfTheRootTakeTheirDefaults) {
    const auto empty = decodeAppState("{}");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->port, 48173);
    EXPECT_TRUE(empty->shares.isEmpty());
    EXPECT_TRUE(uuidFromText(empty->installationID));
    EXPECT_EQ(empty->installationID, empty->installationID.toUpper());
    EXPECT_EQ(empty->publicTunnel, QuarrySharePublicTunnel{});
    EXPECT_EQ(decodeAppState(R"({"port":9000})")->port, 9000);

    // Two fresh documents never share an installation id.
    EXPECT_NE(decodeAppState("{}")->installationID, empty->installationID);
}

TEST(StateDocument, AnyBadShareMakesTheWholeDocumentUnreadable) {
    ASSERT_TRUE(decodeAppState(documentWithShare(shareJSON())));
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON().replace(",\"createdAt\":10", ""))));
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON().replace("\"custom\"", "\"dropbox\""))));
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON().replace("1B4E28BA-", "not-a-uuid-"))));
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON().replace("true", "\"yes\""))));
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON(R"(,"availableUntil":"tomorrow")"))));
    EXPECT_FALSE(decodeAppState(R"({"port":"48173"})"));
    EXPECT_FALSE(decodeAppState(R"({"shares":{}})"));
    for (const char* names : {R"({"allowedHostNames":"a.example"})", R"({"allowedHostNames":[1]})"})
        EXPECT_FALSE(decodeAppState(names)) << names;
    EXPECT_FALSE(decodeAppState("not json"));
    EXPECT_FALSE(decodeAppState("[]"));
    // The tunnel record may be missing as a whole, but not its required keys.
    EXPECT_TRUE(decodeAppState(
        R"({"publicTunnel":{"brokerURL":"https://b","requestedSubdomain":"","isEnabled":false}})"));
    EXPECT_FALSE(decodeAppState(R"({"publicTunnel":{"brokerURL":"https://b","isEnabled":false}})"));
}

TEST(StateDocument, OptionalFieldsStayAbsentThroughARoundTrip) {
    const auto decoded = decodeAppState(documentWithShare(shareJSON(R"(,"passwordSalt":null)")));
    ASSERT_TRUE(decoded);
    const QuarryFolderShare& share = decoded->shares.first();
    EXPECT_FALSE(share.passwordSalt);
    EXPECT_EQ(share.createdAt, QDateTime(QDate(2001, 1, 1), QTime(0, 0, 10), Qt::UTC));

    const QJsonObject written = QJsonDocument::fromJson(encodeAppState(*decoded)).object();
    const QJsonObject writtenShare = written.value("shares").toArray().first().toObject();
    EXPECT_FALSE(writtenShare.contains("passwordSalt"));
    EXPECT_FALSE(writtenShare.contains("sourceFolderID"));
    EXPECT_FALSE(writtenShare.contains("availableUntil"));
    EXPECT_EQ(writtenShare.value("createdAt").toDouble(), 10.0);
    EXPECT_EQ(writtenShare.value("id").toString(), QStringLiteral("1B4E28BA-2FA1-11D2-883F-0016D3CCA427"));
    EXPECT_FALSE(written.value("publicTunnel").toObject().contains("hostname"));

    EXPECT_EQ(decodeAppState(encodeAppState(*decoded)), decoded);
    // An end is kept in the same form as the creation date.
    const auto ending = decodeAppState(documentWithShare(shareJSON(R"(,"availableUntil":3600.5)")));
    EXPECT_EQ(ending->shares.first().availableUntil,
              QDateTime(QDate(2001, 1, 1), QTime(1, 0, 0, 500), Qt::UTC));
    EXPECT_EQ(QJsonDocument::fromJson(encodeAppState(*ending))["shares"][0]["availableUntil"].toDouble(),
              3600.5);

    // A salt without a digest (a hand-edited file) leaves the share open, not locked for good.
    EXPECT_FALSE(decodeAppState(documentWithShare(shareJSON(R"(,"passwordSalt":"s","passwordDigest":"")")))
                     ->shares.first()
                     .isPasswordProtected());
}

TEST(StateDocument, AFarDateKeepsItsShareAndReadsBackTheSame) {
    // A hand-edited or damaged date must not cost the share, nor overflow converting it.
    for (const char* far : {"1e300", "-1e300", "1.7976931348623157e308", "9.3e15"}) {
        const auto decoded = decodeAppState(
            documentWithShare(shareJSON().replace("\"createdAt\":10", QByteArray("\"createdAt\":") + far)));
        ASSERT_TRUE(decoded) << far;
        const QDateTime date = decoded->shares.first().createdAt;
        ASSERT_TRUE(date.isValid()) << far;
        EXPECT_EQ(date.date().year(), far[0] == '-' ? 1 : 9999) << far;
        EXPECT_EQ(decodeAppState(encodeAppState(*decoded)), decoded) << far;
    }
    EXPECT_EQ(dateFromReferenceSeconds(std::nan("")), QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
}
