#include "platform/Thread.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

using namespace Brolix;

TEST(ThreadTest, IdIsStableWithinAThreadAndDiffersBetweenThreads) {
    const uint32_t mine = platform::currentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(platform::currentThreadId(), mine);

    uint32_t other = 0;
    std::thread([&] { other = platform::currentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(ThreadTest, SleepLastsAtLeastItsTime) {
    const auto start = std::chrono::steady_clock::now();
    platform::sleepFor(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

namespace {

// Recursion that needs about 40 MiB of stack, five times a default thread's.
size_t descend(size_t levels) {
    volatile char frame[1024];
    frame[0] = 1;
    return levels == 0 ? 0 : descend(levels - 1) + static_cast<size_t>(frame[0]);
}

}  // namespace

TEST(ThreadTest, RunWithStackGivesTheStackAskedOrRunsNothing) {
    size_t reached = 0;
    ASSERT_TRUE(platform::runWithStack(
        64u << 20, [](void* context) { *static_cast<size_t*>(context) = descend(40000); }, &reached));
    EXPECT_EQ(40000u, reached);

    bool ran = false;
    EXPECT_FALSE(platform::runWithStack(
        SIZE_MAX / 2, [](void* context) { *static_cast<bool*>(context) = true; }, &ran));
    EXPECT_FALSE(ran);
}
