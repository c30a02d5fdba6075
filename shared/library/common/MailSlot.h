/// MailSlot is the named datagram channel of the library. A receiver (mode 0)
/// creates the slot at construction and owns its name on this machine; a sender
/// opens the slot on its first send and again after any failed send, so a sender
/// made before its receiver exists, or one whose receiver went away and came back,
/// keeps working. Every message travels as one datagram: the bytes of the text and
/// one terminating zero byte, nothing else. Writers on one machine are serialised
/// by the named guard "Brolix_MailSlot".
///
/// Slot paths are "\\.\mailslot\" + name on this machine and "\\*\mailslot\" +
/// name for a broadcasting sender (mode 2). Slot names compare without regard to
/// case.
///
/// Every failure is an IPCException; see send and receive. One thread uses an
/// object at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "IPC.h"

namespace Brolix {

class Monopoly;

class MailSlot : public IPC {
public:
    /// Creates the guard and, for a receiver, the slot. Throws IC_MEM when the
    /// guard cannot be made and IC_CANNOT_CREATE_COMM (message: the system error
    /// code) when the slot cannot be created, for example because another
    /// receiver owns the name.
    MailSlot(int32_t mode, const std::string& name);
    ~MailSlot() override;
    MailSlot(const MailSlot&) = delete;
    MailSlot& operator=(const MailSlot&) = delete;

    /// Sends `text` as one datagram. Throws IC_NOT_SENDER on a receiver,
    /// IC_CANNOT_SEND (message: the system's text) when the slot cannot be opened
    /// (no receiver) and IC_CANNOT_SEND (message: "Error " and the system error
    /// code) when the write fails; the next send opens the slot again.
    bool send(const std::string& text) override;
    /// Drains the slot without waiting. Throws IC_NOT_RECEIVER on a sender,
    /// IC_CANNOT_RECEIVE when reading fails and IC_MEM when a message does not fit
    /// in memory.
    void receive(std::vector<std::string>& messages) override;

    const std::string& name() const { return m_name; }

    /// The path a channel of `mode` uses for the slot `name`.
    static std::string slotPath(int32_t mode, const std::string& name);

private:
    void openSender();
    void closeHandle();

    intptr_t m_handle;  ///< the slot or the open slot file; -1 when not open
    std::string m_name;
    std::unique_ptr<Monopoly> m_guard;
};

}  // namespace Brolix
