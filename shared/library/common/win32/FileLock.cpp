// File locks on Windows are LockFileEx locks on a handle the object opens for
// itself. A lock conflicts with every other handle's lock of the same range, in
// this process or another, and the system drops it when the handle closes or the
// process ends. Windows locks keep other handles from reading and writing the
// range they cover, so the lock covers one byte far beyond any end of file: it
// binds only those who ask for it, and writers of the file go on as before.
//
// LockFileEx needs a handle opened with GENERIC_READ or GENERIC_WRITE: other
// access (appending alone, or attributes) is refused by Windows, even where an
// emulation lets it pass. The handle asks for reading, which a file that may only
// be appended to may still refuse; it then asks for writing.
#include "platform/FileLock.h"

#include <windows.h>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

namespace {

// The locked byte: near the top of the 64-bit range, where no file reaches.
const DWORD LOCK_OFFSET_HIGH = 0x7FFFFFFF;
const DWORD LOCK_OFFSET_LOW = 0;

OVERLAPPED lockRange() {
    OVERLAPPED range = {};
    range.Offset = LOCK_OFFSET_LOW;
    range.OffsetHigh = LOCK_OFFSET_HIGH;
    return range;
}

}  // namespace

struct FileLock::State {
    std::string path;
    HANDLE file = INVALID_HANDLE_VALUE;
    bool locked = false;
};

FileLock::FileLock(const std::string& path) : m_state(new State) { m_state->path = toNativePath(path); }

FileLock::~FileLock() {
    // Closing the handle gives the lock up.
    if (m_state->file != INVALID_HANDLE_VALUE) ::CloseHandle(m_state->file);
}

FileLock::Result FileLock::tryLock() {
    State& s = *m_state;
    if (s.locked) return ACQUIRED;
    if (s.file == INVALID_HANDLE_VALUE) {
        const DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        s.file = ::CreateFileA(s.path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (s.file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
            s.file = ::CreateFileA(s.path.c_str(), GENERIC_WRITE, sharing, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (s.file == INVALID_HANDLE_VALUE) return FAILED;
    }
    OVERLAPPED range = lockRange();
    if (::LockFileEx(s.file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        s.locked = true;
        return ACQUIRED;
    }
    return ::GetLastError() == ERROR_LOCK_VIOLATION ? BUSY : FAILED;
}

bool FileLock::unlock() {
    State& s = *m_state;
    if (!s.locked) return true;
    OVERLAPPED range = lockRange();
    if (!::UnlockFileEx(s.file, 0, 1, 0, &range)) return false;
    s.locked = false;
    return true;
}

}  // namespace platform
}  // namespace Brolix
