// Streams of the Windows backend: 64-bit positions, shared opening, and the
// position of an appending stream.
#include "platform/Stream.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <io.h>

#include <cstdio>
#include <string>

#include "TestDirectory.h"

using namespace Brolix::platform;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::writeAll;

namespace {

TEST(Win32StreamTest, PositionsBeyondFourGibibytes) {
    TestDirectory folder;
    std::FILE* stream = openStream(folder.file("large.bin"), "w+b");
    ASSERT_NE(stream, nullptr);
    const int64_t distant = (5LL << 30) + 7;
    ASSERT_TRUE(seekStream(stream, distant, SEEK_SET));
    EXPECT_EQ(tellStream(stream), distant);
    ASSERT_EQ(std::fputc('z', stream), 'z');
    EXPECT_EQ(tellStream(stream), distant + 1);
    ASSERT_TRUE(seekStream(stream, 0, SEEK_SET));
    ASSERT_TRUE(seekStream(stream, 0, SEEK_END));
    EXPECT_EQ(tellStream(stream), distant + 1);
    ASSERT_TRUE(seekStream(stream, -1, SEEK_CUR));
    EXPECT_EQ(std::fgetc(stream), 'z');
    EXPECT_FALSE(seekStream(stream, -distant - 10, SEEK_CUR));
    std::fclose(stream);
}

TEST(Win32StreamTest, OthersMayReadAndWriteAnOpenFile) {
    TestDirectory folder;
    const std::string path = folder.file("shared.txt");
    ASSERT_TRUE(writeAll(path, "abc"));
    for (const char* mode : {"rb", "r+b", "ab", "a+b"}) {
        std::FILE* stream = openStream(path, mode);
        ASSERT_NE(stream, nullptr) << mode;
        const HANDLE other =
            ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(other, INVALID_HANDLE_VALUE) << mode;
        if (other != INVALID_HANDLE_VALUE) ::CloseHandle(other);
        std::fclose(stream);
    }
    EXPECT_EQ(openStream(folder.file("missing.txt"), "rb"), nullptr);
    EXPECT_EQ(openStream(folder.file("missing\\new.txt"), "wb"), nullptr);
}

// The runtime under Wine counts an appending stream's position from its last
// seek while the written bytes are still buffered.
TEST(Win32StreamTest, AnAppendingStreamIsAtTheEndAfterEachWrite) {
    TestDirectory folder;
    const std::string path = folder.file("append.txt");
    ASSERT_TRUE(writeAll(path, "abc"));
    for (const char* mode : {"ab", "a+b"}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(writeAll(path, "abc"));
        std::FILE* stream = openStream(path, mode);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(seekStream(stream, 0, SEEK_END));
        EXPECT_EQ(tellStream(stream), 3);
        ASSERT_TRUE(seekStream(stream, 1, SEEK_SET));
        ASSERT_EQ(std::fwrite("de", 1, 2, stream), 2u);
        EXPECT_EQ(tellStream(stream), 5);
        ASSERT_EQ(std::fwrite("f", 1, 1, stream), 1u);
        EXPECT_EQ(tellStream(stream), 6);
        if (mode[1] == '+') {
            // A tell between reads keeps what the stream has read ahead.
            ASSERT_TRUE(seekStream(stream, 0, SEEK_SET));
            EXPECT_EQ(std::fgetc(stream), 'a');
            EXPECT_EQ(tellStream(stream), 1);
            EXPECT_EQ(std::fgetc(stream), 'b');
        }
        std::fclose(stream);
        EXPECT_EQ(readAll(path), "abcdef");
    }
}

// New files: never over an existing name, and without line-end translation (a
// gzip stream goes through the descriptor).
TEST(Win32StreamTest, NewFilesAreMadeOnlyOnceAndWrittenAsBytes) {
    TestDirectory folder;
    const std::string raw = folder.file("raw.bin");
    const int fd = createNewFile(raw);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::_write(fd, "a\nb", 3), 3);
    closeFile(fd);
    EXPECT_EQ(readAll(raw), "a\nb");
    EXPECT_LT(createNewFile(raw), 0);
    EXPECT_EQ(readAll(raw), "a\nb");

    for (const char* mode : {"wb", "w+b", "ab", "a+b"}) {
        SCOPED_TRACE(mode);
        const std::string path = folder.file(std::string("stream-") + (mode[0] == 'a' ? "a" : "w") +
                                             (mode[1] == '+' ? "plus" : "") + ".txt");
        std::FILE* stream = createStream(path, mode);
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(std::fwrite("x\ny", 1, 3, stream), 3u);
        if (mode[0] == 'a') {
            // Appending streams write at the end wherever they stand.
            ASSERT_TRUE(seekStream(stream, 0, SEEK_SET));
            ASSERT_EQ(std::fwrite("z", 1, 1, stream), 1u);
        }
        std::fclose(stream);
        EXPECT_EQ(readAll(path), mode[0] == 'a' ? "x\nyz" : "x\ny");
        EXPECT_EQ(createStream(path, mode), nullptr);
    }
}

}  // namespace
