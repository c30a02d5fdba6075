#include "FileUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "TestDirectory.h"
#include "testing/TestSystem.h"

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

/// Makes `directory` the current directory for the object's lifetime.
class InDirectory {
public:
    explicit InDirectory(const std::string& directory) : m_previous(std::filesystem::current_path()) {
        std::filesystem::current_path(directory, m_error);
    }
    ~InDirectory() { std::filesystem::current_path(m_previous); }
    bool entered() const { return !m_error; }

private:
    std::filesystem::path m_previous;
    std::error_code m_error;
};

TEST(FileUtilsTest, CurrentDirectoryEndsInASeparator) {
    test::TestDirectory base;
    {
        InDirectory inside(base.path());
        ASSERT_TRUE(inside.entered());
        EXPECT_EQ(getCurrentDirectory(), base.path() + "\\");
    }
    // The root: "/" on Linux, a drive's root elsewhere.
    const std::string root = std::filesystem::path(base.path()).root_path().string();
    InDirectory inside(root);
    ASSERT_TRUE(inside.entered());
    EXPECT_EQ(getCurrentDirectory(), root == "/" ? std::string("/\\") : root);
}

TEST(FileUtilsTest, CurrentDirectoryOfAnyLength) {
    test::TestDirectory base;
    // A directory far deeper than the first buffer of 260 bytes.
    std::string deep = base.path();
    for (int i = 0; i < 12; ++i)
        deep = (std::filesystem::path(deep) / std::string(40, static_cast<char>('a' + i))).string();
    // Systems whose calls take short paths only cannot tell this one.
    if (deep.size() >= test::longestPath()) GTEST_SKIP() << "the system's calls take no path that long";
    ASSERT_TRUE(std::filesystem::create_directories(deep));
    InDirectory inside(deep);
    ASSERT_TRUE(inside.entered());
    EXPECT_EQ(getCurrentDirectory(), deep + "\\");
}

}  // namespace
