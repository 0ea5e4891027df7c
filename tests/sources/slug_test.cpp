#include "sources/printing.h"
#include "sources/share_utilities.h"

#include <gtest/gtest.h>

using QuarryShareUtilities::slugify;
using QuarryShareUtilities::uniqueSlug;

namespace {

QString u(const char* text) {
    return QString::fromUtf8(text);
}

} // namespace

TEST(Slugify, FoldsAccentsCaseAndSeparators) {
    EXPECT_EQ(slugify(u("Café Noir")), u("cafe-noir"));
    EXPECT_EQ(slugify(u("  --Hello,  World!--  ")), u("hello-world"));
    EXPECT_EQ(slugify(u("a_b.c")), u("a-b-c"));
    EXPECT_EQ(slugify(u("!!!")), u("share"));
    EXPECT_EQ(slugify(QString()), u("share"));
    EXPECT_EQ(slugify(u("Tiếng Việt & Ça")), u("tieng-viet-ca"));
    EXPECT_EQ(slugify(u("İstanbul")), u("istanbul"));
    // Case-insensitive twins fold together: the sharp s and ligatures expand.
    EXPECT_EQ(slugify(u("Straße STRAẞE")), u("strasse-strasse"));
    EXPECT_EQ(slugify(u("ﬁle")), u("file"));
    EXPECT_EQ(slugify(u("one\ttwo\nthree\x01"
                        "four")),
              u("one-two-three-four"));
    EXPECT_EQ(slugify(QString(300, QLatin1Char('A'))), QString(300, QLatin1Char('a')));
}

TEST(Slugify, KeepsLettersOfEveryScriptComposed) {
    EXPECT_EQ(slugify(u("Фото 2024")), u("фото-2024"));
    EXPECT_EQ(slugify(u("Ελλάδα")), u("ελλαδα"));
    EXPECT_EQ(slugify(u("사진 모음")), u("사진-모음"));
    EXPECT_EQ(slugify(u("صور العائلة")), u("صور-العائلة"));
    EXPECT_EQ(slugify(u("写真・旅行 ٢٠٢٤")), u("写真-旅行-٢٠٢٤"));
    // Marks that are part of the letter stay: Japanese voicing marks, Indic and Thai vowel signs.
    EXPECT_EQ(slugify(u("ガイド パン")), u("ガイド-パン"));
    EXPECT_EQ(slugify(u("हिन्दी ภาพถ่าย")), u("हिन्दी-ภาพถ่าย"));
    // Composed as a browser sends a typed address: ガ and 한 are one character each.
    EXPECT_EQ(slugify(u("ガ")).size(), 1);
    EXPECT_EQ(slugify(u("한")).size(), 1);
}

TEST(Slugify, SymbolsTakeTheirInvisibleMarksWithThem) {
    EXPECT_EQ(slugify(u("📷 Photos")), u("photos"));
    EXPECT_EQ(slugify(u("I ❤️ Paris")), u("i-paris"));
    EXPECT_EQ(slugify(u("1️⃣ Top")), u("1-top"));
    EXPECT_EQ(slugify(u("👩‍👩‍👧 family")), u("family"));
    EXPECT_EQ(slugify(u("\u0301x")), u("x"));
    // A slug is already a slug.
    for (const char* text : {"Café Noir", "ガイド パン", "I ❤️ Paris", "사진 모음", "ǅemal", "a__b"})
        EXPECT_EQ(slugify(slugify(u(text))), slugify(u(text))) << text;
}

TEST(UniqueSlug, AppendsTheFirstFreeNumber) {
    EXPECT_EQ(uniqueSlug(u("Photos"), {}), u("photos"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos")}), u("photos-2"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos"), u("photos-2")}), u("photos-3"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos"), u("photos-3")}), u("photos-2"));
    EXPECT_EQ(uniqueSlug(u("!!!"), {u("share")}), u("share-2"));
    EXPECT_EQ(uniqueSlug(u("photos 2"), {u("photos-2")}), u("photos-2-2"));
    EXPECT_EQ(uniqueSlug(u("Фото"), {u("фото")}), u("фото-2"));
    QSet<QString> taken{u("docs")};
    for (int n = 2; n <= 200; ++n)
        taken.insert(u("docs-") + QString::number(n));
    EXPECT_EQ(uniqueSlug(u("Docs"), taken), u("docs-201"));
}
