#include "IPCClient.h"

#include <new>

#include "IPCException.h"
#include "MailSlot.h"

namespace Brolix {

IPCClient::IPCClient(const std::string& endpoint) : m_endpoint(endpoint) {}

IPCClient::~IPCClient() = default;

std::string IPCClient::frameRequest(const std::string& request, const std::string& second,
                                    const std::string& third, const std::string& fourth) {
    std::string text = "Brolix";
    text += ESCAPE;
    text += request;
    text += ESCAPE;
    text += second;
    text += ESCAPE;
    text += third;
    text += ESCAPE;
    if (!fourth.empty()) {
        text += fourth;
        text += ESCAPE;
    }
    return text;
}

bool IPCClient::sendText(const std::string& text) {
    if (!m_channel) {
        try {
            m_channel.reset(new MailSlot(IPC::SENDER, m_endpoint));
        } catch (const IPCException& caught) {
            IPCException e(caught);
            e.addLocation(__FILE__, __LINE__);
            throw e;
        } catch (const std::bad_alloc&) {
            throw IPCException(IPCException::IC_MEM);
        }
    }
    try {
        return m_channel->send(text);
    } catch (const IPCException& caught) {
        // The service may simply not be there; the channel stays and reopens the
        // slot on the next send.
        IPCException e(caught);
        e.addLocation(__FILE__, __LINE__);
        return false;
    }
}

bool IPCClient::sendRequest(const std::string& request, const std::string& second, const std::string& third,
                            const std::string& fourth) {
    try {
        return sendText(frameRequest(request, second, third, fourth));
    } catch (const IPCException& caught) {
        IPCException e(caught);
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
}

}  // namespace Brolix
