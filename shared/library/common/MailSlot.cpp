// The mail slot channel's policy, the same on every system: the writers' guard
// and how long to try for it, how long a write may wait for room, when to open
// and reopen the slot, and the error codes and messages. The system's slot calls
// are in platform/MailSlot.h.
#include "MailSlot.h"

#include <cctype>
#include <chrono>
#include <map>
#include <new>
#include <thread>

#include "IPCException.h"
#include "Monopoly.h"
#include "platform/MailSlot.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

using Clock = std::chrono::steady_clock;

const char LOCAL_PREFIX[] = "\\\\.\\mailslot\\";
const char BROADCAST_PREFIX[] = "\\\\*\\mailslot\\";
const char GUARD_NAME[] = "Brolix_MailSlot";

const intptr_t INVALID_HANDLE = platform::INVALID_SLOT;

// The system's text for an error code without trailing line ends or bytes outside
// printable ASCII; the first character always stays.
std::string systemMessage(int code) {
    std::string text = platform::systemErrorText(code);
    while (text.size() > 1) {
        const unsigned char last = static_cast<unsigned char>(text.back());
        if (last >= 32 && last < 128) break;
        text.pop_back();
    }
    return text;
}

// The flag that tells whether this process's last write to a slot ran out of
// time. One per slot path (in lower case, as names compare), kept for the life of
// the process: a program talks to few slots.
std::atomic<bool>* stallFlagOf(const std::string& path) {
    static std::mutex* const lock = new std::mutex;
    static auto* const flags = new std::map<std::string, std::unique_ptr<std::atomic<bool>>>;
    std::string key = path;
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> hold(*lock);
    std::unique_ptr<std::atomic<bool>>& flag = (*flags)[key];
    if (!flag) flag.reset(new std::atomic<bool>(false));
    return flag.get();
}

// A slot that could not be made or opened: the security settings' failures are
// the same for receivers and senders; the system's refusal of the slot itself is
// `refused` with `message`.
[[noreturn]] void throwSlotFailure(platform::SlotFailure failure, int error, uint32_t refused,
                                   const std::string& message) {
    if (failure == platform::SlotFailure::SECURITY_MEMORY) {
        BROLIX_THROW(IPCException, IPCException::IC_MEM, "Error code " + std::to_string(error));
    }
    if (failure == platform::SlotFailure::SECURITY_SETUP) {
        BROLIX_THROW(IPCException, IPCException::IC_CANNOT_CREATE_COMM,
                     "Error code " + std::to_string(error));
    }
    BROLIX_THROW(IPCException, refused, message);
}

}  // namespace

std::string MailSlot::slotPath(int32_t mode, const std::string& name) {
    return (mode == SENDER_BROADCAST ? BROADCAST_PREFIX : LOCAL_PREFIX) + name;
}

MailSlot::MailSlot(int32_t mode, const std::string& name)
    : IPC(mode), m_handle(INVALID_HANDLE), m_name(name) {
    try {
        m_guard.reset(new Monopoly(GUARD_NAME));
        if (m_mode != RECEIVER) m_stalled = stallFlagOf(slotPath(m_mode, m_name));
    } catch (const std::bad_alloc&) {
        BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
    }
    if (m_mode != RECEIVER) return;

    platform::SlotFailure failure;
    int error = 0;
    m_handle = platform::createSlot(slotPath(RECEIVER, m_name), failure, error);
    if (m_handle != INVALID_HANDLE) return;
    throwSlotFailure(failure, error, IPCException::IC_CANNOT_CREATE_COMM, std::to_string(error));
}

MailSlot::~MailSlot() {
    m_guard.reset();
    closeHandle();
}

void MailSlot::closeHandle() {
    platform::closeSlot(m_handle);
    m_handle = INVALID_HANDLE;
}

void MailSlot::openSender() {
    platform::SlotFailure failure;
    int error = 0;
    m_handle = platform::openSlot(slotPath(m_mode, m_name), failure, error);
    if (m_handle != INVALID_HANDLE) return;
    throwSlotFailure(failure, error, IPCException::IC_CANNOT_SEND, systemMessage(error));
}

// Holders keep the writers' guard for one write, so only a stuck holder makes the
// wait run out; the datagram then goes out without the guard, which the system
// keeps whole anyway. A guard the system refuses (its lock folder unusable) is
// not waited for at all.
void MailSlot::acquireGuard() {
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(GUARD_WAIT_MS);
    for (int tries = 0; !m_guard->enforce(); ++tries) {
        if (m_guard->refusedBySystem() || Clock::now() >= giveUp) return;
        if (tries < 100) {
            std::this_thread::yield();
        } else {
            platform::sleepFor(1);
        }
    }
}

bool MailSlot::send(const std::string& text) {
    if (m_mode == RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_SENDER, "");
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_handle == INVALID_HANDLE) openSender();

    acquireGuard();
    // After a write that ran out of time, a slot that is still full fails at once:
    // its receiver has stopped reading, and waiting again for every message would
    // only slow the sender down.
    const bool stalled = m_stalled->load(std::memory_order_relaxed);
    int error = 0;
    // The text and its terminating zero byte, as one datagram.
    const platform::SlotWrite result =
        platform::writeSlot(m_handle, text.c_str(), text.size() + 1, stalled ? 0 : WRITE_WAIT_MS, error);
    const bool released = m_guard->relax();
    if (result == platform::SlotWrite::WRITTEN) {
        if (stalled) m_stalled->store(false, std::memory_order_relaxed);
        return released;
    }
    if (result == platform::SlotWrite::TIMED_OUT && !stalled)
        m_stalled->store(true, std::memory_order_relaxed);
    closeHandle();
    std::string message = "Error " + std::to_string(error);
    if (platform::isNetworkUnreachable(error)) message += " - No network";
    BROLIX_THROW(IPCException, IPCException::IC_CANNOT_SEND, message);
}

void MailSlot::receive(std::vector<std::string>& messages) {
    if (m_mode != RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_RECEIVER, "");
    std::lock_guard<std::mutex> hold(m_lock);
    for (;;) {
        bool waiting = false;
        size_t size = 0;
        int error = 0;
        if (!platform::nextMessageSize(m_handle, waiting, size, error)) {
            BROLIX_THROW(IPCException, IPCException::IC_CANNOT_RECEIVE, "");
        }
        if (!waiting) return;
        std::string buffer;
        try {
            buffer.resize(size + 1);
        } catch (const std::bad_alloc&) {
            BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
        } catch (const std::length_error&) {
            BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
        }
        size_t length = 0;
        if (!platform::readSlot(m_handle, &buffer[0], buffer.size(), length, error)) {
            BROLIX_THROW(IPCException, IPCException::IC_CANNOT_RECEIVE, "");
        }
        buffer.resize(length);
        const size_t zero = buffer.find('\0');
        if (zero != std::string::npos) buffer.resize(zero);
        messages.push_back(std::move(buffer));
    }
}

}  // namespace Brolix
