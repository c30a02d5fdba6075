// GetCurrentThreadId and Sleep. The thread id is read from the thread's own
// block in user space, so it needs no cache.
#include "platform/Thread.h"

#include <windows.h>

namespace Brolix {
namespace platform {

uint32_t currentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

void sleepFor(uint32_t milliseconds) {
    // Sleep treats 0xFFFFFFFF as "for ever"; the largest finite pause is one less.
    ::Sleep(milliseconds == INFINITE ? INFINITE - 1 : milliseconds);
}

}  // namespace platform
}  // namespace Brolix
