/// The Event Log calls of the Windows system log backend, reachable so that a
/// test can put recorders in their place and check the arguments: under Wine
/// the Event Log is a stub that accepts every event and keeps none.
#pragma once

#include <windows.h>

namespace Brolix {
namespace platform {

struct EventLogCalls {
    HANDLE(WINAPI* registerEventSource)(LPCSTR server, LPCSTR source);
    BOOL(WINAPI* reportEvent)(HANDLE log, WORD type, WORD category, DWORD eventId, PSID user, WORD stringCount,
                              DWORD dataSize, LPCSTR* strings, LPVOID data);
    BOOL(WINAPI* deregisterEventSource)(HANDLE log);
};

/// The calls in use; the system's own unless a test replaced them.
EventLogCalls& eventLogCalls();

}  // namespace platform
}  // namespace Brolix
