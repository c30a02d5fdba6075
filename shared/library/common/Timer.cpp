#include "Timer.h"

#include "platform/Thread.h"

namespace Brolix {

void sleepMilliseconds(uint32_t milliseconds) { platform::sleepFor(milliseconds); }

}  // namespace Brolix
