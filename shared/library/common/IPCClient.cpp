#include "IPCClient.h"

#include <cstring>
#include <new>

#include "IPCException.h"
#include "MailSlot.h"

namespace Brolix {

IPCClient::IPCClient(const std::string& endpoint) : m_endpoint(endpoint) {}

IPCClient::~IPCClient() = default;

namespace {

/// Appends one field and its ESCAPE, with an ESCAPE or a zero byte inside the
/// text written as a space.
void appendField(std::string& out, const std::string& text) {
    const size_t start = out.size();
    out += text;
    // Texts without either byte, nearly all of them, are only searched.
    if (std::memchr(text.data(), IPCClient::ESCAPE, text.size()) != nullptr ||
        std::memchr(text.data(), '\0', text.size()) != nullptr) {
        for (size_t i = start; i < out.size(); ++i) {
            if (out[i] == IPCClient::ESCAPE || out[i] == '\0') out[i] = ' ';
        }
    }
    out += IPCClient::ESCAPE;
}

}  // namespace

std::string IPCClient::frameRequest(const std::string& request, const std::string& second,
                                    const std::string& third, const std::string& fourth) {
    std::string text = "Brolix";
    text.reserve(request.size() + second.size() + third.size() + fourth.size() + 11);
    text += ESCAPE;
    appendField(text, request);
    appendField(text, second);
    appendField(text, third);
    if (!fourth.empty()) appendField(text, fourth);
    return text;
}

bool IPCClient::hasChannel() const { return m_ready.load(std::memory_order_acquire) != nullptr; }

IPC* IPCClient::channel() {
    IPC* ready = m_ready.load(std::memory_order_acquire);
    if (ready != nullptr) return ready;
    std::lock_guard<std::mutex> hold(m_lock);
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
        m_ready.store(m_channel.get(), std::memory_order_release);
    }
    return m_channel.get();
}

bool IPCClient::sendText(const std::string& text) {
    // Made once, the channel stays until the client goes; its sends take turns.
    IPC* const slot = channel();
    try {
        return slot->send(text);
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
