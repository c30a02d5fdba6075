#include "platform/Thread.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

using namespace Brolix;

TEST(ThreadTest, IdIsTheKernelIdOfEachThreadAndOfAForkedChild) {
    const uint32_t mine = platform::currentThreadId();
    EXPECT_EQ(mine, static_cast<uint32_t>(::syscall(SYS_gettid)));
    EXPECT_EQ(platform::currentThreadId(), mine);

    uint32_t other = 0;
    std::thread([&] { other = platform::currentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);

    pid_t pid = fork();
    if (pid == 0) {
        _exit(platform::currentThreadId() == static_cast<uint32_t>(::syscall(SYS_gettid)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
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

    // The thread kept for such work is not in a forked child, which gets its own.
    // (The thread sanitizer refuses to start threads in a child forked from a
    // process that has threads.)
#if !defined(__SANITIZE_THREAD__)
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        size_t inChild = 0;
        const bool ran = platform::runWithStack(
            64u << 20, [](void* context) { *static_cast<size_t*>(context) = descend(100); }, &inChild);
        _exit(ran && inChild == 100 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif

    bool ran = false;
    EXPECT_FALSE(platform::runWithStack(
        SIZE_MAX / 2, [](void* context) { *static_cast<bool*>(context) = true; }, &ran));
    EXPECT_FALSE(ran);
}
