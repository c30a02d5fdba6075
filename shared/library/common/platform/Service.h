/// Running as a service of the system's service manager: started by it,
/// reporting to it when ready, stopped by its request.
///
/// - Linux: systemd runs a service as an ordinary process and asks it to stop
///   with SIGTERM; readiness is told through sd_notify ("READY=1"), which does
///   nothing when the manager asked for no notification. So the work runs at
///   once, with SIGINT and SIGTERM setting the stop flag.
/// - Windows: the process connects to the service control manager
///   (StartServiceCtrlDispatcher); the work runs on the service's thread, the
///   manager's stop and shutdown controls set the stop flag, and the service
///   is reported stopped with the work's status as its service-specific exit
///   code.
#pragma once

#include <atomic>
#include <functional>
#include <string>

namespace Brolix {
namespace platform {

/// The work of a service: it runs until `stop` becomes non-zero, calls `ready`
/// once it serves, and returns its exit status.
using ServiceWork = std::function<int(std::atomic<int>& stop, const std::function<void()>& ready)>;

enum class ServiceRun {
    Ran,                 ///< the work ran; `status` is what it returned
    NotFromTheManager,   ///< Windows: the process was not started by the service manager
    Failed,              ///< the manager refused; `error` says why
};

/// Runs `work` as the service `name`.
ServiceRun runAsService(const std::string& name, const ServiceWork& work, int& status, std::string& error);

}  // namespace platform
}  // namespace Brolix
