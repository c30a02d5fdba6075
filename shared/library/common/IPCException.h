/// IPCException reports failures of the mail slot channel and the IPC client; its codes are the IC table. Its family number is the same as TimeException's.
#pragma once

#include "Exception.h"

namespace Brolix {

class IPCException : public Exception {
public:
    enum Code : uint32_t {
        IC_NONE = 0,
        IC_NO_MESSAGE_FILE = 1,
        IC_CANNOT_CREATE_COMM = 2,
        IC_NOT_SENDER = 3,
        IC_NOT_RECEIVER = 4,
        IC_CANNOT_SEND = 5,
        IC_CANNOT_RECEIVE = 6,
        IC_MEM = 7,
    };

    explicit IPCException(uint32_t code) : Exception(code) {}
    IPCException(uint32_t code, const std::string& message, const char* sourcePath, int32_t line)
        : Exception(code, message, sourcePath, line) {}
    IPCException(const IPCException&) = default;
    IPCException& operator=(const IPCException&) = default;
    ~IPCException() override;

    std::string describe() const override;
    int family() const override;
};

}  // namespace Brolix
