/// The calling thread's identity and a plain pause, as the operating system
/// provides them.
#pragma once

#include <cstdint>

namespace Brolix {
namespace platform {

/// The kernel's id of the calling thread.
uint32_t currentThreadId();

/// Suspends the calling thread for at least `milliseconds`.
void sleepFor(uint32_t milliseconds);

}  // namespace platform
}  // namespace Brolix
