#include "server/files/beneath.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// What an opened file holds, or the error that kept it from opening.
QByteArray readOrError(const QuarryDescriptor& file) {
    if (!file.isOpen())
        return "errno " + QByteArray::number(errno);
    char buffer[64];
    const ssize_t got = ::read(file.get(), buffer, sizeof(buffer));
    return QByteArray(buffer, got < 0 ? 0 : static_cast<qsizetype>(got));
}

const QByteArray kOutside = "errno " + QByteArray::number(EXDEV);
const QByteArray kLink = "errno " + QByteArray::number(ELOOP);

// Every case runs twice: with openat2, and walking as where the kernel lacks it.
class OpenBeneath : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { QuarryBeneath::setOpenat2Allowed(GetParam()); }
    void TearDown() override { QuarryBeneath::setOpenat2Allowed(true); }
};

} // namespace

INSTANTIATE_TEST_SUITE_P(, OpenBeneath, ::testing::Bool(),
                         [](const auto& instance) { return instance.param ? "Openat2" : "Walking"; });

TEST_P(OpenBeneath, FollowsLinksThatStayInsideAndRefusesEveryLinkInAResolvedPath) {
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
    const QuarryDescriptor rootFolder(::open(rootPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(rootFolder.isOpen());

    using QuarryBeneath::Links;
    const auto read = [&](const QByteArray& path, Links links = Links::followInside) {
        return readOrError(QuarryBeneath::openBeneath(rootFolder.get(), rootPath, path, O_RDONLY, links));
    };
    EXPECT_EQ(read("a/file.txt"), "inside");
    EXPECT_EQ(read("a/relative"), "inside");
    EXPECT_EQ(read("absolute"), "inside");
    EXPECT_EQ(read("absolute-folder/../a/./file.txt"), "inside");
    EXPECT_EQ(read("out"), kOutside);
    EXPECT_EQ(read("a/up-and-out"), kOutside);
    EXPECT_EQ(read("../outside.txt"), kOutside);
    EXPECT_EQ(read("loop"), kLink);
    EXPECT_EQ(read("a/missing"), "errno " + QByteArray::number(ENOENT));

    // A path resolved earlier, into which a link was swapped since: refused wherever the link stands.
    EXPECT_EQ(read("a/file.txt", Links::refuse), "inside");
    EXPECT_EQ(read("absolute-folder/file.txt", Links::refuse), kLink);
    EXPECT_EQ(read("a/relative", Links::refuse), kLink);
    const auto readResolved = [&](const QByteArray& path) {
        return readOrError(QuarryBeneath::openResolved(rootPath + path, O_RDONLY));
    };
    EXPECT_EQ(readResolved("/a/file.txt"), "inside");
    EXPECT_EQ(readResolved("/absolute-folder/file.txt"), kLink);
    EXPECT_EQ(readResolved("/a/relative"), kLink);
    struct stat status {};
    EXPECT_FALSE(QuarryBeneath::openRegularFile(root + "/absolute-folder/file.txt", status).isOpen());
    EXPECT_TRUE(QuarryBeneath::openRegularFile(root + "/a/file.txt", status).isOpen());
}
