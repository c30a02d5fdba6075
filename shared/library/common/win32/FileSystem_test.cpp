// The Windows backend's file-system services against the system itself: what a
// directory entry says, attributes, copying and moving with the system's error
// codes, full paths, times, drives, directories and the current directory; a
// replacement that keeps the replaced file's attributes and access list, a
// file's identity, who holds a file open, and the names of devices.
#include "platform/FileSystem.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "TestDirectory.h"
#include "platform/CurrentDirectory.h"
#include "platform/Directory.h"
#include "testing/TestSystem.h"

using namespace Brolix::platform;
using Brolix::test::exists;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::writeAll;

namespace {

/// Makes `folder` the current directory for the object's lifetime.
class InFolder {
public:
    explicit InFolder(const std::string& folder) {
        char previous[MAX_PATH + 1];
        if (::GetCurrentDirectoryA(sizeof previous, previous) > 0) m_previous = previous;
        ::SetCurrentDirectoryA(folder.c_str());
    }
    ~InFolder() { ::SetCurrentDirectoryA(m_previous.c_str()); }

private:
    std::string m_previous;
};

TEST(Win32FileSystemTest, DescribesFilesAndDirectories) {
    TestDirectory folder;
    ASSERT_FALSE(folder.path().empty());
    const int64_t before = static_cast<int64_t>(std::time(nullptr)) - 2;
    ASSERT_TRUE(writeAll(folder.file("five.txt"), "hello"));
    const int64_t after = static_cast<int64_t>(std::time(nullptr)) + 2;

    FileStatus status;
    ASSERT_TRUE(findFirstFile(folder.file("five.txt"), status));
    EXPECT_EQ(status.size, 5u);
    EXPECT_EQ(status.attributes & (ATTR_DIRECTORY | ATTR_READONLY), 0);
    for (int64_t t : {status.created, status.modified, status.accessed}) {
        EXPECT_GE(t, before);
        EXPECT_LE(t, after);
    }

    ASSERT_TRUE(findFirstFile(folder.file("*.txt"), status));
    EXPECT_EQ(status.size, 5u);
    ASSERT_TRUE(findFirstFile(folder.path(), status));
    EXPECT_NE(status.attributes & ATTR_DIRECTORY, 0);

    EXPECT_FALSE(findFirstFile(folder.file("missing.txt"), status));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(findFirstFile(folder.file("missing\\x.txt"), status));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
}

TEST(Win32FileSystemTest, SizesBeyondFourGibibytesKeepTheirHighHalf) {
    TestDirectory folder;
    const std::string path = folder.file("large.bin");
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end;
    end.QuadPart = (5LL << 30) + 3;
    const bool sized = ::SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
    ::CloseHandle(file);
    ASSERT_TRUE(sized);

    FileStatus status;
    ASSERT_TRUE(findFirstFile(path, status));
    EXPECT_EQ(status.size, (5ULL << 30) + 3);
}

TEST(Win32FileSystemTest, ReadOnlyAttributeGuardsAFileUntilCleared) {
    TestDirectory folder;
    const std::string path = folder.file("guarded.txt");
    ASSERT_TRUE(writeAll(path, "x"));

    ASSERT_TRUE(setFileAttributes(path, ATTR_READONLY));
    FileStatus status;
    ASSERT_TRUE(findFirstFile(path, status));
    EXPECT_NE(status.attributes & ATTR_READONLY, 0);
    EXPECT_FALSE(deleteFile(path));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists(path));

    ASSERT_TRUE(setFileAttributes(path, ATTR_NORMAL));
    ASSERT_TRUE(findFirstFile(path, status));
    EXPECT_EQ(status.attributes & ATTR_READONLY, 0);
    EXPECT_TRUE(deleteFile(path));
    EXPECT_FALSE(exists(path));

    EXPECT_FALSE(setFileAttributes(path, ATTR_NORMAL));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32FileSystemTest, CopiesAndMovesWithTheSystemsAnswers) {
    TestDirectory folder;
    const std::string a = folder.file("a.txt");
    const std::string b = folder.file("b.txt");
    const std::string c = folder.file("c.txt");
    ASSERT_TRUE(writeAll(a, "first"));
    ASSERT_TRUE(writeAll(b, "second"));

    EXPECT_FALSE(copyFile(a, b, true));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_EXISTS));
    EXPECT_EQ(readAll(b), "second");
    EXPECT_TRUE(copyFile(a, b, false));
    EXPECT_EQ(readAll(b), "first");
    ASSERT_TRUE(writeAll(b, "second"));

    EXPECT_FALSE(moveFile(a, b));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(readAll(a), "first");
    EXPECT_EQ(readAll(b), "second");
    EXPECT_TRUE(moveFile(a, c));
    EXPECT_FALSE(exists(a));
    EXPECT_EQ(readAll(c), "first");

    EXPECT_TRUE(moveFileReplace(c, b));
    EXPECT_FALSE(exists(c));
    EXPECT_EQ(readAll(b), "first");

    ASSERT_TRUE(::CreateDirectoryA(folder.file("d1").c_str(), nullptr));
    EXPECT_TRUE(moveFile(folder.file("d1"), folder.file("d2")));
    EXPECT_TRUE(exists(folder.file("d2")));

    EXPECT_FALSE(deleteFile(a));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(moveFileReplace(a, b));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(readAll(b), "first");
}

TEST(Win32FileSystemTest, FlushesWrittenFiles) {
    TestDirectory folder;
    const std::string path = folder.file("flushed.txt");
    ASSERT_TRUE(writeAll(path, "data"));
    EXPECT_TRUE(flushFile(path));
    EXPECT_FALSE(flushFile(folder.file("missing.txt")));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32FileSystemTest, FullPathsAreMadeLexically) {
    TestDirectory folder;
    InFolder inside(folder.path());
    const std::string here = folder.path();
    const std::string longName(300, 'n');
    const struct {
        std::string path;
        std::string expected;
    } cases[] = {
        {"x.txt", here + "\\x.txt"},
        {"a\\..\\b\\.\\c", here + "\\b\\c"},
        {"a/b", here + "\\a\\b"},
        {"C:\\one\\two\\..\\three", "C:\\one\\three"},
        // Over MAX_PATH characters the system's ANSI call gives up: nothing, not a
        // path cut short.
        {longName, ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fullPathName(c.path), c.expected) << c.path;
    }
}

TEST(Win32FileSystemTest, TimesBreakDownInUtc) {
    const struct {
        int64_t seconds;
        SystemTime expected;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {-1, {1969, 12, 31, 23, 59, 59}},
        {951782400, {2000, 2, 29, 0, 0, 0}},
        {2147483647, {2038, 1, 19, 3, 14, 7}},
        {4102444800LL, {2100, 1, 1, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SystemTime t;
        ASSERT_TRUE(toSystemTime(c.seconds, t)) << c.seconds;
        const std::vector<int32_t> got = {t.year, t.month, t.day, t.hour, t.minute, t.second};
        const std::vector<int32_t> want = {c.expected.year, c.expected.month,  c.expected.day,
                                           c.expected.hour, c.expected.minute, c.expected.second};
        EXPECT_EQ(got, want) << c.seconds;
    }
    SystemTime t;
    EXPECT_FALSE(toSystemTime(INT64_MAX, t));
}

TEST(Win32FileSystemTest, DrivesAreNamedWithoutTheirRootSeparator) {
    EXPECT_EQ(driveType("C:"), static_cast<uint32_t>(DRIVE_FIXED));
    EXPECT_EQ(driveType("C:\\"), static_cast<uint32_t>(DRIVE_FIXED));
    const DWORD present = ::GetLogicalDrives();
    char unused = 0;
    for (char letter = 'Y'; letter > 'C'; --letter) {
        if ((present & (1u << (letter - 'A'))) == 0) {
            unused = letter;
            break;
        }
    }
    ASSERT_NE(unused, 0);
    EXPECT_EQ(driveType(std::string(1, unused) + ":"), static_cast<uint32_t>(DRIVE_TYPE_NO_ROOT));
}

TEST(Win32FileSystemTest, MakesOneDirectoryLevel) {
    TestDirectory folder;
    const std::string made = folder.file("made");
    EXPECT_TRUE(makeDirectory(made));
    EXPECT_NE(::GetFileAttributesA(made.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(makeDirectory(made));
    ASSERT_TRUE(writeAll(folder.file("plain"), ""));
    EXPECT_FALSE(makeDirectory(folder.file("plain")));
    EXPECT_FALSE(makeDirectory(folder.file("missing\\child")));
}

TEST(Win32FileSystemTest, CurrentDirectoryReportsTheSizeItNeeds) {
    TestDirectory folder;
    InFolder inside(folder.path());
    const std::string& here = folder.path();
    std::vector<char> buffer(here.size() + 1);
    EXPECT_EQ(currentDirectory(buffer.data(), buffer.size()), here.size());
    EXPECT_EQ(std::string(buffer.data()), here);
    EXPECT_EQ(currentDirectory(buffer.data(), here.size()), here.size() + 1);
    EXPECT_EQ(currentDirectory(nullptr, 0), here.size() + 1);
}

}  // namespace

namespace {

// The access list of a file as text (SDDL), "" when it cannot be read.
std::string accessListOf(const std::string& path) {
    DWORD needed = 0;
    ::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0) return std::string();
    std::vector<unsigned char> descriptor(needed);
    if (!::GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
        return std::string();
    char* text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                               DACL_SECURITY_INFORMATION, &text, nullptr))
        return std::string();
    const std::string sddl = text;
    ::LocalFree(text);
    return sddl;
}

}  // namespace

TEST(Win32FileSystemTest, ReplacingKeepsWhatBelongsToTheReplacedFile) {
    TestDirectory folder;
    const std::string output = folder.file("out.conf");
    const std::string update = folder.file("out.conf.tmp");
    ASSERT_TRUE(writeAll(output, "old"));
    ASSERT_TRUE(writeAll(update, "new"));
    // A protected list of its own: full access for the system and the
    // administrators, reading for everyone.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA(
        "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;WD)", SDDL_REVISION_1, &descriptor, nullptr));
    ASSERT_TRUE(::SetFileSecurityA(output.c_str(), DACL_SECURITY_INFORMATION, descriptor));
    ::LocalFree(descriptor);
    const std::string list = accessListOf(output);
    ASSERT_FALSE(list.empty());
    // Wine keeps no access list of its own beside the Unix permission bits
    // (measured with Wine 8): there the list cannot show what was kept.
    const bool listsAreKept = list != accessListOf(update);
    ASSERT_TRUE(::SetFileAttributesA(output.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));

    ASSERT_TRUE(moveFileReplace(update, output)) << lastError();
    EXPECT_EQ(readAll(output), "new");
    EXPECT_FALSE(exists(update));
    const DWORD attributes = ::GetFileAttributesA(output.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    if (listsAreKept) {
        EXPECT_EQ(accessListOf(output), list);
    }
    ASSERT_TRUE(::SetFileAttributesA(output.c_str(), FILE_ATTRIBUTE_NORMAL));

    // Without a file to replace, the move alone.
    ASSERT_TRUE(writeAll(update, "newer"));
    const std::string fresh = folder.file("fresh.conf");
    EXPECT_TRUE(moveFileReplace(update, fresh));
    EXPECT_EQ(readAll(fresh), "newer");
}

TEST(Win32FileSystemTest, AFilesIdentityIsFoundWhateverItsNameIsCalled) {
    TestDirectory folder;
    const std::string euro = Brolix::test::systemName("euro\xE2\x82\xAC");
    ASSERT_FALSE(euro.empty());
    ASSERT_TRUE(makeDirectory(folder.file(euro)));
    const std::string a = folder.file(euro + "\\a.xml");
    ASSERT_TRUE(writeAll(a, "a"));
    ASSERT_TRUE(writeAll(folder.file(euro + "\\b.xml"), "b"));
    FileIdentity first, again, other;
    ASSERT_TRUE(fileIdentity(a, first)) << lastError();
    ASSERT_TRUE(fileIdentity(folder.file(euro + "\\.\\A.XML"), again));
    ASSERT_TRUE(fileIdentity(folder.file(euro + "\\b.xml"), other));
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    EXPECT_FALSE(fileIdentity(folder.file(euro + "\\c.xml"), other));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

TEST(Win32FileSystemTest, TheHolderOfAnOpenFileIsNamedWhereTheSystemTells) {
    TestDirectory folder;
    const std::string path = folder.file("held.conf");
    ASSERT_TRUE(writeAll(path, "x"));
    EXPECT_EQ(fileHolder(path), "");
    std::FILE* reader = std::fopen(path.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    const std::string holder = fileHolder(path);
    std::fclose(reader);
    // The Restart Manager names this process; an emulation without one names
    // nobody, and the caller then says nothing.
    if (!holder.empty()) {
        EXPECT_NE(holder.find("(process " + std::to_string(::GetCurrentProcessId()) + ")"), std::string::npos)
            << holder;
    }
    EXPECT_EQ(fileHolder(folder.file("missing.conf")), "");
}

TEST(Win32FileSystemTest, DeviceNamesAreKnownWhateverTheirFolderAndExtension) {
    const struct {
        const char* path;
        bool device;
    } cases[] = {
        {"nul", true},           {"NUL", true},           {"C:\\out\\con.conf", true},
        {"C:\\out\\aux.conf", true}, {"out/Prn.tar.gz", true}, {"com1", true},
        {"LPT9.log", true},      {"aux .txt", true},      {"C:nul", true},
        {"conout$", true},       {"com0", false},         {"com10", false},
        {"null", false},         {"nul_", false},         {"console.conf", false},
        {"C:\\nul\\out.conf", false}, {"a.nul", false},   {"", false},
        {"COM\xC2\xB9.conf", true}, {"lpt\xC2\xB3", true}, {"com\xB2", true},
        {"com\xC2\xB4", false}, {"com\xC2", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isDeviceName(c.path), c.device) << c.path;
    // The system agrees: in any folder, with any extension, the null device
    // opens as a device, not as a disk file (the console and the serial ports
    // need a console or hardware that a test run lacks).
    TestDirectory folder;
    for (const char* name : {"nul", "NUL.conf", "nul .lst"}) {
        const HANDLE device = ::CreateFileA(folder.file(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(device, INVALID_HANDLE_VALUE) << name;
        EXPECT_NE(::GetFileType(device), static_cast<DWORD>(FILE_TYPE_DISK)) << name;
        ::CloseHandle(device);
    }
}
