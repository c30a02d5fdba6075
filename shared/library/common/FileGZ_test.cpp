#include "FileGZ.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>

#include <filesystem>

#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "FileException.h"
#include "TestDirectory.h"
#include "testing/FaultTesting.h"
#include "testing/FileVersions.h"

using namespace Brolix;
using Brolix::test::exists;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::Worker;
using Brolix::test::writeAll;

namespace {

constexpr uint16_t R = FileBase::ACCESS_READ;
constexpr uint16_t W = FileBase::ACCESS_WRITE;
constexpr uint16_t APPEND = FileBase::ACCESS_APPEND;
constexpr uint16_t CREATE = FileBase::ACCESS_CREATE;
constexpr uint16_t UNSAFE = FileBase::ACCESS_UNSAFE;
constexpr uint16_t NOLOCK = FileBase::ACCESS_NOLOCK;

int64_t codeOf(const std::function<void()>& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const FileException& e) {
        if (message != nullptr) *message = e.message();
        return e.code();
    }
    return -1;
}

/// Text of `size` bytes that compresses, but not to nothing.
std::string sampleText(size_t size) {
    std::string text;
    text.reserve(size);
    uint32_t state = 12345;
    while (text.size() < size) {
        state = state * 1103515245u + 12345u;
        text += "line " + std::to_string(state % 100000) + " of the sample\r\n";
    }
    text.resize(size);
    return text;
}

/// Compresses with zlib directly, as a second, independent writer.
void writeGzip(const std::string& path, const std::string& content) {
    gzFile file = gzopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    if (!content.empty()) {
        ASSERT_EQ(gzwrite(file, content.data(), static_cast<unsigned>(content.size())),
                  static_cast<int>(content.size()));
    }
    ASSERT_EQ(gzclose(file), Z_OK);
}

bool haveGzip() { return std::system("gzip --version >/dev/null 2>&1") == 0; }

/// What the system's gzip makes of a file.
std::string gunzip(const TestDirectory& dir, const std::string& path) {
    const std::string out = dir.file("gunzipped");
    if (std::system(("gzip -dc '" + path + "' > '" + out + "'").c_str()) != 0) return "<gzip failed>";
    return readAll(out);
}

std::string readWhole(const std::string& path) {
    FileGZ file(path);
    file.open(R);
    std::string all;
    std::string piece;
    while (!file.isEOF()) {
        file.readText(piece, 4096);
        all += piece;
    }
    EXPECT_EQ(file.tell(), static_cast<int64_t>(all.size()));
    EXPECT_EQ(file.getUncompressedSize(), static_cast<int64_t>(all.size()));
    file.close();
    return all;
}

class FileGZTest : public ::testing::Test {
protected:
    TestDirectory dir;
    std::string target = dir.file("data.gz");
};

TEST_F(FileGZTest, AccessRefusals) {
    std::string message;
    FileGZ file(target);
    EXPECT_EQ(codeOf([&] { file.open(R | W); }, &message), FileException::FL_ACCESS_COMB);
    EXPECT_EQ(message, "Cannot open gzip file: " + target + "\tfor both reading and writing.");
    EXPECT_EQ(codeOf([&] { file.open(0); }, &message), FileException::FL_ACCESS_COMB);
    EXPECT_EQ(
        message,
        "Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE allowed for gzip file: " + target);
    EXPECT_EQ(codeOf([&] { file.open(R); }, &message), FileException::FL_EXISTS_NOT);
    EXPECT_EQ(message, target);
    EXPECT_EQ(file.getKind(), FileBase::KIND_GZ);
    EXPECT_TRUE(file.isClosed());
    EXPECT_EQ(codeOf([&] { file.isEOF(); }), FileException::FL_IS_CLOSED);

    // Only-unsafe opens for writing but refuses the writes themselves.
    file.open(UNSAFE);
    EXPECT_EQ(codeOf([&] { file.writeBytes("x", 1); }), FileException::FL_CANNOT_WRITE);
    EXPECT_EQ(codeOf([&] { file.open(W); }), FileException::FL_IS_OPEN);
    file.close();
}

TEST_F(FileGZTest, HundredBytesReadBackWithEndOfFile) {
    const std::string content = sampleText(100);
    FileGZ writer(target);
    writer.open(W | NOLOCK);
    EXPECT_TRUE(writer.isEOF());
    EXPECT_TRUE(writer.writeText(content.substr(0, 60)));
    EXPECT_EQ(writer.writeBytes(content.data() + 60, 40), 40u);
    EXPECT_EQ(writer.tell(), 100);
    EXPECT_EQ(writer.getUncompressedSize(), 100);
    EXPECT_EQ(codeOf([&] { writer.readLine(); }), FileException::FL_CANNOT_READ);
    char buffer[4];
    EXPECT_EQ(codeOf([&] { writer.readBytes(buffer, 1); }), FileException::FL_READ);
    writer.flush();
    writer.close();
    EXPECT_FALSE(exists(target + ".lock"));

    FileGZ reader(target);
    reader.open(R);
    EXPECT_EQ(reader.getUncompressedSize(), 100);
    EXPECT_FALSE(reader.isEOF());
    std::string text;
    EXPECT_FALSE(reader.readText(text, 1000));
    EXPECT_EQ(text, content);
    EXPECT_TRUE(reader.isEOF());
    EXPECT_EQ(codeOf([&] { reader.readBytes(buffer, 1); }), FileException::FL_EOF);
    EXPECT_EQ(codeOf([&] { reader.readLine(); }), FileException::FL_EOF);
    EXPECT_EQ(codeOf([&] { reader.writeBytes("x", 1); }), FileException::FL_CANNOT_WRITE);
    reader.close();
    EXPECT_EQ(codeOf([&] { reader.readBytes(buffer, 1); }), FileException::FL_IS_CLOSED);
    EXPECT_EQ(codeOf([&] { reader.seek(0, 0); }), FileException::FL_IS_CLOSED);

    // A later writing opening starts the size afresh.
    writer.open(W | NOLOCK);
    writer.writeText("abc");
    EXPECT_EQ(writer.getUncompressedSize(), 3);
    writer.close();
    EXPECT_EQ(readWhole(target), "abc");
}

TEST_F(FileGZTest, ReadLineKeepsCarriageReturns) {
    const std::string longLine(3000, 'L');
    writeGzip(target, "a\r\nb\r\n\n" + longLine + "\nlast");
    FileGZ file(target);
    file.open(R);
    EXPECT_EQ(file.readLine(), "a\r");
    EXPECT_EQ(file.tell(), 3);
    EXPECT_EQ(file.readLine(), "b\r");
    EXPECT_EQ(file.readLine(), "");
    EXPECT_EQ(file.readLine(), longLine);
    EXPECT_FALSE(file.isEOF());
    EXPECT_EQ(file.readLine(), "last");
    EXPECT_TRUE(file.isEOF());
}

TEST_F(FileGZTest, SeekRules) {
    const std::string content = sampleText(40);
    FileGZ file(target);
    file.open(W | NOLOCK);
    file.writeText(content.substr(0, 20));
    std::string message;
    EXPECT_EQ(codeOf([&] { file.seek(10, FileBase::FROM_BEGIN); }, &message), FileException::FL_ERROR);
    EXPECT_EQ(message, "FileGZ negative seek for FILE_WRITE.");
    EXPECT_EQ(codeOf([&] { file.seek(-1, FileBase::FROM_CURRENT); }, &message), FileException::FL_ERROR);
    EXPECT_EQ(message, "FileGZ negative seek for FILE_WRITE.");
    // Forwards the gap is filled with zero bytes.
    EXPECT_EQ(file.seek(25, FileBase::FROM_BEGIN), 25);
    EXPECT_EQ(file.seek(0, FileBase::FROM_CURRENT), 25);
    EXPECT_EQ(file.getUncompressedSize(), 25);
    file.writeText(content.substr(25));
    file.close();
    const std::string written = content.substr(0, 20) + std::string(5, '\0') + content.substr(25);
    EXPECT_EQ(readWhole(target), written);

    file.open(R);
    EXPECT_EQ(file.seek(10, FileBase::FROM_BEGIN), 10);
    std::string text;
    file.readText(text, 3);
    EXPECT_EQ(text, written.substr(10, 3));
    EXPECT_EQ(file.seek(3, FileBase::FROM_BEGIN), 3);
    EXPECT_EQ(codeOf([&] { file.seek(-5, FileBase::FROM_CURRENT); }, &message), FileException::FL_ERROR);
    EXPECT_EQ(message, "FileGZ seek underflow.");
    EXPECT_EQ(file.tell(), 3);
    EXPECT_EQ(file.seek(-2, FileBase::FROM_CURRENT), 1);
    EXPECT_EQ(file.seek(4, FileBase::FROM_CURRENT), 5);
    // From the end the offset counts back, whatever its sign.
    EXPECT_EQ(file.seek(5, FileBase::FROM_END), 35);
    EXPECT_EQ(file.seek(-6, FileBase::FROM_END), 34);
    file.readText(text, 100);
    EXPECT_EQ(text, written.substr(34));
    EXPECT_EQ(file.seek(0, FileBase::FROM_END), 40);
    EXPECT_TRUE(file.isEOF());
    EXPECT_EQ(codeOf([&] { file.seek(41, FileBase::FROM_END); }, &message), FileException::FL_ERROR);
    EXPECT_EQ(message, "FileGZ seek overflow.");
    EXPECT_EQ(codeOf([&] { file.seek(0, 3); }), FileException::FL_POSITION);
}

TEST_F(FileGZTest, AppendRecompressesTheOldContent) {
    const std::string old = sampleText(5000);
    writeGzip(target, old);
    FileGZ file(target);
    file.open(W | APPEND);  // locked, safe update
    EXPECT_EQ(file.tell(), 5000);
    EXPECT_EQ(file.getUncompressedSize(), 5000);
    EXPECT_TRUE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".tmp.orig.copy"));
    file.writeLine("new line");
    file.close();
    EXPECT_EQ(readWhole(target), old + "new line\n");
    for (const char* leftover : {".tmp", ".lock", ".orig.copy", ".tmp.orig.copy"}) {
        EXPECT_FALSE(exists(target + leftover)) << leftover;
    }

    // Unlocked, in place; and onto a file that is not there yet.
    file.open(W | APPEND | UNSAFE | NOLOCK);
    file.writeText("more");
    file.close();
    EXPECT_EQ(readWhole(target), old + "new line\nmore");
    FileGZ fresh(dir.file("fresh.gz"));
    fresh.open(W | APPEND | CREATE);
    EXPECT_EQ(fresh.tell(), 0);
    fresh.writeText("first");
    fresh.close();
    EXPECT_EQ(readWhole(dir.file("fresh.gz")), "first");
}

TEST_F(FileGZTest, FailedAppendPutsTheOldFileBack) {
    // A damaged old file cannot be copied: the append fails and the file is
    // left exactly as it was.
    writeGzip(target, sampleText(20000));
    std::string damaged = readAll(target);
    damaged.resize(damaged.size() / 2);
    writeAll(target, damaged);
    for (uint16_t access :
         {uint16_t(W | APPEND), uint16_t(W | APPEND | UNSAFE), uint16_t(W | APPEND | NOLOCK)}) {
        FileGZ file(target);
        EXPECT_EQ(codeOf([&] { file.open(access); }), FileException::FL_READ) << access;
        EXPECT_TRUE(file.isClosed());
        EXPECT_FALSE(file.inSafeUpdate());
        EXPECT_EQ(readAll(target), damaged);
        for (const char* leftover : {".tmp", ".lock", ".orig.copy", ".tmp.orig.copy"}) {
            EXPECT_FALSE(exists(target + leftover)) << leftover;
        }
    }
}

TEST_F(FileGZTest, SafeUpdateCommitsOrDiscards) {
    writeGzip(target, "earlier");
    FileGZ file(target);
    file.open(W);
    file.writeText("replaced");
    EXPECT_EQ(readWhole(target), "earlier");
    file.abort();
    EXPECT_EQ(readWhole(target), "earlier");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));

    file.open(W);
    FileGZ other(target);
    EXPECT_EQ(codeOf([&] { other.open(W); }), FileException::FL_IS_LOCKED);
    file.writeText("replaced");
    file.close();
    EXPECT_EQ(readWhole(target), "replaced");
    EXPECT_FALSE(exists(target + ".tmp"));
    EXPECT_FALSE(exists(target + ".lock"));
}

TEST_F(FileGZTest, DamagedDataIsAReadErrorNotAnEnd) {
    writeGzip(target, sampleText(20000));
    std::string damaged = readAll(target);
    damaged.resize(damaged.size() / 2);
    writeAll(target, damaged);
    FileGZ file(target);
    file.open(R);
    std::string text;
    EXPECT_EQ(codeOf([&] {
                  while (!file.isEOF()) file.readText(text, 4096);
              }),
              FileException::FL_READ);
}

// At the end of the data readText stops with what it has, as a plain file does,
// also in an empty file; an error leaves only the bytes that were read.
TEST_F(FileGZTest, ReadTextStopsAtTheEndAndKeepsOnlyWhatWasRead) {
    writeGzip(target, "");
    FileGZ empty(target);
    empty.open(R);
    std::string text = "old";
    EXPECT_FALSE(empty.readText(text, 10));
    EXPECT_EQ("", text);
    empty.close();

    const std::string content = sampleText(300000);
    writeGzip(target, content);
    std::string damaged = readAll(target);
    damaged.resize(damaged.size() * 2 / 3);
    writeAll(target, damaged);
    FileGZ file(target);
    file.open(R);
    EXPECT_EQ(codeOf([&] { file.readText(text, content.size()); }), FileException::FL_READ);
    EXPECT_LT(0u, text.size());
    EXPECT_EQ(content.substr(0, text.size()), text);
}

TEST_F(FileGZTest, SeveralMembersReadBackWhole) {
    // Concatenated gzip files: the trailer tells only the last member's size.
    const std::string first = sampleText(3000);
    writeGzip(dir.file("a.gz"), first);
    writeGzip(dir.file("b.gz"), "tail");
    writeAll(target, readAll(dir.file("a.gz")) + readAll(dir.file("b.gz")));
    FileGZ file(target);
    file.open(R);
    EXPECT_EQ(file.getUncompressedSize(), 4);
    file.close();
    EXPECT_EQ(readWhole(target), first + "tail");
}

TEST_F(FileGZTest, SystemGzipReadsWhatWeWrite) {
    if (!haveGzip()) GTEST_SKIP() << "no gzip";
    const std::string content = sampleText(3 * 1024 * 1024 + 17);
    FileGZ file(target);
    file.open(W | CREATE);
    for (size_t at = 0; at < content.size(); at += 100000) file.writeText(content.substr(at, 100000));
    file.close();
    EXPECT_TRUE(gunzip(dir, target) == content);

    file.open(W | APPEND);
    file.writeText("appended\r\n");
    file.close();
    EXPECT_TRUE(gunzip(dir, target) == content + "appended\r\n");
}

TEST_F(FileGZTest, WeReadWhatSystemGzipWrites) {
    if (!haveGzip()) GTEST_SKIP() << "no gzip";
    const std::string content = sampleText(4 * 1024 * 1024 + 3);
    const std::string plain = dir.file("plain");
    writeAll(plain, content);
    ASSERT_EQ(std::system(("gzip -c '" + plain + "' > '" + target + "'").c_str()), 0);
    FileGZ file(target);
    file.open(R);
    EXPECT_EQ(file.getUncompressedSize(), static_cast<int64_t>(content.size()));
    file.close();
    EXPECT_TRUE(readWhole(target) == content);

    writeAll(plain, "");
    ASSERT_EQ(std::system(("gzip -c '" + plain + "' > '" + target + "'").c_str()), 0);
    file.open(R);
    EXPECT_TRUE(file.isEOF());
    EXPECT_EQ(file.getUncompressedSize(), 0);
}

// ---- faults made for real ----

/// zlib's reading of a whole gzip file, independent of the class under test;
/// "<damaged>" when the file is not a whole gzip stream.
std::string zlibRead(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return "<cannot open>";
    std::string content;
    char buffer[65536];
    int n;
    while ((n = gzread(file, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<size_t>(n));
    int error = Z_OK;
    gzerror(file, &error);
    const bool whole = n == 0 && error == Z_OK;
    gzclose(file);
    return whole ? content : "<damaged>";
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// An append that writes the target directly sets the old file aside as
// name.orig.copy. A process killed at any point after that must not cost the
// old content: the next opening puts the copy back before it appends.
TEST_F(FileGZTest, AnAppendKilledHalfwayNeverCostsTheOldContent) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    std::string lines;
    for (int i = 0; i < 200000; ++i) lines += "line " + std::to_string(i) + "\n";
    for (const char* killPoint : {"kill:fsync:data.gz", "kill:unlink:.orig.copy"}) {
        writeGzip(target, lines);
        Worker killed({"gz-append", target, "lost\n", "nolock"}, killPoint);
        EXPECT_TRUE(killed.wait().killed) << killPoint;
        EXPECT_TRUE(exists(target + ".orig.copy")) << killPoint;
        Worker next({"gz-append", target, "next\n", "nolock"});
        EXPECT_EQ(next.wait().exitCode, 0) << killPoint;
        EXPECT_EQ(zlibRead(target), lines + "next\n") << killPoint;
        EXPECT_FALSE(exists(target + ".orig.copy")) << killPoint;
    }
}

TEST_F(FileGZTest, AnAppendThatFailsOnAFullDiskPutsTheOldContentBack) {
    const std::string mountPoint = dir.file("small");
    ASSERT_TRUE(std::filesystem::create_directory(mountPoint));
    test::PrivateTmpfs fs(mountPoint, 256);
    if (!fs.usable()) GTEST_SKIP() << "no private tmpfs here (needs root and mount namespaces)";
    const std::string path = mountPoint + "/history.gz";
    const std::string old = randomBytes(70000, 1);  // does not compress
    for (uint16_t access :
         {uint16_t(W | APPEND), uint16_t(W | APPEND | UNSAFE), uint16_t(W | APPEND | NOLOCK)}) {
        writeGzip(path, old);
        int64_t failure = -1;
        {
            FileGZ file(path);
            file.open(access);
            failure = codeOf([&] {
                file.writeText(randomBytes(150000, 2));
                file.close();
            });
        }
        EXPECT_TRUE(failure == FileException::FL_WRITE || failure == FileException::FL_CANNOT_CLOSE)
            << access << ": " << failure;
        EXPECT_EQ(zlibRead(path), old) << access;
        for (const char* leftover : {".tmp", ".lock", ".orig.copy"}) {
            EXPECT_FALSE(exists(path + leftover)) << access << leftover;
        }
    }
}

// A write that failed for want of space is never committed, also when the
// space comes back before the file is closed.
TEST_F(FileGZTest, AFailedWriteIsNotCommittedWhenSpaceComesBackBeforeTheClose) {
    const std::string mountPoint = dir.file("small");
    ASSERT_TRUE(std::filesystem::create_directory(mountPoint));
    test::PrivateTmpfs fs(mountPoint, 256);
    if (!fs.usable()) GTEST_SKIP() << "no private tmpfs here (needs root and mount namespaces)";
    const std::string path = mountPoint + "/history.gz";
    writeGzip(path, "old\n");
    FileGZ file(path);
    file.open(W);
    EXPECT_EQ(codeOf([&] {
                  for (int i = 0; i < 8; ++i) file.writeText(randomBytes(100000, i));
              }),
              FileException::FL_WRITE);
    // Room again: the temporary file is emptied, as a cleaner would make room.
    std::filesystem::resize_file(path + ".tmp", 0);
    EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_CANNOT_CLOSE);
    EXPECT_EQ(zlibRead(path), "old\n");
    EXPECT_FALSE(exists(path + ".tmp"));
    EXPECT_FALSE(exists(path + ".lock"));
}

TEST_F(FileGZTest, ADirectoryIsNeverWrittenOrMovedAside) {
    const std::string directory = dir.file("d.gz");
    ASSERT_TRUE(std::filesystem::create_directory(directory));
    writeAll(directory + "/inside", "kept");
    for (uint16_t access : {uint16_t(W), uint16_t(W | APPEND), uint16_t(W | APPEND | UNSAFE),
                            uint16_t(W | APPEND | NOLOCK), uint16_t(W | CREATE | NOLOCK)}) {
        FileGZ file(directory);
        EXPECT_EQ(codeOf([&] { file.open(access); }), FileException::FL_CANNOT_OPEN) << access;
        EXPECT_EQ(readAll(directory + "/inside"), "kept");
        for (const char* leftover : {".tmp", ".lock", ".orig.copy"}) {
            EXPECT_FALSE(exists(directory + leftover)) << access << leftover;
        }
    }
}

// Several processes append records to one gzip file while another reads it:
// every read is a whole gzip file of whole records, and no record is lost. Where
// an open file cannot be replaced, each read holds up the writers' commits, so
// the reader leaves them room; and the system refuses to open a file for the
// moment it is being replaced, which is no read at all.
TEST_F(FileGZTest, ConcurrentAppendersAndReadersSeeOnlyWholeFiles) {
    const int writers = 4;
    const int appends = 40;
    writeGzip(target, "");
    std::vector<std::unique_ptr<Worker>> running;
    for (int w = 1; w <= writers; ++w) {
        running.emplace_back(new Worker({"stress-gz", target, std::to_string(w), std::to_string(appends)}));
    }
    size_t seen = 0;
    test::Poller reader(
        [&] {
            const std::string content = zlibRead(target);
            if (content == "<cannot open>" && exists(target)) return true;
            size_t records = 0;
            bool whole = content != "<damaged>" && (content.empty() || content.back() == '\n');
            std::istringstream lines(content);
            for (std::string line; whole && std::getline(lines, line); ++records) {
                int w = 0;
                int n = 0;
                whole = std::sscanf(line.c_str(), "record %d %d", &w, &n) == 2 &&
                        line + "\n" == test::recordLine(w, n);
            }
            if (!whole || records < seen) {
                std::fprintf(stderr, "read %zu bytes that are no whole file of records\n", content.size());
                return false;
            }
            seen = records;
            return true;
        },
        std::chrono::milliseconds(test::openFilesBlockReplacement() ? 200 : 0));
    for (auto& worker : running) EXPECT_EQ(worker->wait().exitCode, 0);
    EXPECT_TRUE(reader.stop());

    std::multiset<std::string> records;
    std::istringstream lines(zlibRead(target));
    for (std::string line; std::getline(lines, line);) records.insert(line + "\n");
    EXPECT_EQ(records.size(), static_cast<size_t>(writers * appends));
    for (int w = 1; w <= writers; ++w) {
        for (int n = 1; n <= appends; ++n)
            EXPECT_EQ(records.count(test::recordLine(w, n)), 1u) << w << " " << n;
    }
}

}  // namespace
