#include "platform/Thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace Brolix {
namespace platform {

namespace {

// The id is asked of the kernel once per thread: every log line carries it, and
// the system call costs more than the rest of a line's bookkeeping. A forked
// child's only thread has a new id, so the cache is cleared in the child.
thread_local uint32_t t_threadId = 0;

void forgetThreadIdInChild() { t_threadId = 0; }

const int s_atforkRegistered = pthread_atfork(nullptr, nullptr, forgetThreadIdInChild);

}  // namespace

uint32_t currentThreadId() {
    (void)s_atforkRegistered;
    if (t_threadId == 0) t_threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
    return t_threadId;
}

void sleepFor(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
}  // namespace Brolix
