/// IPCClient is the sending end a program uses to reach a service process by the
/// name of the service's mail slot. It frames a request of up to four texts into
/// one datagram and sends it over a MailSlot that it opens on first use.
///
/// A send that fails (no service listening, a full or vanished slot) is a false
/// result, never an exception, so an absent service does not disturb the caller;
/// the next send opens the slot again. Only a failure to set the channel up is
/// thrown. Nothing is ever read back.
///
/// Several threads may send through one client at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace Brolix {

class IPC;

class IPCClient {
public:
    /// The separator that ends every field of a request.
    static const char ESCAPE = 27;

    explicit IPCClient(const std::string& endpoint);
    virtual ~IPCClient();
    IPCClient(const IPCClient&) = delete;
    IPCClient& operator=(const IPCClient&) = delete;

    /// Sends `text` as one datagram: true when it was written, false when not.
    /// Throws IPCException when the channel cannot be made.
    bool sendText(const std::string& text);
    /// Sends "Brolix", then the request name, the second and the third text, and
    /// the fourth text only when it is not empty, each field ended by ESCAPE.
    /// Inside a text, an ESCAPE would end its field early for the service and a
    /// zero byte would cut the datagram short: both are sent as a space, so that
    /// every field, and every parameter inside a message's text, stays where it
    /// belongs. Other texts go out byte for byte.
    bool sendRequest(const std::string& request, const std::string& second, const std::string& third,
                     const std::string& fourth);

    /// The datagram text sendRequest sends.
    static std::string frameRequest(const std::string& request, const std::string& second,
                                    const std::string& third, const std::string& fourth);

    const std::string& endpoint() const { return m_endpoint; }
    /// Whether the channel has been made (by the first send).
    bool hasChannel() const;

private:
    IPC* channel();

    std::unique_ptr<IPC> m_channel;
    std::string m_endpoint;
    /// Lets one thread at a time make the channel.
    std::mutex m_lock;
    /// The channel once it is made: later sends need no lock to find it.
    std::atomic<IPC*> m_ready{nullptr};
};

}  // namespace Brolix
