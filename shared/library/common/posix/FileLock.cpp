// File locks on Linux are flock locks on a descriptor the object opens for
// itself. They belong to the open file description, so two objects exclude each
// other also inside one process, and they leave reads and writes through other
// descriptors alone. The descriptor is kept open between locks: taking and giving
// up the lock is then one system call each.
#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

struct FileLock::State {
    std::string path;
    int fd = -1;
    bool locked = false;
};

FileLock::FileLock(const std::string& path) : m_state(new State) { m_state->path = toNativePath(path); }

FileLock::~FileLock() {
    // Closing the only descriptor of the description gives the lock up.
    if (m_state->fd >= 0) ::close(m_state->fd);
}

FileLock::Result FileLock::tryLock() {
    State& s = *m_state;
    if (s.locked) return ACQUIRED;
    if (s.fd < 0) {
        s.fd = ::open(s.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (s.fd < 0) return FAILED;
    }
    for (;;) {
        if (::flock(s.fd, LOCK_EX | LOCK_NB) == 0) {
            s.locked = true;
            return ACQUIRED;
        }
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? BUSY : FAILED;
    }
}

bool FileLock::unlock() {
    State& s = *m_state;
    if (!s.locked) return true;
    if (::flock(s.fd, LOCK_UN) != 0) return false;
    s.locked = false;
    return true;
}

}  // namespace platform
}  // namespace Brolix
