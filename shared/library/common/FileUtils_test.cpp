#include "FileUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

using namespace Brolix;

namespace {

TEST(FileUtilsTest, EnsureTrailingSeparator) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""}, {"C:\\dir", "C:\\dir\\"}, {"C:\\dir\\", "C:\\dir\\"}, {"/tmp/", "/tmp/"}, {"x", "x\\"},
    };
    for (const auto& c : cases) {
        std::string path(c.in);
        ensureTrailingSeparator(path);
        EXPECT_EQ(path, c.out) << "input: " << c.in;
    }
}

TEST(FileUtilsTest, NormaliseSeparators) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"a//b\\\\c", "a\\b\\c"},
        {"\\\\server\\share", "\\\\server\\share"},
        {"//server//share", "/\\server\\share"},
        {"\\\\\\x", "\\\\x"},
        {"a/b/", "a\\b\\"},
        {"a/\\/b", "a\\b"},
        {"", ""},
        {"/", "/"},
    };
    for (const auto& c : cases) {
        std::string path(c.in);
        normaliseSeparators(path);
        EXPECT_EQ(path, c.out) << "input: " << c.in;
    }
}

TEST(FileUtilsTest, PathParts) {
    const struct {
        const char* path;
        const char* extension;
        const char* stripped;
        const char* directory;
        const char* fileName;
    } cases[] = {
        {"dir.d\\file", "d\\file", "dir", "dir.d\\", "file"},
        {"archive.tar.gz", "gz", "archive.tar", "", "archive.tar.gz"},
        {"C:\\conf/out.cfg", "cfg", "C:\\conf/out", "C:\\conf/", "out.cfg"},
        {"name.", "", "name.", "", "name."},
        {"noext", "", "noext", "", "noext"},
        {"dir\\", "", "dir\\", "dir\\", ""},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(getExtension(c.path), c.extension) << c.path;
        std::string path(c.path);
        EXPECT_EQ(stripExtension(path), c.extension) << c.path;
        EXPECT_EQ(path, c.stripped) << c.path;
        EXPECT_EQ(getDirectory(c.path), c.directory) << c.path;
        EXPECT_EQ(getFileName(c.path), c.fileName) << c.path;
    }
}

// Runs in a forked child so that changing directory cannot disturb other tests.
TEST(FileUtilsTest, CurrentDirectoryOfAnyLength) {
    char base[] = "/tmp/brolix-cwd-XXXXXX";
    ASSERT_NE(mkdtemp(base), nullptr);
    // A directory far deeper than the first buffer of 260 bytes.
    std::string deep(base);
    for (int i = 0; i < 12; ++i) {
        deep += "/" + std::string(40, static_cast<char>('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0700), 0) << errno;
    }

    EXPECT_EXIT(
        {
            if (chdir(base) != 0) std::_Exit(3);
            if (getCurrentDirectory() != std::string(base) + "\\") std::_Exit(4);
            if (chdir(deep.c_str()) != 0) std::_Exit(5);
            if (getCurrentDirectory() != deep + "\\") std::_Exit(6);
            if (chdir("/") != 0) std::_Exit(7);
            if (getCurrentDirectory() != "/\\") std::_Exit(8);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    std::string rm = "rm -rf '" + std::string(base) + "'";
    EXPECT_EQ(std::system(rm.c_str()), 0);
}

}  // namespace
