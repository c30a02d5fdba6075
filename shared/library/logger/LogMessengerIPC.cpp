#include "LogMessengerIPC.h"

#include <new>

#include "IPCClient.h"
#include "IPCException.h"
#include "LogEntry.h"

namespace Brolix {

namespace {

const char* const CORE_ENDPOINT = "Brolix_Core";
const char* const LOG_REQUEST = "LOGMSG";

}  // namespace

LogMessengerIPC::LogMessengerIPC() = default;

LogMessengerIPC::~LogMessengerIPC() {
    delete m_client;
    m_client = nullptr;
}

bool LogMessengerIPC::log(const std::string& wireText) {
    const bool written = LogMessenger::log(wireText);
    if (isDebugEntry(wireText)) return written;
    try {
        if (m_client == nullptr) {
            m_client = new (std::nothrow) IPCClient(CORE_ENDPOINT);
            if (m_client == nullptr) return false;
        }
        // A send that fails (no service listening) is not the chain's failure.
        m_client->sendRequest(LOG_REQUEST, "", wireText, "");
        return written;
    } catch (const IPCException& e) {
        IPCException located(e);
        located.addLocation("LogMessengerIPC.cpp", 50);
        return false;
    } catch (...) {
        return false;
    }
}

}  // namespace Brolix
