#include "core/path_resolution.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using QuarryShareUtilities::relativePath;
using QuarryShareUtilities::resolvedPath;

TEST(PathResolution, LinksAreFollowedContainmentIsDecidedOnTheTargetAndResolvingBelowAgrees) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path() + "/share";
    const QString outside = dir.path() + "/outside";
    testing_support::writeFile(root + "/a/b/file.txt", "x");
    testing_support::writeFile(outside + "/secret.txt", "s");
    ASSERT_TRUE(QFile::link(outside, root + "/escape"));
    ASSERT_TRUE(QFile::link("a/b", root + "/inner"));
    ASSERT_TRUE(QFile::link("../outside/none", root + "/dangling-out"));
    ASSERT_TRUE(QFile::link(root, dir.path() + "/share-link"));

    EXPECT_EQ(relativePath(root, root), QString());
    EXPECT_EQ(relativePath(root + "/a/b/file.txt", root), QStringLiteral("a/b/file.txt"));
    EXPECT_EQ(relativePath(root + "/a/../a/b", root), QStringLiteral("a/b"));
    EXPECT_EQ(relativePath(root + "/escape/secret.txt", root), std::nullopt);
    EXPECT_EQ(relativePath(root + "/dangling-out", root), std::nullopt);
    EXPECT_EQ(relativePath(root + "-sibling", root), std::nullopt);
    // A root reached through a link is the same folder as its target.
    EXPECT_EQ(relativePath(root + "/a", dir.path() + "/share-link"), QStringLiteral("a"));
    // Missing items inside the share still resolve inside it; the filesystem root reaches only itself.
    EXPECT_EQ(relativePath(root + "/missing/x", root), QStringLiteral("missing/x"));
    EXPECT_EQ(relativePath("/etc", "/"), std::nullopt);
    EXPECT_EQ(relativePath("/", "/"), QString());
    EXPECT_EQ(resolvedPath(root + "/inner/"), root + "/a/b");

    // A loop of links ends instead of hanging.
    ASSERT_TRUE(QFile::link(dir.path() + "/loop-b", dir.path() + "/loop-a"));
    ASSERT_TRUE(QFile::link(dir.path() + "/loop-a", dir.path() + "/loop-b"));
    EXPECT_FALSE(resolvedPath(dir.path() + "/loop-a/x").isEmpty());

    // Resolving below a resolved folder gives what resolving the whole path gives.
    const QString base = resolvedPath(root);
    ASSERT_TRUE(QFile::link("../share/a", root + "/around"));
    ASSERT_TRUE(QFile::link("inner/../..", root + "/up"));
    ASSERT_TRUE(QFile::link("/no/such/place", root + "/dangling"));
    const QStringList relatives = {
        "",         "a/b/file.txt", "a/../a/b",      "inner/file.txt", "inner/../b",
        "escape/x", "around/b",     "up/outside",    "dangling/x",     "../share/a",
        "../../..", "missing/x",    "./a//b/./file", "a/b/file.txt/.."};
    for (const QString& relative : relatives) {
        EXPECT_EQ(QuarryShareUtilities::resolvedPathBelow(base, relative),
                  resolvedPath(base + "/" + relative))
            << relative.toStdString();
    }
    // Below the file-system root.
    EXPECT_EQ(QuarryShareUtilities::resolvedPathBelow("/", base.mid(1)), base);
    EXPECT_EQ(QuarryShareUtilities::resolvedPathBelow("/", ".."), QStringLiteral("/"));
}
