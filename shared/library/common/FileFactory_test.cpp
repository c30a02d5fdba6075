#include "FileFactory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TestDirectory.h"
#include "testing/FaultTesting.h"

using namespace Brolix;

namespace {

TEST(FileFactoryTest, ChoosesByTheTextAfterTheLastDot) {
    const struct {
        const char* path;
        int32_t kind;
    } cases[] = {
        {"archive.tar.gz", FileBase::KIND_GZ},
        {"C:\\conf\\out.gz", FileBase::KIND_GZ},
        {"OUT.GZ", FileBase::KIND_PLAIN},
        {"file.Gz", FileBase::KIND_PLAIN},
        {"backup.tgz", FileBase::KIND_PLAIN},
        {"noextension", FileBase::KIND_PLAIN},
        {"dir.gz\\file", FileBase::KIND_PLAIN},
        {"dir.d/file", FileBase::KIND_PLAIN},
        {"", FileBase::KIND_PLAIN},
    };
    for (const auto& c : cases) {
        SmartPointer<FileBase> file = makeFile(c.path);
        ASSERT_FALSE(file.isNull()) << c.path;
        EXPECT_EQ(file->getKind(), c.kind) << c.path;
        EXPECT_TRUE(file->isClosed()) << c.path;
        EXPECT_EQ(file->getName(), c.path);
    }
}

TEST(FileFactoryTest, ObjectsWorkThroughTheInterface) {
    test::TestDirectory dir;
    for (const char* name : {"out.conf", "out.gz"}) {
        const std::string path = dir.file(name);
        {
            SmartPointer<FileBase> file = makeFile(path);
            file->open(110);
            EXPECT_TRUE(file->writeText("a(s)=\"1\"\n"));
            file->close();
        }
        SmartPointer<FileBase> file = makeFile(path);
        file->open(FileBase::ACCESS_READ);
        EXPECT_EQ(file->readLine(), "a(s)=\"1\"") << name;
        EXPECT_TRUE(file->isEOF()) << name;
    }
}

/// Replaces what the file holds, through the interface.
void rewrite(const std::string& path, const std::string& text) {
    SmartPointer<FileBase> file = makeFile(path);
    file->open(110);  // write, truncate, create, unsafe, no lock
    file->writeText(text);
    file->close();
}

/// What the file holds, read through the interface.
std::string contentOf(const std::string& path) {
    SmartPointer<FileBase> file = makeFile(path);
    file->open(FileBase::ACCESS_READ);
    std::string text;
    file->readText(text, 1 << 20);
    file->close();
    return text;
}

// Appends of every kind of file in each mode, committed, aborted, and killed
// before the close: the file holds the old content, the new one after it, or
// what its mode promises for a write in place; nothing is left beside it.
TEST(FileFactoryTest, AppendsInEveryModeCommitAbortOrDie) {
    constexpr uint16_t APPEND = FileBase::ACCESS_WRITE | FileBase::ACCESS_APPEND;
    constexpr uint16_t UNSAFE = FileBase::ACCESS_UNSAFE;
    constexpr uint16_t NOLOCK = FileBase::ACCESS_NOLOCK;
    const struct {
        const char* name;
        uint16_t access;
        const char* afterAbort;
        const char* afterKill;  // and the next append
    } cases[] = {
        {"plain.conf", APPEND, "old\n", "old\nnext\n"},
        {"plain.conf", APPEND | UNSAFE, "old\ngone\n", "old\nlost\nnext\n"},
        {"plain.conf", APPEND | NOLOCK, "old\ngone\n", "old\nlost\nnext\n"},
        // A gzip append rebuilds the file; the old one waits until the new one
        // is whole, whatever the mode.
        {"history.gz", APPEND, "old\n", "old\nnext\n"},
        {"history.gz", APPEND | UNSAFE, "old\n", "old\nnext\n"},
        {"history.gz", APPEND | NOLOCK, "old\n", "old\nnext\n"},
    };
    test::TestDirectory dir;
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        SCOPED_TRACE(path + " access " + std::to_string(c.access));
        auto nothingBeside = [&] {
            for (const char* leftover : {".tmp", ".lock", ".orig.copy"}) {
                EXPECT_FALSE(test::exists(path + leftover)) << leftover;
            }
        };
        rewrite(path, "old\n");
        {
            SmartPointer<FileBase> file = makeFile(path);
            file->open(c.access);
            file->writeText("new\n");
            file->close();
        }
        EXPECT_EQ(contentOf(path), "old\nnew\n");
        nothingBeside();

        rewrite(path, "old\n");
        {
            SmartPointer<FileBase> file = makeFile(path);
            file->open(c.access);
            file->writeText("gone\n");
            file->flush();
            file->abort();
        }
        EXPECT_EQ(contentOf(path), c.afterAbort);
        nothingBeside();

        rewrite(path, "old\n");
        {
            test::Worker killed({"--hold", "write", path, std::to_string(c.access), "lost\n"});
            ASSERT_TRUE(killed.waitForOutput("holding"));
            EXPECT_TRUE(killed.kill().killed);
        }
        // The dead writer's lock holds others off until it expires.
        std::remove((path + ".lock").c_str());
        test::Worker next({"write", path, std::to_string(c.access), "next\n"});
        EXPECT_EQ(next.wait().exitCode, 0);
        EXPECT_EQ(contentOf(path), c.afterKill);
        nothingBeside();
    }
}

}  // namespace
