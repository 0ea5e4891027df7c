#include "sources/share_utilities.h"
#include "support/printing.h"

#include <gtest/gtest.h>

using QuarryShareUtilities::slugify;
using QuarryShareUtilities::uniqueSlug;

namespace {

QString u(const char* text) {
    return QString::fromUtf8(text);
}

} // namespace

TEST(Slugify, LowerCaseWordsOfEveryScriptJoinedByHyphens) {
    const std::pair<const char*, const char*> cases[] = {
        {"Café Noir", "cafe-noir"},
        {"  --Hello,  World!--  ", "hello-world"},
        {"a_b.c", "a-b-c"},
        {"!!!", "share"},
        {"", "share"},
        {"Фото 2024", "фото-2024"},
        {"İstanbul", "istanbul"},
        // Case-insensitive twins fold together: the sharp s expands.
        {"Straße STRAẞE", "strasse-strasse"},
        {"Ελλάδα", "ελλαδα"},
        {"写真・旅行 ٢٠٢٤", "写真-旅行-٢٠٢٤"},
        // Marks that are part of the letter stay: Japanese voicing marks, Indic and Thai vowel signs.
        {"ガイド パン", "ガイド-パン"},
        {"हिन्दी ภาพถ่าย", "हिन्दी-ภาพถ่าย"},
        // Symbols take their invisible marks with them; composed letters stay composed.
        {"I ❤️ Paris", "i-paris"},
        {"1️⃣ Top", "1-top"},
        {"\u0301x", "x"}};
    for (const auto& [text, slug] : cases) {
        EXPECT_EQ(slugify(u(text)), u(slug)) << text;
        EXPECT_EQ(slugify(u(slug)), u(slug)) << "a slug is already a slug: " << slug;
    }
    EXPECT_EQ(slugify(QString(300, QLatin1Char('A'))), QString(300, QLatin1Char('a')));
    // Composed as a browser sends a typed address: 한 is one character.
    EXPECT_EQ(slugify(u("한")).size(), 1);
}

TEST(UniqueSlug, AppendsTheFirstFreeNumber) {
    EXPECT_EQ(uniqueSlug(u("Photos"), {}), u("photos"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos")}), u("photos-2"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos"), u("photos-2")}), u("photos-3"));
    EXPECT_EQ(uniqueSlug(u("Photos"), {u("photos"), u("photos-3")}), u("photos-2"));
    EXPECT_EQ(uniqueSlug(u("!!!"), {u("share")}), u("share-2"));
    EXPECT_EQ(uniqueSlug(u("photos 2"), {u("photos-2")}), u("photos-2-2"));
}
