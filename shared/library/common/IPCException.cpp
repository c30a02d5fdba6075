#include "IPCException.h"

namespace Brolix {

namespace {
// Descriptions indexed by code; a null slot is a code without a description.
const char* const kDescriptions[] = {
    "No exception!",  // IC_NONE
    "Cannot find message file for IPC.",  // IC_NO_MESSAGE_FILE
    "Unable to create communication channel.",  // IC_CANNOT_CREATE_COMM
    "Receiver cannot send.",  // IC_NOT_SENDER
    "Sender cannot receive.",  // IC_NOT_RECEIVER
    "Unable to send message.",  // IC_CANNOT_SEND
    "Unable to receive messages.",  // IC_CANNOT_RECEIVE
    "Out of memory.",  // IC_MEM
};
}  // namespace

IPCException::~IPCException() = default;

std::string IPCException::describe() const {
    return describeAs("IPC", lookupDescription(kDescriptions, sizeof kDescriptions / sizeof *kDescriptions, code()));
}

int IPCException::family() const { return 4; }

}  // namespace Brolix
