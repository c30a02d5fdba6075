/// Suspending the calling thread for a short, fixed time.
#pragma once

#include <cstdint>

namespace Brolix {

/// Suspends the calling thread for at least `milliseconds`.
void sleepMilliseconds(uint32_t milliseconds);

}  // namespace Brolix
