// The Linux backend's own mechanics of the file-system services: what a file
// that takes another's access rights gets on this system.
#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestDirectory.h"

using namespace Brolix;

namespace {

// The permission bits always; the owner and group where the process may give
// a file away (as root).
TEST(PosixFileSystemTest, CopyAccessTakesTheModeAndWherePossibleTheOwner) {
    test::TestDirectory dir;
    const std::string source = dir.file("source");
    const std::string destination = dir.file("destination");
    test::writeAll(source, "secret");
    test::writeAll(destination, "");
    ASSERT_EQ(::chmod(source.c_str(), 0640), 0);
    const bool giveAway = ::geteuid() == 0 && ::chown(source.c_str(), 65534, 65534) == 0;
    ASSERT_EQ(::chmod(destination.c_str(), 0666), 0);

    ASSERT_TRUE(platform::copyAccess(source, destination));
    struct stat info {};
    ASSERT_EQ(::stat(destination.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    if (giveAway) {
        EXPECT_EQ(info.st_uid, 65534u);
        EXPECT_EQ(info.st_gid, 65534u);
    }
    EXPECT_FALSE(platform::copyAccess(dir.file("missing"), destination));
}

}  // namespace

namespace {

// A file keeps its identity under every name it has, and only there: a hard
// link is the same file, a symbolic link is the file it leads to unless it is
// asked for itself, a copy is another file.
TEST(PosixFileSystemTest, FileIdentityFollowsTheFileNotTheName) {
    test::TestDirectory dir;
    const std::string file = dir.file("file");
    test::writeAll(file, "x");
    ASSERT_EQ(::link(file.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), dir.file("soft").c_str()), 0);
    test::writeAll(dir.file("copy"), "x");

    platform::FileIdentity original, other;
    ASSERT_TRUE(platform::fileIdentity(file, original));
    ASSERT_TRUE(platform::fileIdentity(dir.file("hard"), other));
    EXPECT_EQ(other, original);
    ASSERT_TRUE(platform::fileIdentity(dir.file("soft"), other));
    EXPECT_EQ(other, original);
    ASSERT_TRUE(platform::fileIdentity(dir.file("soft"), other, false));
    EXPECT_NE(other, original);
    ASSERT_TRUE(platform::fileIdentity(dir.file("copy"), other));
    EXPECT_NE(other, original);
    EXPECT_FALSE(platform::fileIdentity(dir.file("missing"), other));
}

}  // namespace

#include "FileException.h"
#include "FilePlain.h"

namespace {

// A writer follows a symbolic link at its file's name only when the link is
// its own account's, the administrator's or the folder owner's: a link that
// another account put into a folder it may write is refused, and the file it
// points to stays as it was.
TEST(PosixFileSystemTest, ALinkPlantedByAnotherAccountIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give a link to another account";
    test::TestDirectory dir;
    const std::string victim = dir.file("victim");
    test::writeAll(victim, "keep me");
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string planted = dir.file("out.conf");
    ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
    EXPECT_EQ(platform::resolveLinks(planted), "");

    FilePlain file(planted);
    try {
        file.open(FileBase::ACCESS_WRITE);
        ADD_FAILURE() << "the planted link was followed";
    } catch (const FileException& e) {
        EXPECT_EQ(e.code(), static_cast<uint32_t>(FileException::FL_CANNOT_OPEN));
    }
    EXPECT_EQ(test::readAll(victim), "keep me");
    EXPECT_FALSE(test::exists(victim + ".lock"));
    EXPECT_FALSE(test::exists(victim + ".tmp"));

    // The account's own link is followed, as before.
    ASSERT_EQ(::lchown(planted.c_str(), 0, 0), 0);
    EXPECT_EQ(platform::resolveLinks(planted), victim);
}

}  // namespace
