/// The calling thread's identity and a plain pause, as the operating system
/// provides them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Brolix {
namespace platform {

/// The kernel's id of the calling thread.
uint32_t currentThreadId();

/// Suspends the calling thread for at least `milliseconds`.
void sleepFor(uint32_t milliseconds);

/// Runs `work(context)` on a thread whose stack holds at least `stackBytes` and
/// returns when it has finished; calls from several threads may wait for each
/// other. The stack is reserved address space: only what the work touches takes
/// memory. The thread may be kept for later calls. `work` must not throw. False
/// when the system cannot give such a thread; `work` has then not run.
bool runWithStack(size_t stackBytes, void (*work)(void*), void* context);

}  // namespace platform
}  // namespace Brolix
