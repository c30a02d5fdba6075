// systemd starts a service as an ordinary process: the work runs at once, stop
// requests are SIGINT and SIGTERM, and readiness goes to the manager's
// notification socket when it gave one (NOTIFY_SOCKET).
#include "platform/Service.h"

#include <systemd/sd-daemon.h>

#include "platform/StopRequest.h"

namespace Brolix {
namespace platform {

ServiceRun runAsService(const std::string&, const ServiceWork& work, int& status, std::string&) {
    static std::atomic<int> stop{0};
    stop.store(0);
    watchStopRequests(&stop);
    status = work(stop, [] { sd_notify(0, "READY=1"); });
    return ServiceRun::Ran;
}

}  // namespace platform
}  // namespace Brolix
