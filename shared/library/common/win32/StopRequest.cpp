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

#include <cstdio>

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

bool readStandardInput(std::string& text) {
    // Through the C runtime, which turns the console's and pipes' line ends as
    // it does for every reader of standard input. A read that waits is not
    // ended by a stop request here.
    char piece[4096];
    size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, stdin)) > 0) text.append(piece, got);
    return std::ferror(stdin) == 0;
}

}  // namespace platform
}  // namespace Brolix
