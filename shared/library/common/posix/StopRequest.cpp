// Stop requests are SIGINT (Ctrl+C) and SIGTERM.
#include "platform/StopRequest.h"

#include <csignal>

namespace Brolix {
namespace platform {

namespace {

std::atomic<int>* g_flag = nullptr;
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may set the flag");

extern "C" void onStopSignal(int) {
    if (g_flag != nullptr) g_flag->store(1);
}

}  // namespace

void watchStopRequests(std::atomic<int>* flag) {
    g_flag = flag;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

}  // namespace platform
}  // namespace Brolix
