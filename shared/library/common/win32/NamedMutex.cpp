// Named locks are Win32 named mutexes that exist only while somebody holds them,
// the form every program of the family uses for its guards:
//
//  - Taking: CreateMutexW with initial ownership. The caller that creates the
//    mutex owns it. When the name exists already, the call hands back the
//    existing mutex without ownership and says ERROR_ALREADY_EXISTS: somebody
//    holds the lock, and the handle is closed at once. This also excludes a
//    second object of the same name in the same process and on the same thread,
//    which waiting on one shared mutex would not (a mutex is recursive per
//    thread). A mutex of the name that this account may not open
//    (ERROR_ACCESS_DENIED) was made by a holder in another account: busy too.
//  - Giving up: ReleaseMutex, then CloseHandle. With the last handle the name
//    disappears, and the next creator becomes the first owner.
//  - A holder that dies: the system closes its handles, and with them the name.
//  - Only the thread that took the lock can release it (the system refuses with
//    ERROR_NOT_OWNER); the lock then stays held by this object.
//
// The name. Guards are the whole machine's, so the mutex lives in the "Global\"
// namespace, which every session shares (a service in session 0 and a program in
// a user's session meet there). A bare name would be the session's own. When
// the account may not make objects there at all (asked once per process, by
// making a mutex of a name of its own there), the session's namespace is used
// instead: the guard then excludes only the programs that fell back the same
// way. Otherwise a refusal of a guard's name is always a holder in another
// account (deciding by the name itself would let a holder that lets go in that
// instant send this process into the session's namespace beside the next
// holder). Any other refusal fails the lock.
//
// Guards are named after files, and Windows file names ignore letter case, so
// the name is folded to upper case the way the system folds file names
// (LCMapStringEx with the invariant locale and LCMAP_UPPERCASE, on the name read
// in the active code page): "ArdwenDebug.log" and "ardwendebug.log" are one
// guard. A backslash in an object name would name another namespace, so each one
// becomes "_".
#include "platform/NamedMutex.h"

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace Brolix {
namespace platform {

namespace {

const wchar_t GLOBAL_PREFIX[] = L"Global\\";

/// Whether this process may make objects in the global namespace.
bool mayCreateGlobal() {
    static const bool may = [] {
        const std::wstring probe =
            std::wstring(GLOBAL_PREFIX) + L"BROLIX_GUARD_PROBE_" + std::to_wstring(::GetCurrentProcessId());
        const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, probe.c_str());
        if (mutex == nullptr) return ::GetLastError() != ERROR_ACCESS_DENIED;
        ::CloseHandle(mutex);
        return true;
    }();
    return may;
}

// The name as the system knows it, without its namespace; empty when the
// name cannot be read in the active code page.
std::wstring objectName(const std::string& name) {
    if (name.empty()) return std::wstring();
    const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(),
                                             static_cast<int>(name.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name.data(), static_cast<int>(name.size()), &wide[0],
                          length);
    std::wstring folded(wide.size(), L'\0');
    const int mapped = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                                       static_cast<int>(wide.size()), &folded[0],
                                       static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (mapped == static_cast<int>(wide.size())) wide = folded;
    std::replace(wide.begin(), wide.end(), L'\\', L'_');
    return wide;
}

}  // namespace

struct NamedMutex::State {
    std::wstring name;
    bool readable = true;
    HANDLE mutex = nullptr;
};

NamedMutex::NamedMutex(const std::string& name) : m_state(new State) {
    m_state->name = objectName(name);
    m_state->readable = !name.empty() && !m_state->name.empty();
}

NamedMutex::~NamedMutex() {
    if (m_state->mutex == nullptr) return;
    ::ReleaseMutex(m_state->mutex);
    ::CloseHandle(m_state->mutex);
}

NamedMutex::Result NamedMutex::tryLock() {
    State& s = *m_state;
    if (s.mutex != nullptr) return ACQUIRED;
    if (!s.readable) return FAILED;
    const std::wstring name = mayCreateGlobal() ? GLOBAL_PREFIX + s.name : s.name;
    HANDLE mutex = ::CreateMutexW(nullptr, TRUE, name.c_str());
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
