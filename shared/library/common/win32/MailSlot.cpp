// The system's mail slots: CreateMailslotA for the receiver (a security
// descriptor with a null access list, so that anyone may write; read timeout 0,
// so that reading never waits), CreateFileA for a sender, GetMailslotInfo and
// ReadFile to drain, WriteFile to send, FormatMessageA for the system's words.
//
// A sender's handle is opened for overlapped writes: a write that the system
// cannot complete at once is waited for until its deadline and then cancelled
// (CancelIoEx), so a receiver that stops reading never holds a sender for good.
#include "platform/MailSlot.h"

#include <windows.h>

namespace Brolix {
namespace platform {

namespace {

HANDLE handleOf(SlotHandle slot) { return reinterpret_cast<HANDLE>(slot); }
SlotHandle slotOf(HANDLE handle) { return reinterpret_cast<SlotHandle>(handle); }

}  // namespace

SlotHandle createSlot(const std::string& path, SlotFailure& failure, int& error) {
    failure = SlotFailure::NONE;
    auto* descriptor = static_cast<PSECURITY_DESCRIPTOR>(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (descriptor == nullptr) {
        failure = SlotFailure::SECURITY_MEMORY;
        error = static_cast<int>(::GetLastError());
        return INVALID_SLOT;
    }
    if (!::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !::SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        failure = SlotFailure::SECURITY_SETUP;
        error = static_cast<int>(::GetLastError());
        ::LocalFree(descriptor);
        return INVALID_SLOT;
    }
    SECURITY_ATTRIBUTES attributes;
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    const HANDLE slot = ::CreateMailslotA(path.c_str(), 0, 0, &attributes);
    error = static_cast<int>(::GetLastError());
    ::LocalFree(descriptor);
    if (slot == INVALID_HANDLE_VALUE) {
        failure = SlotFailure::REFUSED;
        return INVALID_SLOT;
    }
    return slotOf(slot);
}

SlotHandle openSlot(const std::string& path, SlotFailure& failure, int& error) {
    failure = SlotFailure::NONE;
    const HANDLE slot =
        ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (slot == INVALID_HANDLE_VALUE) {
        failure = SlotFailure::REFUSED;
        error = static_cast<int>(::GetLastError());
        return INVALID_SLOT;
    }
    return slotOf(slot);
}

SlotWrite writeSlot(SlotHandle slot, const char* data, size_t size, uint32_t waitMilliseconds, int& error) {
    if (size > MAXDWORD) {
        error = ERROR_INVALID_PARAMETER;
        return SlotWrite::FAILED;
    }
    const HANDLE handle = handleOf(slot);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        error = static_cast<int>(::GetLastError());
        return SlotWrite::FAILED;
    }
    SlotWrite result = SlotWrite::WRITTEN;
    DWORD written = 0;
    if (!::WriteFile(handle, data, static_cast<DWORD>(size), &written, &overlapped)) {
        error = static_cast<int>(::GetLastError());
        if (error != ERROR_IO_PENDING) {
            result = SlotWrite::FAILED;
        } else if (::WaitForSingleObject(overlapped.hEvent, waitMilliseconds) == WAIT_OBJECT_0) {
            if (!::GetOverlappedResult(handle, &overlapped, &written, FALSE)) {
                error = static_cast<int>(::GetLastError());
                result = SlotWrite::FAILED;
            }
        } else {
            // Out of time: cancel the write and wait for the cancellation to end
            // it, since the system owns `overlapped` until then. A write that
            // completed meanwhile stands.
            ::CancelIoEx(handle, &overlapped);
            if (!::GetOverlappedResult(handle, &overlapped, &written, TRUE)) {
                error = static_cast<int>(::GetLastError());
                result = error == ERROR_OPERATION_ABORTED ? SlotWrite::TIMED_OUT : SlotWrite::FAILED;
                if (result == SlotWrite::TIMED_OUT) error = WAIT_TIMEOUT;
            }
        }
    }
    ::CloseHandle(overlapped.hEvent);
    if (result == SlotWrite::WRITTEN && written != size) {
        error = ERROR_WRITE_FAULT;
        result = SlotWrite::FAILED;
    }
    return result;
}

bool nextMessageSize(SlotHandle slot, bool& waiting, size_t& size, int& error) {
    DWORD next = 0;
    if (!::GetMailslotInfo(handleOf(slot), nullptr, &next, nullptr, nullptr)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    waiting = next != MAILSLOT_NO_MESSAGE;
    size = waiting ? next : 0;
    return true;
}

bool readSlot(SlotHandle slot, char* buffer, size_t capacity, size_t& length, int& error) {
    DWORD got = 0;
    const DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    if (!::ReadFile(handleOf(slot), buffer, room, &got, nullptr)) {
        error = static_cast<int>(::GetLastError());
        return false;
    }
    length = got;
    return true;
}

void closeSlot(SlotHandle slot) {
    if (slot != INVALID_SLOT) ::CloseHandle(handleOf(slot));
}

std::string systemErrorText(int error) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message(text != nullptr ? text : "", length);
    if (text != nullptr) ::LocalFree(text);
    if (message.empty()) message = "Error " + std::to_string(error);
    return message;
}

bool isNetworkUnreachable(int error) { return error == ERROR_NETWORK_UNREACHABLE; }

}  // namespace platform
}  // namespace Brolix
