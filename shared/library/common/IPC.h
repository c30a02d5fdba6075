/// IPC is a one-way datagram channel between processes, opened by name: either a
/// receiver that owns the endpoint and drains what has arrived, or a sender that
/// writes one message per send. MailSlot is its implementation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {

class IPC {
public:
    enum Mode : int32_t {
        RECEIVER = 0,
        SENDER = 1,            ///< to the endpoint on this machine
        SENDER_BROADCAST = 2,  ///< to the endpoint of that name on every reachable machine
    };

    /// 0 makes a receiver; 2 a broadcasting sender; any other value a local sender.
    explicit IPC(int32_t mode) : m_mode(mode) {}
    virtual ~IPC();

    /// Sends one message; only for senders.
    virtual bool send(const std::string& text) = 0;
    /// Appends every waiting message to `messages`, oldest first, and returns when
    /// none is left; never waits for one to arrive. Only for receivers.
    virtual void receive(std::vector<std::string>& messages) = 0;

    int32_t mode() const { return m_mode; }
    bool isReceiver() const { return m_mode == RECEIVER; }

protected:
    int32_t m_mode;
};

}  // namespace Brolix
