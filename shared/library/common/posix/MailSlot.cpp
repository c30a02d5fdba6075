// Mail slots on Linux are unix-domain datagram sockets in the abstract namespace:
// the slot "Name" is the address "\0brolix/mailslot/name" (lower case, since slot
// names compare without regard to case). A receiver binds the address, which also
// makes the name its own on this machine until it closes; a sender connects to it.
// Abstract addresses need no file and no clean-up, vanish with their owner and
// carry no permissions: like an open slot, anyone on the machine may write.
//
// The broadcast form reaches the slot of that name on this machine only.
//
// The kernel keeps datagrams whole and in order, and queues only a few per
// receiver; a write to a full queue waits with poll for room until its deadline.
#include "platform/MailSlot.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace Brolix {
namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

const char* const SLOT_PREFIXES[] = {"\\\\.\\mailslot\\", "\\\\*\\mailslot\\"};
const char ADDRESS_PREFIX[] = "brolix/mailslot/";

// The socket address of a slot path.
socklen_t slotAddress(const std::string& path, sockaddr_un& address) {
    std::string name = path;
    for (const char* prefix : SLOT_PREFIXES) {
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

}  // namespace

SlotHandle createSlot(const std::string& path, SlotFailure& failure, int& error) {
    failure = SlotFailure::NONE;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        failure = SlotFailure::REFUSED;
        error = errno;
        return INVALID_SLOT;
    }
    sockaddr_un address;
    const socklen_t length = slotAddress(path, address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        failure = SlotFailure::REFUSED;
        error = errno;
        ::close(fd);
        return INVALID_SLOT;
    }
    return fd;
}

SlotHandle openSlot(const std::string& path, SlotFailure& failure, int& error) {
    failure = SlotFailure::NONE;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = SlotFailure::REFUSED;
        error = errno;
        return INVALID_SLOT;
    }
    sockaddr_un address;
    const socklen_t length = slotAddress(path, address);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        failure = SlotFailure::REFUSED;
        error = errno;
        ::close(fd);
        return INVALID_SLOT;
    }
    return fd;
}

SlotWrite writeSlot(SlotHandle slot, const char* data, size_t size, uint32_t waitMilliseconds, int& error) {
    const int fd = static_cast<int>(slot);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMilliseconds);
    for (;;) {
        const ssize_t written = ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written == static_cast<ssize_t>(size)) return SlotWrite::WRITTEN;
        if (written >= 0) {
            error = EMSGSIZE;
            return SlotWrite::FAILED;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            return SlotWrite::FAILED;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            error = EAGAIN;
            return SlotWrite::TIMED_OUT;
        }
        pollfd p = {fd, POLLOUT, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

bool nextMessageSize(SlotHandle slot, bool& waiting, size_t& size, int& error) {
    for (;;) {
        const ssize_t next = ::recv(static_cast<int>(slot), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (next >= 0) {
            waiting = true;
            size = static_cast<size_t>(next);
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waiting = false;
            size = 0;
            return true;
        }
        error = errno;
        return false;
    }
}

bool readSlot(SlotHandle slot, char* buffer, size_t capacity, size_t& length, int& error) {
    ssize_t got;
    do {
        got = ::recv(static_cast<int>(slot), buffer, capacity, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        error = errno;
        return false;
    }
    length = static_cast<size_t>(got);
    return true;
}

void closeSlot(SlotHandle slot) {
    if (slot != INVALID_SLOT) ::close(static_cast<int>(slot));
}

std::string systemErrorText(int error) {
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof buffer);
}

bool isNetworkUnreachable(int error) { return error == ENETUNREACH; }

}  // namespace platform
}  // namespace Brolix
