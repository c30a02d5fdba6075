// Stop requests are SIGINT (Ctrl+C) and SIGTERM.
#include "platform/StopRequest.h"

namespace Brolix {
namespace platform {

namespace {

volatile std::sig_atomic_t* g_flag = nullptr;

extern "C" void onStopSignal(int) {
    if (g_flag != nullptr) *g_flag = 1;
}

}  // namespace

void watchStopRequests(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

}  // namespace platform
}  // namespace Brolix
