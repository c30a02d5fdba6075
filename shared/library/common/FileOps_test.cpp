#include "FileOps.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "TestDirectory.h"
#include "testing/TestSystem.h"

using namespace Brolix;
using Brolix::test::exists;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::writeAll;
namespace fs = std::filesystem;

namespace {

/// Counts the retry pauses instead of sleeping, for the life of the object.
class CountingSleeper {
public:
    CountingSleeper() {
        m_previous = setRetrySleeper([this](uint32_t ms) { pauses.push_back(ms); });
    }
    ~CountingSleeper() { setRetrySleeper(m_previous); }
    std::vector<uint32_t> pauses;

private:
    RetrySleeper m_previous;
};

/// Library form of a path inside the test directory: backslash separators.
/// (On Linux the two forms differ; elsewhere they are the same.)
std::string libraryPath(const std::string& native) {
    std::string path(native);
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

TEST(FileOpsTest, GetFileInfoDescribesFilesAndDirectories) {
    TestDirectory dir;
    const std::string file = dir.file("info.txt");
    writeAll(file, "12345");

    FileInfo info;
    ASSERT_TRUE(getFileInfo(libraryPath(file), info));
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(info.fullPath, file);
    EXPECT_EQ(info.size, 5u);
    EXPECT_EQ(info.sizeHigh, 0u);
    // Windows marks a new file for the next backup; other systems call it normal.
    EXPECT_TRUE(info.attributes == ATTRIBUTE_NORMAL || info.attributes == ATTRIBUTE_ARCHIVE)
        << info.attributes;
    EXPECT_GE(info.modified.year, 2020);
    EXPECT_EQ(info.modified.local, 0);
    EXPECT_GE(info.created.year, 2020);

    fs::permissions(file, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_TRUE(getFileInfo(file, info));
    EXPECT_EQ(info.attributes & ATTRIBUTE_READONLY, ATTRIBUTE_READONLY);

    ASSERT_TRUE(getFileInfo(dir.path(), info));
    EXPECT_EQ(info.attributes & ATTRIBUTE_DIRECTORY, ATTRIBUTE_DIRECTORY);

    // A wildcard in the last part describes the first match.
    ASSERT_TRUE(getFileInfo(dir.file("*.txt"), info));
    EXPECT_EQ(info.size, 5u);
    // Brackets are plain characters, not a set: "d[1]" never stands for "d1".
    ASSERT_TRUE(fs::create_directory(dir.file("d[1]")));
    ASSERT_TRUE(fs::create_directory(dir.file("d1")));
    writeAll(dir.file("d[1]") + "/a.txt", "bracket");
    writeAll(dir.file("d1") + "/a.txt", "x");
    ASSERT_TRUE(getFileInfo(dir.file("d[1]\\*.txt"), info));
    EXPECT_EQ(info.size, 7u);

    info.attributes = 0xFFFF;
    EXPECT_FALSE(getFileInfo(dir.file("missing"), info));
    EXPECT_FALSE(info.exists);
    EXPECT_EQ(info.attributes, 0);
}

TEST(FileOpsTest, RelativePathsGetAnAbsoluteFullPath) {
    FileInfo info;
    ASSERT_TRUE(getFileInfo(".", info));
    EXPECT_EQ(info.fullPath, fs::current_path().string());
}

TEST(FileOpsTest, SizesOfFourGibibytesAndMore) {
    TestDirectory dir;
    const std::string file = dir.file("huge");
    const uint64_t size = (5ULL << 30) + 7;  // sparse: takes no space
    writeAll(file, "");
    fs::resize_file(file, size);
    FileInfo info;
    ASSERT_TRUE(getFileInfo(file, info));
    EXPECT_EQ(info.size, size);
    EXPECT_EQ(info.sizeHigh, 1u);
    EXPECT_EQ(getFileSize(file), size);
    EXPECT_EQ(getFileSize(dir.file("missing")), 0u);
}

TEST(FileOpsTest, FileExists) {
    TestDirectory dir;
    writeAll(dir.file("f"), "x");
    struct Case {
        std::string path;
        bool expected;
    };
    std::vector<Case> cases = {
        {"", false},
        {dir.path(), true},
        {libraryPath(dir.path()) + "\\", true},
        {dir.path() + "/", true},
        {dir.file("f"), true},
        {libraryPath(dir.file("f")) + "\\", true},
        {dir.file("missing"), false},
        {"\\", true},
        // A drive form is a volume question: only a directory of that name counts.
        {"Q:", false},
    };
    // Where the system allows a colon in a name, names ending in one look like
    // drives too.
    std::error_code error;
    if (fs::create_directory(dir.file("vol:"), error) && writeAll(dir.file("plain:"), "x")) {
        cases.push_back({dir.file("vol:"), true});
        cases.push_back({dir.file("vol:") + "\\", true});
        cases.push_back({dir.file("plain:"), false});
    }
    // Where paths carry a drive letter, the test directory's drive exists.
    if (dir.path().size() > 2 && dir.path()[1] == ':') cases.push_back({dir.path().substr(0, 2), true});
    for (const auto& c : cases) {
        EXPECT_EQ(fileExists(c.path), c.expected) << "path: " << c.path;
    }
}

TEST(FileOpsTest, RemoveFile) {
    TestDirectory dir;
    const std::string file = dir.file("ro");
    writeAll(file, "keep");
    ASSERT_TRUE(setAttributes(file, ATTRIBUTE_READONLY));
    FileInfo info;
    ASSERT_TRUE(getFileInfo(file, info));
    EXPECT_TRUE(info.attributes & ATTRIBUTE_READONLY);

    EXPECT_FALSE(removeFile(file, false));
    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(removeFile(file, true));
    EXPECT_FALSE(exists(file));
    EXPECT_FALSE(removeFile(file, true));
    EXPECT_FALSE(removeFile(file, false));

    writeAll(file, "x");
    EXPECT_TRUE(removeFile(file, false));
    EXPECT_FALSE(exists(file));

    // Normal makes a read-only file writable again.
    writeAll(file, "x");
    ASSERT_TRUE(setAttributes(file, ATTRIBUTE_READONLY));
    ASSERT_TRUE(setAttributes(file, ATTRIBUTE_NORMAL));
    ASSERT_TRUE(getFileInfo(file, info));
    EXPECT_FALSE(info.attributes & ATTRIBUTE_READONLY);
    EXPECT_FALSE(setAttributes(dir.file("missing"), ATTRIBUTE_NORMAL));
}

TEST(FileOpsTest, MoveRetriesAndReplaces) {
    TestDirectory dir;
    const std::string source = dir.file("src");
    const std::string target = dir.file("dst");
    writeAll(source, "new");
    writeAll(target, "old");

    {
        CountingSleeper sleeper;
        EXPECT_FALSE(moveFile(source, target, false));
        EXPECT_EQ(sleeper.pauses, std::vector<uint32_t>(5, 2000));
        EXPECT_EQ(std::error_code(static_cast<int>(lastMoveError()), std::system_category()),
                  std::errc::file_exists);
        EXPECT_EQ(readAll(target), "old");
        EXPECT_EQ(readAll(source), "new");
    }
    {
        CountingSleeper sleeper;
        EXPECT_TRUE(moveFile(libraryPath(source), libraryPath(target), true));
        EXPECT_TRUE(sleeper.pauses.empty());
        EXPECT_EQ(lastMoveError(), 0u);
        EXPECT_EQ(readAll(target), "new");
        EXPECT_FALSE(exists(source));
    }
    {
        CountingSleeper sleeper;
        EXPECT_TRUE(moveFile(target, source, false));
        EXPECT_EQ(readAll(source), "new");
        EXPECT_FALSE(moveFile(dir.file("missing"), target, true));
        EXPECT_EQ(sleeper.pauses.size(), 5u);
        EXPECT_EQ(std::error_code(static_cast<int>(lastMoveError()), std::system_category()),
                  std::errc::no_such_file_or_directory);
    }
}

TEST(FileOpsTest, CopyFile) {
    TestDirectory dir;
    const std::string source = dir.file("a");
    const std::string target = dir.file("b");
    writeAll(source, "alpha");
    writeAll(target, "beta");
    EXPECT_FALSE(copyFile(source, target, false));
    EXPECT_EQ(readAll(target), "beta");
    EXPECT_TRUE(copyFile(source, target, true));
    EXPECT_EQ(readAll(target), "alpha");
    EXPECT_TRUE(copyFile(source, dir.file("c"), false));
    EXPECT_EQ(readAll(dir.file("c")), "alpha");
    EXPECT_FALSE(copyFile(dir.file("missing"), dir.file("d"), true));
    EXPECT_FALSE(exists(dir.file("d")));
}

TEST(FileOpsTest, WriteAndAppendWholeTexts) {
    TestDirectory dir;
    const std::string file = dir.file("log");
    EXPECT_TRUE(appendFile(file, "first\r\n"));
    EXPECT_EQ(readAll(file), "first\r\n");
    EXPECT_TRUE(appendFile(file, "second\r\n"));
    EXPECT_EQ(readAll(file), "first\r\nsecond\r\n");
    EXPECT_TRUE(writeFile(file, "only"));
    EXPECT_EQ(readAll(file), "only");
    EXPECT_TRUE(writeFile(file, ""));
    EXPECT_EQ(readAll(file), "");
    EXPECT_FALSE(writeFile(dir.file("no") + "/such/dir", "x"));
    EXPECT_FALSE(appendFile(dir.file("no") + "/such/dir", "x"));
}

// A text that fits the stream's buffer is written to the disk only when the
// file is closed: on a full disk that close fails, and so does writeFile,
// leaving no file behind.
TEST(FileOpsTest, WriteFileFailsWhenTheCloseCannotWrite) {
    TestDirectory dir;
    const std::string mountPoint = dir.file("small");
    ASSERT_TRUE(fs::create_directory(mountPoint));
    test::PrivateTmpfs small(mountPoint, 64);
    if (!small.usable()) GTEST_SKIP() << "no private tmpfs here (needs Linux, root and mount namespaces)";
    std::FILE* filler = std::fopen((mountPoint + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
    }
    std::fclose(filler);
    EXPECT_FALSE(writeFile(mountPoint + "/text", std::string(1000, 't')));
    EXPECT_FALSE(exists(mountPoint + "/text"));
}

}  // namespace
