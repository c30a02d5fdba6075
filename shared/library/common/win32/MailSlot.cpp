// The mail slot calls of the Windows build, before its transport exists: no
// receiving slot can be made and no slot can be opened, each refused with the
// system's ERROR_CALL_NOT_IMPLEMENTED, so a program that reports to the central
// logging service runs on and drops its messages quietly (the channel reports the
// failed open as IC_CANNOT_SEND, which its client turns into a false result).
#include "platform/MailSlot.h"

#include <windows.h>

namespace Brolix {
namespace platform {

SlotHandle createSlot(const std::string&, SlotFailure& failure, int& error) {
    failure = SlotFailure::REFUSED;
    error = ERROR_CALL_NOT_IMPLEMENTED;
    return INVALID_SLOT;
}

SlotHandle openSlot(const std::string&, SlotFailure& failure, int& error) {
    failure = SlotFailure::REFUSED;
    error = ERROR_CALL_NOT_IMPLEMENTED;
    return INVALID_SLOT;
}

SlotWrite writeSlot(SlotHandle, const char*, size_t, uint32_t, int& error) {
    error = ERROR_INVALID_HANDLE;
    return SlotWrite::FAILED;
}

bool nextMessageSize(SlotHandle, bool& waiting, size_t& size, int&) {
    waiting = false;
    size = 0;
    return true;
}

bool readSlot(SlotHandle, char*, size_t, size_t&, int& error) {
    error = ERROR_INVALID_HANDLE;
    return false;
}

void closeSlot(SlotHandle) {}

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
