#include "CommitBatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FileGZ.h"
#include "FileOps.h"
#include "FilePlain.h"
#include "TestDirectory.h"
#include "testing/FaultTesting.h"

using namespace Brolix;
using Brolix::test::exists;
using Brolix::test::readAll;
using Brolix::test::TestDirectory;
using Brolix::test::Worker;
using Brolix::test::writeAll;
namespace fs = std::filesystem;

namespace {

constexpr uint16_t W = FileBase::ACCESS_WRITE;

SmartPointer<FileBase> written(FileBase* file, const std::string& text) {
    SmartPointer<FileBase> held(file);
    held->open(W);
    held->writeText(text);
    return held;
}

// The files wait with their locks held and their targets untouched until the
// batch commits; then every target has its new content, the outcomes come in
// the order of adding, and nothing is left beside the targets.
TEST(CommitBatchTest, FilesWaitWithTheirLocksAndCommitTogether) {
    TestDirectory dir;
    const std::vector<std::string> names = {dir.file("a.conf"), dir.file("b.conf"), dir.file("c.conf")};
    for (const std::string& name : names) writeAll(name, "old " + name);
    std::vector<std::string> told;
    {
        CommitBatch batch(10);
        for (const std::string& name : names) {
            batch.add(written(new FilePlain(name), "new " + name), [&told, name](const FileException* failure) {
                told.push_back(name + (failure == nullptr ? " committed" : " failed"));
            });
        }
        EXPECT_EQ(batch.size(), 3u);
        EXPECT_TRUE(batch.waits(names[1]));
        for (const std::string& name : names) {
            EXPECT_EQ(readAll(name), "old " + name);
            EXPECT_TRUE(exists(name + ".lock"));
            // Another writer stays away while the commit waits.
            FilePlain other(name);
            EXPECT_THROW(other.open(W), FileException);
        }
        EXPECT_TRUE(told.empty());
        batch.commit();
        EXPECT_EQ(batch.size(), 0u);
    }
    EXPECT_EQ(told, (std::vector<std::string>{names[0] + " committed", names[1] + " committed",
                                              names[2] + " committed"}));
    for (const std::string& name : names) {
        EXPECT_EQ(readAll(name), "new " + name);
        EXPECT_FALSE(exists(name + ".tmp"));
        EXPECT_FALSE(exists(name + ".lock"));
    }
}

// A second update of a waiting target needs the first one committed before it
// opens, a full batch commits by itself, gzip files wait like plain ones, and the
// batch's end commits what still waits.
TEST(CommitBatchTest, SameTargetFullBatchAndTheEnd) {
    TestDirectory dir;
    const std::string one = dir.file("one.conf");
    const std::string packed = dir.file("two.conf.gz");
    int committed = 0;
    auto count = [&committed](const FileException* failure) { committed += failure == nullptr; };
    {
        CommitBatch batch(3);
        batch.add(written(new FilePlain(one), "first"), count);
        // Its lock keeps a second writer of the same target out until the
        // commit, so the writer commits first.
        FilePlain blocked(one);
        EXPECT_THROW(blocked.open(W), FileException);
        ASSERT_TRUE(batch.waits(one));
        batch.commit();
        batch.add(written(new FilePlain(one), "second"), count);
        EXPECT_EQ(committed, 1);
        EXPECT_EQ(readAll(one), "first");
        EXPECT_EQ(batch.size(), 1u);
        batch.add(written(new FileGZ(packed), "packed"), count);
        EXPECT_FALSE(exists(packed));
        batch.add(written(new FilePlain(dir.file("three.conf")), "third"), count);
        EXPECT_EQ(batch.size(), 0u);  // the third filled it
        EXPECT_EQ(committed, 4);
        batch.add(written(new FilePlain(dir.file("four.conf")), "fourth"), count);
    }
    EXPECT_EQ(committed, 5);
    EXPECT_EQ(readAll(one), "second");
    EXPECT_TRUE(exists(packed));
    EXPECT_EQ(readAll(dir.file("four.conf")), "fourth");
}

// A file that cannot be committed is told so; the others are committed.
TEST(CommitBatchTest, AFailedCommitIsToldAndTheOthersGoOn) {
    TestDirectory dir;
    const std::string good = dir.file("good.conf");
    const std::string bad = dir.file("bad.conf");
    writeAll(bad, "old");
    std::vector<int64_t> codes;
    auto record = [&codes](const FileException* failure) {
        codes.push_back(failure == nullptr ? 0 : static_cast<int64_t>(failure->code()));
    };
    const RetrySleeper previous = setRetrySleeper([](uint32_t) {});
    {
        CommitBatch batch;
        batch.add(written(new FilePlain(bad), "new"), record);
        batch.add(written(new FilePlain(good), "good"), record);
        std::unique_ptr<std::ifstream> reader;
        if (test::openFilesBlockReplacement()) {
            // A reader holds the first target open, and the system refuses to
            // replace it.
            reader.reset(new std::ifstream(bad, std::ios::binary));
            ASSERT_TRUE(reader->is_open());
        } else {
            // A directory where the first target was is never moved aside.
            ASSERT_TRUE(fs::remove(bad));
            ASSERT_TRUE(fs::create_directory(bad));
            writeAll(bad + "/inside", "x");
        }
        batch.commit();
    }
    setRetrySleeper(previous);
    EXPECT_EQ(codes, (std::vector<int64_t>{FileException::FL_RENAME, 0}));
    EXPECT_EQ(readAll(good), "good");
    EXPECT_FALSE(exists(bad + ".tmp"));
    EXPECT_FALSE(exists(bad + ".lock"));
}

// Killed in the middle of its commits, a batch leaves every target whole: the
// ones before the kill new, the others old; the next writer is not held up.
TEST(CommitBatchTest, AKilledBatchLeavesEveryTargetWholeOldOrNew) {
    if (!test::faultsCanBeInjected()) GTEST_SKIP() << test::NO_FAULT_INJECTOR;
    TestDirectory dir;
    const std::vector<std::string> names = {dir.file("a.conf"), dir.file("b.conf"), dir.file("c.conf")};
    for (const std::string& name : names) writeAll(name, "old");
    Worker killed({"batch-write", "100000", "N", names[0], names[1], names[2]}, "kill:rename:b.conf.tmp:1");
    EXPECT_TRUE(killed.wait().killed);
    EXPECT_EQ(readAll(names[0]), std::string(100000, 'N'));
    EXPECT_EQ(readAll(names[1]), "old");
    EXPECT_EQ(readAll(names[2]), "old");
    Worker next({"batch-write", "10", "M", names[0], names[1], names[2]});
    EXPECT_EQ(next.wait().exitCode, 0);
    for (const std::string& name : names) {
        EXPECT_EQ(readAll(name), std::string(10, 'M'));
        EXPECT_FALSE(exists(name + ".tmp"));
        EXPECT_FALSE(exists(name + ".lock"));
    }
}

}  // namespace
