// Mail slots on Linux are unix-domain datagram sockets in the abstract namespace:
// the slot "Name" is the address "\0brolix/mailslot/name" (lower case, since slot
// names compare without regard to case). A receiver binds the address, which also
// makes the name its own on this machine until it closes; a sender connects to it.
// Abstract addresses need no file and no clean-up, vanish with their owner and
// carry no permissions: like an open slot, anyone on the machine may write.
//
// A broadcast (mode 2) reaches the slot of that name on this machine only.
//
// The kernel keeps datagrams whole and in order, and queues only a few per
// receiver. A sender whose receiver has a full queue waits a short while for room
// and then reports the write as failed, so a receiver that stopped reading cannot
// hang its senders.
#include "MailSlot.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "IPCException.h"
#include "Monopoly.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

using Clock = std::chrono::steady_clock;

const char LOCAL_PREFIX[] = "\\\\.\\mailslot\\";
const char BROADCAST_PREFIX[] = "\\\\*\\mailslot\\";
const char ADDRESS_PREFIX[] = "brolix/mailslot/";

// How long a sender waits for room in a full receiver queue.
const std::chrono::milliseconds WRITE_WAIT(200);
// How long a sender tries for the writers' guard. Holders keep it for one write,
// so only a stuck holder makes this run out; the datagram then goes out without
// the guard, which the kernel keeps whole anyway.
const std::chrono::milliseconds GUARD_WAIT(250);

const intptr_t INVALID_HANDLE = -1;

// The socket address of a slot path.
socklen_t slotAddress(const std::string& path, sockaddr_un& address) {
    std::string name = path;
    for (const char* prefix : {LOCAL_PREFIX, BROADCAST_PREFIX}) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0) {
            name.erase(0, std::strlen(prefix));
            break;
        }
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    std::string text = ADDRESS_PREFIX;
    const size_t room = sizeof address.sun_path - 1 - text.size();
    if (name.size() <= room) {
        text += name;
    } else {
        // Too long for an address: keep the start and a hash of the whole name.
        uint64_t hash = 14695981039346656037ull;
        for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
        text += name.substr(0, room - 17) + "~" + hex;
    }

    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    address.sun_path[0] = '\0';  // abstract namespace
    std::memcpy(address.sun_path + 1, text.data(), text.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
}

// The system's text for an error code, without trailing line ends or bytes outside
// printable ASCII; the first character always stays.
std::string systemMessage(int code) {
    std::string text = std::strerror(code);
    while (text.size() > 1) {
        const unsigned char last = static_cast<unsigned char>(text.back());
        if (last >= 32 && last < 128) break;
        text.pop_back();
    }
    return text;
}

// Writes one datagram; 0 or the error code.
int writeDatagram(int fd, const std::string& data) {
    const Clock::time_point deadline = Clock::now() + WRITE_WAIT;
    for (;;) {
        const ssize_t written = ::send(fd, data.data(), data.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written == static_cast<ssize_t>(data.size())) return 0;
        if (written >= 0) return EMSGSIZE;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return EAGAIN;
        pollfd p = {fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

}  // namespace

std::string MailSlot::slotPath(int32_t mode, const std::string& name) {
    return (mode == SENDER_BROADCAST ? BROADCAST_PREFIX : LOCAL_PREFIX) + name;
}

MailSlot::MailSlot(int32_t mode, const std::string& name) : IPC(mode), m_handle(INVALID_HANDLE), m_name(name) {
    try {
        m_guard.reset(new Monopoly("Brolix_MailSlot"));
    } catch (const std::bad_alloc&) {
        BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
    }
    if (m_mode != RECEIVER) return;

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) BROLIX_THROW(IPCException, IPCException::IC_CANNOT_CREATE_COMM, std::to_string(errno));
    sockaddr_un address;
    const socklen_t length = slotAddress(slotPath(RECEIVER, m_name), address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        const int error = errno;
        ::close(fd);
        BROLIX_THROW(IPCException, IPCException::IC_CANNOT_CREATE_COMM, std::to_string(error));
    }
    m_handle = fd;
}

MailSlot::~MailSlot() {
    m_guard.reset();
    closeHandle();
}

void MailSlot::closeHandle() {
    if (m_handle != INVALID_HANDLE) ::close(static_cast<int>(m_handle));
    m_handle = INVALID_HANDLE;
}

void MailSlot::openSender() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) BROLIX_THROW(IPCException, IPCException::IC_CANNOT_SEND, systemMessage(errno));
    sockaddr_un address;
    const socklen_t length = slotAddress(slotPath(m_mode, m_name), address);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        BROLIX_THROW(IPCException, IPCException::IC_CANNOT_SEND, systemMessage(error));
    }
    m_handle = fd;
}

bool MailSlot::send(const std::string& text) {
    if (m_mode == RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_SENDER, "");
    if (m_handle == INVALID_HANDLE) openSender();

    const Clock::time_point giveUp = Clock::now() + GUARD_WAIT;
    for (int tries = 0; !m_guard->enforce(); ++tries) {
        if (Clock::now() >= giveUp) break;
        if (tries < 100) {
            std::this_thread::yield();
        } else {
            platform::sleepFor(1);
        }
    }

    // The text and its terminating zero byte, as one datagram.
    const std::string datagram(text.c_str(), text.size() + 1);
    const int error = writeDatagram(static_cast<int>(m_handle), datagram);
    const bool released = m_guard->relax();
    if (error != 0) {
        closeHandle();
        std::string message = "Error " + std::to_string(error);
        if (error == ENETUNREACH) message += " - No network";
        BROLIX_THROW(IPCException, IPCException::IC_CANNOT_SEND, message);
    }
    return released;
}

void MailSlot::receive(std::vector<std::string>& messages) {
    if (m_mode != RECEIVER) BROLIX_THROW(IPCException, IPCException::IC_NOT_RECEIVER, "");
    const int fd = static_cast<int>(m_handle);
    for (;;) {
        // The size of the next datagram, without taking it.
        const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            BROLIX_THROW(IPCException, IPCException::IC_CANNOT_RECEIVE, "");
        }
        std::string buffer;
        try {
            buffer.resize(static_cast<size_t>(size) + 1);
        } catch (const std::bad_alloc&) {
            BROLIX_THROW(IPCException, IPCException::IC_MEM, "");
        }
        ssize_t got;
        do {
            got = ::recv(fd, &buffer[0], buffer.size(), MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        if (got < 0) BROLIX_THROW(IPCException, IPCException::IC_CANNOT_RECEIVE, "");
        buffer.resize(static_cast<size_t>(got));
        const size_t zero = buffer.find('\0');
        if (zero != std::string::npos) buffer.resize(zero);
        messages.push_back(std::move(buffer));
    }
}

}  // namespace Brolix
