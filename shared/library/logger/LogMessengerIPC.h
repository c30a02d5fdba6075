/// LogMessengerIPC is the messenger the program uses: it writes every entry to the
/// debug log file like LogMessenger and also forwards every numbered message (not
/// debug texts) as a "LOGMSG" request to the central logging service, over the
/// mail slot "Brolix_Core". Forwarding is one-way and best effort: a service that
/// is not there costs nothing but the failed send, and the next message tries
/// again. The client is made at the first message and owned until destruction.
/// Any thread may log; threads that log their first messages at once still make
/// one client between them.
#pragma once

#include <atomic>
#include <string>

#include "LogMessenger.h"

namespace Brolix {

class IPCClient;

class LogMessengerIPC : public LogMessenger {
public:
    LogMessengerIPC();
    ~LogMessengerIPC() override;

    /// Writes the line (LogMessenger::log, whose exceptions pass through), then
    /// forwards a message entry. Returns whether the line reached the log file;
    /// false also when the client could not be made or raised an exception.
    bool log(const std::string& wireText) override;

private:
    IPCClient* client();

    std::atomic<IPCClient*> m_client{nullptr};
};

}  // namespace Brolix
