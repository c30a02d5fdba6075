#include "platform/FileLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using Brolix::platform::FileLock;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(FileLockTest, ExcludesOtherHoldersButNoWriter) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() /
        ("brolix-filelock-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string path = (folder / "shared.log").string();
    {
        FileLock first(path), second(path);
        ASSERT_EQ(first.tryLock(), FileLock::ACQUIRED);  // makes the file
        EXPECT_EQ(first.tryLock(), FileLock::ACQUIRED);
        EXPECT_EQ(second.tryLock(), FileLock::BUSY);

        // The lock binds only those who ask for it: the file is written meanwhile.
        std::ofstream(path, std::ios::binary | std::ios::app) << "line\r\n";
        EXPECT_EQ(readAll(path), "line\r\n");

        EXPECT_TRUE(first.unlock());
        EXPECT_TRUE(first.unlock()) << "not held: nothing to give up";
        EXPECT_EQ(second.tryLock(), FileLock::ACQUIRED);
        EXPECT_EQ(first.tryLock(), FileLock::BUSY);
        EXPECT_TRUE(second.unlock());
        {
            FileLock holder(path);
            ASSERT_EQ(holder.tryLock(), FileLock::ACQUIRED);
        }
        EXPECT_EQ(first.tryLock(), FileLock::ACQUIRED) << "a holder that goes gives the lock up";
    }
    FileLock nowhere((folder / "missing" / "a.log").string());
    EXPECT_EQ(nowhere.tryLock(), FileLock::FAILED);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
