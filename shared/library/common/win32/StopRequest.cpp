// Stop requests are the console's control events (SetConsoleCtrlHandler): Ctrl+C,
// Ctrl+Break, the closing of the console, logoff and shutdown. The system runs the
// handler on a thread of its own and ends the process once the handler returns
// from a close, logoff or shutdown event, so for those the handler keeps waiting:
// the program ends by itself meanwhile (or the system ends it after its grace
// period).
#include "platform/StopRequest.h"

#include <windows.h>

namespace Brolix {
namespace platform {

namespace {

volatile std::sig_atomic_t* g_flag = nullptr;

BOOL WINAPI onControlEvent(DWORD event) {
    if (g_flag != nullptr) *g_flag = 1;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(10000);
    return TRUE;
}

}  // namespace

void watchStopRequests(volatile std::sig_atomic_t* flag) {
    g_flag = flag;
    ::SetConsoleCtrlHandler(onControlEvent, TRUE);
}

}  // namespace platform
}  // namespace Brolix
