// The thread id on Linux is the kernel's (gettid), also in a forked child; and
// the thread kept for work on a large stack is not inherited by a forked child.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include <gtest/gtest.h>

#include "platform/Thread.h"

using namespace Brolix;

TEST(ThreadIdTest, IdIsTheKernelIdOfEachThreadAndOfAForkedChild) {
    EXPECT_EQ(platform::currentThreadId(), static_cast<uint32_t>(::syscall(SYS_gettid)));
    pid_t pid = fork();
    if (pid == 0) {
        _exit(platform::currentThreadId() == static_cast<uint32_t>(::syscall(SYS_gettid)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

namespace {

size_t descend(size_t levels) {
    volatile char frame[1024];
    frame[0] = 1;
    return levels == 0 ? 0 : descend(levels - 1) + static_cast<size_t>(frame[0]);
}

}  // namespace

TEST(ThreadIdTest, AForkedChildGetsItsOwnLargeStackThread) {
    // (The thread sanitizer refuses to start threads in a child forked from a
    // process that has threads.)
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer starts no thread in a forked child";
#endif
    size_t reached = 0;
    ASSERT_TRUE(platform::runWithStack(
        64u << 20, [](void* context) { *static_cast<size_t*>(context) = descend(100); }, &reached));
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
}
