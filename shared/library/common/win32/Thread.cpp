// GetCurrentThreadId, Sleep and CreateThread. The thread id is read from the
// thread's own block in user space, so it needs no cache.
#include "platform/Thread.h"

#include <windows.h>

namespace Brolix {
namespace platform {

namespace {

struct StackedWork {
    void (*work)(void*);
    void* context;
};

DWORD WINAPI runStackedWork(LPVOID argument) {
    const StackedWork* stacked = static_cast<const StackedWork*>(argument);
    stacked->work(stacked->context);
    return 0;
}

}  // namespace

uint32_t currentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

void sleepFor(uint32_t milliseconds) {
    // Sleep treats 0xFFFFFFFF as "for ever"; the largest finite pause is one less.
    ::Sleep(milliseconds == INFINITE ? INFINITE - 1 : milliseconds);
}

bool runWithStack(size_t stackBytes, void (*work)(void*), void* context) {
    StackedWork stacked{work, context};
    // The size reserves address space; pages are committed as the stack grows.
    HANDLE thread =
        ::CreateThread(nullptr, stackBytes, runStackedWork, &stacked, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return false;
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    return true;
}

}  // namespace platform
}  // namespace Brolix
