#include "server/beneath.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// What a descriptor holds, or the error that kept it from opening.
QByteArray readOrError(int descriptor) {
    if (descriptor < 0)
        return "errno " + QByteArray::number(errno);
    char buffer[64];
    const ssize_t got = ::read(descriptor, buffer, sizeof(buffer));
    ::close(descriptor);
    return QByteArray(buffer, got < 0 ? 0 : static_cast<qsizetype>(got));
}

} // namespace

// The walk that stands in for openat2, and resolves absolute links that stay inside.
TEST(OpenBeneath, FollowsLinksThatStayInsideAndNoOther) {
    QTemporaryDir folder;
    const QString root = QDir(folder.path()).canonicalPath() + "/root";
    testing_support::writeFile(root + "/a/file.txt", "inside");
    testing_support::writeFile(folder.path() + "/outside.txt", "outside");
    QFile::link("../a/file.txt", root + "/a/relative");
    QFile::link(root + "/a/file.txt", root + "/absolute");
    QFile::link(root + "/a", root + "/absolute-folder");
    QFile::link(folder.path() + "/outside.txt", root + "/out");
    QFile::link("../../outside.txt", root + "/a/up-and-out");
    QFile::link("loop", root + "/loop");
    const QByteArray rootPath = QFile::encodeName(root);
    const int rootDescriptor = ::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(rootDescriptor, 0);

    for (const auto open : {&QuarryBeneath::openBeneath, &QuarryBeneath::openByWalking}) {
        const auto read = [&](const QByteArray& path) {
            return readOrError(open(rootDescriptor, rootPath, path, O_RDONLY));
        };
        EXPECT_EQ(read("a/file.txt"), "inside");
        EXPECT_EQ(read("a/relative"), "inside");
        EXPECT_EQ(read("absolute"), "inside");
        EXPECT_EQ(read("absolute-folder/../a/./file.txt"), "inside");
        EXPECT_EQ(read("out"), "errno " + QByteArray::number(EXDEV));
        EXPECT_EQ(read("a/up-and-out"), "errno " + QByteArray::number(EXDEV));
        EXPECT_EQ(read("../outside.txt"), "errno " + QByteArray::number(EXDEV));
        EXPECT_EQ(read("loop"), "errno " + QByteArray::number(ELOOP));
        EXPECT_EQ(read("a/missing"), "errno " + QByteArray::number(ENOENT));
    }
    ::close(rootDescriptor);
}
