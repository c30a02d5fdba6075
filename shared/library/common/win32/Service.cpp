// The service control dispatcher: StartServiceCtrlDispatcher connects the
// process to the service control manager and runs the service's main function
// on a thread of its own, returning when the service has stopped. A process
// that the manager did not start gets ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// (after a short wait on Windows).
#include "platform/Service.h"

#include <windows.h>

#include <atomic>
#include <mutex>

namespace Brolix {
namespace platform {

namespace {

struct ServiceState {
    std::string name;
    const ServiceWork* work = nullptr;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{};
    std::atomic<int> stop{0};
    int result = 0;
    bool started = false;
    std::string error;
};

ServiceState* g_service = nullptr;
// The status is reported from the service's thread and from the manager's
// control calls.
std::mutex g_reportMutex;

// Reports `state` (with the work's `result` when it is SERVICE_STOPPED). The
// manager takes nothing after "stopped", and a stop that is pending does not
// go back to "running": a state that would come out of order is not reported.
void report(DWORD state, int result = 0) {
    std::lock_guard<std::mutex> hold(g_reportMutex);
    const DWORD current = g_service->status.dwCurrentState;
    if (current == SERVICE_STOPPED || (current == SERVICE_STOP_PENDING && state != SERVICE_STOPPED)) return;
    if (state == SERVICE_STOPPED && result != 0) {
        g_service->status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        g_service->status.dwServiceSpecificExitCode = static_cast<DWORD>(result);
    }
    g_service->status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_service->status.dwCurrentState = state;
    g_service->status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_service->status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 5000;
    ::SetServiceStatus(g_service->handle, &g_service->status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            g_service->stop.store(1);
            report(SERVICE_STOP_PENDING);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI serviceMain(DWORD, LPSTR*) {
    g_service->handle = ::RegisterServiceCtrlHandlerExA(g_service->name.c_str(), onControl, nullptr);
    if (g_service->handle == nullptr) {
        g_service->error = "cannot register with the service manager (error " + std::to_string(::GetLastError()) + ")";
        return;
    }
    g_service->started = true;
    report(SERVICE_START_PENDING);
    g_service->result = (*g_service->work)(g_service->stop, [] { report(SERVICE_RUNNING); });
    report(SERVICE_STOPPED, g_service->result);
}

}  // namespace

ServiceRun runAsService(const std::string& name, const ServiceWork& work, int& status, std::string& error) {
    ServiceState state;
    state.name = name;
    state.work = &work;
    g_service = &state;
    SERVICE_TABLE_ENTRYA table[] = {{&state.name[0], serviceMain}, {nullptr, nullptr}};
    const BOOL connected = ::StartServiceCtrlDispatcherA(table);
    const DWORD code = ::GetLastError();
    g_service = nullptr;
    if (!connected) {
        if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return ServiceRun::NotFromTheManager;
        error = "cannot connect to the service manager (error " + std::to_string(code) + ")";
        return ServiceRun::Failed;
    }
    if (!state.started) {
        error = state.error;
        return ServiceRun::Failed;
    }
    status = state.result;
    return ServiceRun::Ran;
}

}  // namespace platform
}  // namespace Brolix
