// The thread id on Linux is the kernel's (gettid), also in a forked child.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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
