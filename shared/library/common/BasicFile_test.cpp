#include "BasicFile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestDirectory.h"

using namespace Brolix;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::writeAll;

namespace {

class BasicFileTest : public ::testing::Test {
protected:
    std::string make(const std::string& name, const std::string& content) {
        const std::string path = dir.file(name);
        writeAll(path, content);
        return path;
    }
    TestDirectory dir;
};

TEST_F(BasicFileTest, ReadStopsAtTheSizeAndThenReportsEndOfFile) {
    BasicFile f;
    ASSERT_TRUE(f.open(make("four", "abcd"), BasicFile::MODE_READ));
    EXPECT_FALSE(f.isAtEnd(BasicFile::SIDE_LAST));
    EXPECT_EQ(f.getSize(), 4);
    std::string text;
    EXPECT_TRUE(f.read(text, 10));
    EXPECT_EQ(text, "abcd");
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 4);
    EXPECT_FALSE(f.read(text, 1));
    EXPECT_EQ(f.getError(), BasicFile::BF_AT_EOF);
    // A read of nothing succeeds even at the end.
    EXPECT_TRUE(f.read(text, 0));
    EXPECT_EQ(text, "");
}

TEST_F(BasicFileTest, ReadsLargeFilesInPieces) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>(i % 251);
    BasicFile f;
    ASSERT_TRUE(f.open(make("big", content), BasicFile::MODE_READ));
    std::string first;
    std::string rest;
    ASSERT_TRUE(f.read(first, 3001));
    ASSERT_TRUE(f.read(rest, 100000));
    EXPECT_EQ(first + rest, content);
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
}

TEST_F(BasicFileTest, ReadLine) {
    const struct {
        const char* name;
        std::string content;
        std::vector<std::string> lines;
        std::vector<int> errors;
    } cases[] = {
        {"crlf", "a\r\nb", {"a", "b"}, {0, 0}},
        {"trailing feed", "one\ntwo\n", {"one", "two"}, {0, 0}},
        {"empty lines", "\n\nx", {"", "", "x"}, {0, 0, 0}},
        {"tab and high bytes kept", "a\tb\xe9\x7f\n", {"a\tb\xe9\x7f"}, {0}},
        {"bare carriage returns dropped", "a\rb\r\n", {"ab"}, {0}},
        {"control character", std::string("x\x07y\nnext\n"), {"", "next"}, {13, 0}},
        {"zero byte", std::string("a\0b\nc", 5), {"", "c"}, {13, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BasicFile f;
        ASSERT_TRUE(f.open(make("lines", c.content), BasicFile::MODE_READ));
        for (size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_FALSE(f.isAtEnd(BasicFile::SIDE_LAST)) << "before line " << i;
            EXPECT_EQ(f.readLine(), c.lines[i]) << "line " << i;
            EXPECT_EQ(f.getError(), c.errors[i]) << "line " << i;
        }
        EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
        EXPECT_EQ(f.readLine(), "");
        EXPECT_EQ(f.getError(), BasicFile::BF_AT_EOF);
    }
}

TEST_F(BasicFileTest, ReadLineLongerThanItsBuffer) {
    const std::string longLine(1000, 'q');
    BasicFile f;
    ASSERT_TRUE(f.open(make("long", longLine + "\nz"), BasicFile::MODE_READ));
    EXPECT_EQ(f.readLine(), longLine);
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 1001);
    EXPECT_EQ(f.readLine(), "z");
}

TEST_F(BasicFileTest, OpenFailuresLeaveTheObjectAsItWas) {
    BasicFile f;
    const std::string path = make("data", "hello");
    EXPECT_FALSE(f.open(dir.file("missing"), BasicFile::MODE_READ));
    EXPECT_EQ(f.getError(), BasicFile::BF_OPEN);
    EXPECT_TRUE(f.isClosed());
    EXPECT_FALSE(f.open(path, 9));
    EXPECT_EQ(f.getError(), BasicFile::BF_BAD_MODE);
    EXPECT_TRUE(f.open(path, BasicFile::MODE_CLOSED));
    EXPECT_TRUE(f.isClosed());

    ASSERT_TRUE(f.open(path, BasicFile::MODE_READ));
    EXPECT_FALSE(f.open(dir.file("other"), BasicFile::MODE_WRITE));
    EXPECT_EQ(f.getError(), BasicFile::BF_IS_OPEN);
    EXPECT_EQ(f.getMode(), BasicFile::MODE_READ);
    std::string text;
    EXPECT_TRUE(f.read(text, 5));
    EXPECT_EQ(text, "hello");
    EXPECT_FALSE(test::exists(dir.file("other")));
}

TEST_F(BasicFileTest, OperationsRefusedByState) {
    BasicFile f;
    std::string text;
    EXPECT_FALSE(f.read(text, 1));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_OPEN);
    EXPECT_EQ(f.readLine(), "");
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_OPEN);
    EXPECT_FALSE(f.write("x"));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_OPEN);
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), -1);
    EXPECT_EQ(f.getSize(), -1);
    EXPECT_FALSE(f.seek(0, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_LAST));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_OPEN);
    EXPECT_TRUE(f.close());

    ASSERT_TRUE(f.open(make("ro", "abc"), BasicFile::MODE_READ));
    EXPECT_FALSE(f.write("x"));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_WRITABLE);
    EXPECT_FALSE(f.flush());
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_WRITABLE);
    EXPECT_FALSE(f.seek(0, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_WRITE));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_WRITABLE);
    EXPECT_FALSE(f.seek(0, 7, BasicFile::SIDE_READ));
    EXPECT_EQ(f.getError(), BasicFile::BF_BAD_ORIGIN);
    ASSERT_TRUE(f.close());

    ASSERT_TRUE(f.open(dir.file("wo"), BasicFile::MODE_WRITE));
    EXPECT_FALSE(f.read(text, 1));
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_READABLE);
    EXPECT_EQ(f.readLine(), "");
    EXPECT_EQ(f.getError(), BasicFile::BF_NOT_READABLE);
}

TEST_F(BasicFileTest, WriteModesAndSizes) {
    const std::string path = make("w", "0123456789");
    BasicFile f;

    // Write empties the file.
    ASSERT_TRUE(f.open(path, BasicFile::MODE_WRITE));
    EXPECT_EQ(f.getSize(), 0);
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
    ASSERT_TRUE(f.writeLine("abc"));
    EXPECT_EQ(f.getSize(), 4);
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 4);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(readAll(path), "abc\n");

    // Append writes at the end although the position starts at 0.
    ASSERT_TRUE(f.open(path, BasicFile::MODE_APPEND));
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 0);
    EXPECT_EQ(f.getSize(), 4);
    ASSERT_TRUE(f.write("de"));
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 6);
    EXPECT_EQ(f.getSize(), 6);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(readAll(path), "abc\nde");

    // Read-write keeps the content; overwriting does not make the file longer.
    ASSERT_TRUE(f.open(path, BasicFile::MODE_READ_WRITE));
    ASSERT_TRUE(f.write("XY"));
    EXPECT_EQ(f.getSize(), 6);
    std::string text;
    ASSERT_TRUE(f.read(text, 2));
    EXPECT_EQ(text, "c\n");
    ASSERT_TRUE(f.write("ZZZZ"));
    EXPECT_EQ(f.getSize(), 8);
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_WRITE));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(readAll(path), "XYc\nZZZZ");

    // Read-write-truncate empties it; read-write needs an existing file.
    ASSERT_TRUE(f.open(path, BasicFile::MODE_READ_WRITE_TRUNCATE));
    EXPECT_EQ(f.getSize(), 0);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(readAll(path), "");
    EXPECT_FALSE(f.open(dir.file("none"), BasicFile::MODE_READ_WRITE));
    EXPECT_EQ(f.getError(), BasicFile::BF_OPEN);
}

TEST_F(BasicFileTest, ReadAppendModeReadsAndAppends) {
    const std::string path = make("ra", "line1\nline2\n");
    BasicFile f;
    ASSERT_TRUE(f.open(path, BasicFile::MODE_READ_APPEND));
    EXPECT_EQ(f.readLine(), "line1");
    ASSERT_TRUE(f.seek(0, BasicFile::ORIGIN_END, BasicFile::SIDE_WRITE));
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 12);
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
    ASSERT_TRUE(f.writeLine("line3"));
    ASSERT_TRUE(f.seek(0, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_READ));
    EXPECT_FALSE(f.isAtEnd(BasicFile::SIDE_LAST));
    std::string text;
    ASSERT_TRUE(f.read(text, 100));
    EXPECT_EQ(text, "line1\nline2\nline3\n");
}

TEST_F(BasicFileTest, Seek) {
    BasicFile f;
    ASSERT_TRUE(f.open(make("s", "abcdefgh"), BasicFile::MODE_READ));
    ASSERT_TRUE(f.seek(-3, BasicFile::ORIGIN_END, BasicFile::SIDE_LAST));
    EXPECT_EQ(f.tell(BasicFile::SIDE_READ), 5);
    ASSERT_TRUE(f.seek(-2, BasicFile::ORIGIN_CURRENT, BasicFile::SIDE_READ));
    EXPECT_EQ(f.readLine(), "defgh");
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));

    // Back from the end clears the flag; a refused position changes nothing.
    ASSERT_TRUE(f.seek(1, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_BOTH));
    EXPECT_FALSE(f.isAtEnd(BasicFile::SIDE_LAST));
    EXPECT_FALSE(f.seek(-5, BasicFile::ORIGIN_CURRENT, BasicFile::SIDE_LAST));
    EXPECT_EQ(f.getError(), BasicFile::BF_SEEK);
    EXPECT_EQ(f.tell(BasicFile::SIDE_LAST), 1);
    std::string text;
    ASSERT_TRUE(f.read(text, 2));
    EXPECT_EQ(text, "bc");

    // At or beyond the size the flag is set.
    ASSERT_TRUE(f.seek(20, BasicFile::ORIGIN_BEGIN, BasicFile::SIDE_READ));
    EXPECT_TRUE(f.isAtEnd(BasicFile::SIDE_LAST));
    EXPECT_FALSE(f.read(text, 1));
    EXPECT_EQ(f.getError(), BasicFile::BF_AT_EOF);
}

TEST_F(BasicFileTest, SystemWriteFailuresAreReported) {
    // The full device accepts opening and seeking but no data.
    if (!test::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here, the device that takes no data (Linux has it, Windows not)";
    BasicFile f;
    ASSERT_TRUE(f.open("/dev/full", BasicFile::MODE_WRITE));
    EXPECT_FALSE(f.write(std::string(1 << 16, 'x')));
    EXPECT_EQ(f.getError(), BasicFile::BF_WRITE);
    EXPECT_TRUE(f.write("y"));  // buffered, usable again
    EXPECT_FALSE(f.flush());
    EXPECT_EQ(f.getError(), BasicFile::BF_WRITE);
    ASSERT_TRUE(f.write("z"));
    EXPECT_FALSE(f.close());
    EXPECT_EQ(f.getError(), BasicFile::BF_WRITE);
    EXPECT_TRUE(f.isClosed());
}

}  // namespace
