#include "platform/Thread.h"

#include <chrono>
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
