// Named locks are Win32 named mutexes that exist only while somebody holds them,
// the form every program of the family uses for its guards:
//
//  - Taking: CreateMutexA with initial ownership. The caller that creates the
//    mutex owns it. When the name exists already, the call hands back the
//    existing mutex without ownership and says ERROR_ALREADY_EXISTS: somebody
//    holds the lock, and the handle is closed at once. This also excludes a
//    second object of the same name in the same process and on the same thread,
//    which waiting on one shared mutex would not (a mutex is recursive per
//    thread).
//  - Giving up: ReleaseMutex, then CloseHandle. With the last handle the name
//    disappears, and the next creator becomes the first owner.
//  - A holder that dies: the system closes its handles, and with them the name.
//  - Only the thread that took the lock can release it (the system refuses with
//    ERROR_NOT_OWNER); the lock then stays held by this object.
//
// The name is the system's object name in the session's namespace. A backslash
// there would name another namespace, so each one becomes "_".
#include "platform/NamedMutex.h"

#include <windows.h>

#include <algorithm>

namespace Brolix {
namespace platform {

struct NamedMutex::State {
    std::string name;
    HANDLE mutex = nullptr;
};

NamedMutex::NamedMutex(const std::string& name) : m_state(new State) {
    m_state->name = name;
    std::replace(m_state->name.begin(), m_state->name.end(), '\\', '_');
}

NamedMutex::~NamedMutex() {
    if (m_state->mutex == nullptr) return;
    ::ReleaseMutex(m_state->mutex);
    ::CloseHandle(m_state->mutex);
}

NamedMutex::Result NamedMutex::tryLock() {
    State& s = *m_state;
    if (s.mutex != nullptr) return ACQUIRED;
    const HANDLE mutex = ::CreateMutexA(nullptr, TRUE, s.name.c_str());
    if (mutex == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED ? BUSY : FAILED;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(mutex);
        return BUSY;
    }
    s.mutex = mutex;
    return ACQUIRED;
}

bool NamedMutex::unlock() {
    State& s = *m_state;
    if (s.mutex == nullptr) return true;
    if (!::ReleaseMutex(s.mutex)) return false;
    ::CloseHandle(s.mutex);
    s.mutex = nullptr;
    return true;
}

}  // namespace platform
}  // namespace Brolix
