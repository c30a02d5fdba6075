/// Mail slots as the operating system serves them: a process owns a receiving
/// slot under a name and drains the messages that arrive there; any process of
/// the machine opens the slot by name and writes one message at a time. Every
/// message arrives whole, in the order it was written, and can be empty.
///
/// Slots are named by their paths, "\\.\mailslot\" and the name on this machine,
/// or "\\*\mailslot\" and the name for the broadcast form; names compare without
/// regard to letter case. These calls translate the system's calls one to one
/// and carry no policy: guards, retries, how long to wait and what to report
/// belong to the caller (MailSlot).
///
/// Failures hand back the system's error code; systemErrorText turns it into the
/// system's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Brolix {
namespace platform {

/// An open slot, receiving or sending; INVALID_SLOT when none.
using SlotHandle = intptr_t;
constexpr SlotHandle INVALID_SLOT = -1;

/// Which step of creating or opening a slot failed.
enum class SlotFailure {
    NONE,
    SECURITY_MEMORY,  ///< no memory for the slot's security settings
    SECURITY_SETUP,   ///< the security settings (anyone may write) were refused
    REFUSED,          ///< the system refused the slot itself (name taken, no such slot)
};

/// Creates the receiving slot at `path` with no size limit of its own. Anyone on
/// the machine may write to it; reading it never waits. A name has one receiver
/// at a time. INVALID_SLOT on failure, with the step and the system's code.
SlotHandle createSlot(const std::string& path, SlotFailure& failure, int& error);

/// Opens the slot at `path` for writing. INVALID_SLOT on failure, with the step
/// and the system's code; a slot without a receiver cannot be opened.
SlotHandle openSlot(const std::string& path, SlotFailure& failure, int& error);

enum class SlotWrite {
    WRITTEN,    ///< the whole message was written
    TIMED_OUT,  ///< the receiver's queue stayed full for the whole wait
    FAILED,     ///< the system refused the write (the receiver went away, no network)
};

/// Writes `size` bytes at `data` as one message. When the receiver's queue is
/// full, waits at most `waitMilliseconds` (0: not at all) for room; the write is
/// then abandoned without a trace. `error` is set unless the result is WRITTEN.
SlotWrite writeSlot(SlotHandle slot, const char* data, size_t size, uint32_t waitMilliseconds, int& error);

/// The size of the next waiting message of a receiving slot, without taking it:
/// true with `waiting` false when none is waiting; false when the system fails.
bool nextMessageSize(SlotHandle slot, bool& waiting, size_t& size, int& error);

/// Takes the next waiting message into `buffer` of `capacity` bytes (at least
/// the size nextMessageSize reported) and sets `length` to its size.
bool readSlot(SlotHandle slot, char* buffer, size_t capacity, size_t& length, int& error);

/// Closes a slot of either kind; INVALID_SLOT is ignored.
void closeSlot(SlotHandle slot);

/// The system's message text for `error`, as the system words it (it may end in
/// line ends or other bytes that are not printable ASCII).
std::string systemErrorText(int error);

/// Whether `error` means that the network cannot be reached.
bool isNetworkUnreachable(int error);

}  // namespace platform
}  // namespace Brolix
