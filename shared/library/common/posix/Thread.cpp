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

// Work that needs a large stack runs on one thread kept for it: a thread that
// ends hands the heap blocks it keeps back to the heap, and after the release
// of a large document that makes glibc merge millions of free blocks at once,
// a tenth of a large build's time. The thread is replaced by one with a larger
// stack when a call needs more. Its state is never destroyed, since the thread
// waits on it until the process ends.
struct StackedWorker {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
    pthread_t thread{};
    size_t stackBytes = 0;  // 0 while there is no thread
    void (*work)(void*) = nullptr;
    void* context = nullptr;
    bool pending = false;  // work waits to be run
    bool stop = false;     // the thread is to end
};

StackedWorker* g_worker = new StackedWorker;
// Callers take turns; the work itself runs one piece at a time.
pthread_mutex_t g_callers = PTHREAD_MUTEX_INITIALIZER;
thread_local bool t_isWorker = false;

void* workerLoop(void* argument) {
    StackedWorker& w = *static_cast<StackedWorker*>(argument);
    t_isWorker = true;
    pthread_mutex_lock(&w.mutex);
    for (;;) {
        while (!w.pending && !w.stop) pthread_cond_wait(&w.changed, &w.mutex);
        if (!w.pending) break;
        pthread_mutex_unlock(&w.mutex);
        w.work(w.context);
        pthread_mutex_lock(&w.mutex);
        w.pending = false;
        pthread_cond_broadcast(&w.changed);
    }
    pthread_mutex_unlock(&w.mutex);
    return nullptr;
}

bool startThread(pthread_t& thread, size_t stackBytes, void* (*body)(void*), void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    const bool started = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                         pthread_create(&thread, &attributes, body, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

void stopWorker(StackedWorker& w) {
    pthread_mutex_lock(&w.mutex);
    w.stop = true;
    pthread_cond_broadcast(&w.changed);
    pthread_mutex_unlock(&w.mutex);
    pthread_join(w.thread, nullptr);
    w.stop = false;
    w.stackBytes = 0;
}

struct StackedWork {
    void (*work)(void*);
    void* context;
};

void* runStackedWork(void* argument) {
    const StackedWork* stacked = static_cast<const StackedWork*>(argument);
    stacked->work(stacked->context);
    return nullptr;
}

// A forked child has only the thread that forked: the worker is not there, and
// its state may have been taken by a thread that is not there either.
void forgetWorkerInChild() {
    StackedWorker& w = *g_worker;
    pthread_mutex_init(&w.mutex, nullptr);
    pthread_cond_init(&w.changed, nullptr);
    w.stackBytes = 0;
    w.pending = false;
    w.stop = false;
    pthread_mutex_init(&g_callers, nullptr);
}

const int s_workerAtforkRegistered = pthread_atfork(nullptr, nullptr, forgetWorkerInChild);

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
    (void)s_workerAtforkRegistered;
    // The work runs while its caller waits, so it shares the caller's heap:
    // glibc would give the thread a heap of its own, which grows in small steps
    // and costs a quarter more time to fill with a large document.
    static const int oneHeap = mallopt(M_ARENA_MAX, 1);
    (void)oneHeap;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t wanted = std::max<size_t>(stackBytes, PTHREAD_STACK_MIN);
    if (wanted > SIZE_MAX - page) return false;
    const size_t rounded = (wanted + page - 1) / page * page;

    if (t_isWorker) {
        // Work that asks for a stack of its own gets a thread of its own.
        StackedWork stacked{work, context};
        pthread_t thread;
        if (!startThread(thread, rounded, runStackedWork, &stacked)) return false;
        pthread_join(thread, nullptr);
        return true;
    }
    pthread_mutex_lock(&g_callers);
    StackedWorker& w = *g_worker;
    bool ready = w.stackBytes >= rounded;
    if (!ready) {
        if (w.stackBytes != 0) stopWorker(w);
        ready = startThread(w.thread, rounded, workerLoop, &w);
        if (ready) w.stackBytes = rounded;
    }
    if (ready) {
        pthread_mutex_lock(&w.mutex);
        w.work = work;
        w.context = context;
        w.pending = true;
        pthread_cond_broadcast(&w.changed);
        while (w.pending) pthread_cond_wait(&w.changed, &w.mutex);
        pthread_mutex_unlock(&w.mutex);
    }
    pthread_mutex_unlock(&g_callers);
    return ready;
}

}  // namespace platform
}  // namespace Brolix
