#include "platform/Thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace Brolix {
namespace platform {

uint32_t currentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void sleepFor(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace platform
}  // namespace Brolix
