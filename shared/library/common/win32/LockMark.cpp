// Lock files on Windows. A holder makes its lock file with CREATE_NEW (which
// fails when the name exists) and keeps that handle open without sharing
// deletion: nobody can remove the lock file while the holder runs, and the
// system closes the handle when the holder's process ends however it ends. The
// content is written through the handle before anybody can open the file for
// deletion; other programs may read it meanwhile (the holder shares reading and
// writing, as the C runtime does).
//
// A probe opens the lock file for deletion, sharing everything: the system
// refuses while a holder keeps its handle (a sharing violation), and grants it
// once the holder is gone. Removing the probed file is a mark for deletion on
// the probe's own handle, so it can only ever remove that very file. A holder
// that gives its lock up closes its handle first and then removes the name only
// if it still names its own file (by volume serial and file index), since a
// probe may have removed it and another writer made a new one in between.
#include "platform/LockMark.h"

#include <windows.h>

#include "platform/FileSystem.h"
#include "platform/NativePath.h"
#include "win32/HandleIdentity.h"

namespace Brolix {
namespace platform {

namespace {

constexpr DWORD CONTENT_LIMIT = 4096;


std::string readContent(HANDLE file) {
    std::string content(CONTENT_LIMIT, '\0');
    DWORD done = 0;
    while (done < CONTENT_LIMIT) {
        DWORD n = 0;
        OVERLAPPED at = {};
        at.Offset = done;
        if (!::ReadFile(file, &content[done], CONTENT_LIMIT - done, &n, &at) || n == 0) break;
        done += n;
    }
    content.resize(done);
    return content;
}

bool markForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

}  // namespace

struct LockMark::State {
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string native;
    FileIdentity identity;

    void close() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
};

LockMark::LockMark() : m_state(new State) {}

LockMark::~LockMark() { m_state->close(); }

bool LockMark::marked() const { return m_state->file != INVALID_HANDLE_VALUE; }

LockMark::Result LockMark::take(const std::string& path, const std::string& content, const std::string&) {
    State& s = *m_state;
    s.close();
    s.native = toNativePath(path);
    s.file = ::CreateFileA(s.native.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == INVALID_HANDLE_VALUE) {
        m_error = ::GetLastError();
        // A name that exists, or one whose file is being deleted this moment.
        FileStatus status;
        const bool exists = m_error == ERROR_FILE_EXISTS || m_error == ERROR_ALREADY_EXISTS ||
                            m_error == ERROR_SHARING_VIOLATION ||
                            (m_error == ERROR_ACCESS_DENIED && findFirstFile(path, status));
        return exists ? EXISTS : FAILED;
    }
    DWORD written = 0;
    const bool whole = ::WriteFile(s.file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                       written == content.size() && identityOf(s.file, s.identity);
    if (!whole) {
        m_error = ::GetLastError();
        markForDeletion(s.file);
        s.close();
        return FAILED;
    }
    return TAKEN;
}

bool LockMark::release() {
    State& s = *m_state;
    if (s.file == INVALID_HANDLE_VALUE) return true;
    s.close();
    const HANDLE file =
        ::CreateFileA(s.native.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        m_error = ::GetLastError();
        return m_error == ERROR_FILE_NOT_FOUND || m_error == ERROR_PATH_NOT_FOUND;
    }
    FileIdentity found;
    bool gone = true;
    if (identityOf(file, found) && found == s.identity) {
        gone = markForDeletion(file);
        if (!gone) m_error = ::GetLastError();
    }
    ::CloseHandle(file);
    return gone;
}

struct LockProbe::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;

    void close() {
        if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
};

LockProbe::LockProbe() : m_handle(new Handle) {}

LockProbe::~LockProbe() { m_handle->close(); }

LockProbe::State LockProbe::probe(const std::string& path) {
    Handle& h = *m_handle;
    h.close();
    m_content.clear();
    const std::string native = toNativePath(path);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    h.file = ::CreateFileA(native.c_str(), DELETE | GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h.file != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(h.file, &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            h.close();
            return UNKNOWN;
        }
        m_content = readContent(h.file);
        return FREE;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return NONE;
    if (error != ERROR_SHARING_VIOLATION) return UNKNOWN;
    // Held: its content can still be read beside the holder.
    const HANDLE reader = ::CreateFileA(native.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (reader != INVALID_HANDLE_VALUE) {
        m_content = readContent(reader);
        ::CloseHandle(reader);
    }
    return HELD;
}

bool LockProbe::removeProbed() {
    Handle& h = *m_handle;
    if (h.file == INVALID_HANDLE_VALUE) return false;
    const bool removed = markForDeletion(h.file);
    h.close();
    return removed;
}

struct FileHold::Handle {
    HANDLE file = INVALID_HANDLE_VALUE;
};

FileHold::FileHold() : m_handle(new Handle) {}

FileHold::~FileHold() { close(); }

bool FileHold::open(const std::string& path) {
    close();
    // Shared for reading and writing, not for deletion: as long as the handle
    // is open, the file cannot be removed or renamed.
    const HANDLE file = ::CreateFileA(toNativePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        ::GetFileType(file) != FILE_TYPE_DISK) {
        ::CloseHandle(file);
        return false;
    }
    m_handle->file = file;
    return true;
}

void FileHold::close() {
    if (m_handle->file != INVALID_HANDLE_VALUE) ::CloseHandle(m_handle->file);
    m_handle->file = INVALID_HANDLE_VALUE;
}

}  // namespace platform
}  // namespace Brolix
