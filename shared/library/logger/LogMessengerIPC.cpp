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

LogMessengerIPC::~LogMessengerIPC() { delete m_client.exchange(nullptr); }

IPCClient* LogMessengerIPC::client() {
    IPCClient* current = m_client.load(std::memory_order_acquire);
    if (current != nullptr) return current;
    IPCClient* made = new (std::nothrow) IPCClient(CORE_ENDPOINT);
    if (made == nullptr) return nullptr;
    // Two threads with their first messages at once: the first to install its
    // client wins, the other uses that one and gives its own back.
    if (m_client.compare_exchange_strong(current, made, std::memory_order_acq_rel)) return made;
    delete made;
    return current;
}

bool LogMessengerIPC::log(const std::string& wireText) {
    const bool written = LogMessenger::log(wireText);
    if (isDebugEntry(wireText)) return written;
    try {
        IPCClient* const sender = client();
        if (sender == nullptr) return false;
        // A send that fails (no service listening) is not the chain's failure.
        sender->sendRequest(LOG_REQUEST, "", wireText, "");
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
