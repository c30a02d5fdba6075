// The mail slot channel of the Windows build, before its transport exists: no
// receiver can be made, and every send fails the way a send to an absent service
// does (IC_CANNOT_SEND), so a program that reports to the central logging service
// runs on and drops its messages quietly. The error code given is the system's
// ERROR_CALL_NOT_IMPLEMENTED.
#include <windows.h>

#include <new>

#include "IPCException.h"
#include "MailSlot.h"
#include "Monopoly.h"

namespace Brolix {

namespace {

const char LOCAL_PREFIX[] = "\\\\.\\mailslot\\";
const char BROADCAST_PREFIX[] = "\\\\*\\mailslot\\";
const intptr_t INVALID_HANDLE = -1;

}  // namespace

std::string MailSlot::slotPath(int32_t mode, const std::string& name) {
    return (mode == SENDER_BROADCAST ? BROADCAST_PREFIX : LOCAL_PREFIX) + name;
}

MailSlot::MailSlot(int32_t mode, const std::string& name)
    : IPC(mode), m_handle(INVALID_HANDLE), m_name(name) {
    try {
        m_guard.reset(new Monopoly("Brolix_MailSlot"));
    } catch (const std::bad_alloc&) {
        BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
    }
    if (m_mode == RECEIVER) {
        BROLIX_THROW(IPCException, IPCException::IC_CANNOT_CREATE_COMM,
                     std::to_string(ERROR_CALL_NOT_IMPLEMENTED));
    }
}

MailSlot::~MailSlot() {
    m_guard.reset();
    closeHandle();
}

void MailSlot::closeHandle() { m_handle = INVALID_HANDLE; }

void MailSlot::openSender() {
    BROLIX_THROW(IPCException, IPCException::IC_CANNOT_SEND,
                 "Error " + std::to_string(ERROR_CALL_NOT_IMPLEMENTED));
}

bool MailSlot::send(const std::string&) {
    if (m_mode == RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_SENDER, "");
    openSender();
    return false;
}

void MailSlot::receive(std::vector<std::string>&) {
    if (m_mode != RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_RECEIVER, "");
}

}  // namespace Brolix
