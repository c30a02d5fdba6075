// Stop requests are the console's control events (SetConsoleCtrlHandler): Ctrl+C,
// Ctrl+Break, the closing of the console and shutdown. The system runs the
// handler on a thread of its own and ends the process once the handler returns
// from a close or shutdown event, so for those the handler keeps waiting: the
// program ends by itself meanwhile (or the system ends it after its grace
// period). A logoff is not a request to stop: the system sends it only to
// programs that outlive the session (run as a service or a scheduled task), and
// for them it may be any user's logoff; interactive programs end with their
// session anyway.
#include "platform/StopRequest.h"

#include <windows.h>

namespace Brolix {
namespace platform {

namespace {

std::atomic<int>* g_flag = nullptr;

BOOL WINAPI onControlEvent(DWORD event) {
    if (event == CTRL_LOGOFF_EVENT) return TRUE;  // handled: the program goes on
    if (g_flag != nullptr) g_flag->store(1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(10000);
    return TRUE;
}

}  // namespace

void watchStopRequests(std::atomic<int>* flag) {
    g_flag = flag;
    ::SetConsoleCtrlHandler(onControlEvent, TRUE);
}

}  // namespace platform
}  // namespace Brolix
