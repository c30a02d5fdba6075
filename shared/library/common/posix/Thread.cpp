#include "platform/Thread.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
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

struct StackedWork {
    void (*work)(void*);
    void* context;
};

void* runStackedWork(void* argument) {
    const StackedWork* stacked = static_cast<const StackedWork*>(argument);
    stacked->work(stacked->context);
    return nullptr;
}

}  // namespace

uint32_t currentThreadId() {
    (void)s_atforkRegistered;
    if (t_threadId == 0) t_threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
    return t_threadId;
}

void sleepFor(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool runWithStack(size_t stackBytes, void (*work)(void*), void* context) {
    // The work runs while its caller waits, so it shares the caller's heap:
    // glibc would give the first such thread a heap of its own, which grows in
    // small steps and costs a quarter more time to fill with a large document.
    static const int oneHeap = mallopt(M_ARENA_MAX, 1);
    (void)oneHeap;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t wanted = std::max<size_t>(stackBytes, PTHREAD_STACK_MIN);
    if (wanted > SIZE_MAX - page) return false;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    StackedWork stacked{work, context};
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, (wanted + page - 1) / page * page) == 0 &&
                         pthread_create(&thread, &attributes, runStackedWork, &stacked) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(thread, nullptr);
    return started;
}

}  // namespace platform
}  // namespace Brolix
