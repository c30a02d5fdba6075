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
/// A receiver that stops reading cannot hold its senders up: a send waits a short
/// while for room in a full slot and then fails, and once one send of this
/// process to a slot has run out of time, later sends to it fail at once when the
/// slot is still full, until a send gets through again.
///
/// Every failure is an IPCException; see send and receive. Several threads may
/// use one object at once: its sends and drains take turns.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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
    /// code) when the write fails or the slot stays full; the next send opens the
    /// slot again.
    bool send(const std::string& text) override;
    /// Drains the slot without waiting. Throws IC_NOT_RECEIVER on a sender,
    /// IC_CANNOT_RECEIVE when reading fails and IC_MEM when a message does not fit
    /// in memory.
    void receive(std::vector<std::string>& messages) override;

    const std::string& name() const { return m_name; }

    /// The path a channel of `mode` uses for the slot `name`.
    static std::string slotPath(int32_t mode, const std::string& name);

    /// How long a send waits for room in a full slot, and at most for the
    /// writers' guard.
    static constexpr uint32_t WRITE_WAIT_MS = 200;
    static constexpr uint32_t GUARD_WAIT_MS = 250;

private:
    void openSender();
    void closeHandle();
    void acquireGuard();

    intptr_t m_handle;  ///< the slot or the open slot file; -1 when not open
    std::string m_name;
    std::unique_ptr<Monopoly> m_guard;
    /// Whether this process's last write to the slot ran out of time; shared by
    /// every MailSlot of this process that sends to the same slot.
    std::atomic<bool>* m_stalled = nullptr;
    /// Lets one thread at a time send or drain through this object.
    std::mutex m_lock;
};

}  // namespace Brolix
