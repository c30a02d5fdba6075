// New files of a safe update on Windows. The file is made with _sopen_s and
// _O_EXCL (any entry of the name fails the call) and held open by the C runtime,
// which does not share deletion: while it is held, nobody can remove or rename
// the name. The access list of the target goes onto the file before it holds a
// byte; data reaches the disk with FlushFileBuffers on the held handle. The
// replacement needs the hold given up (the system would refuse to move a file
// open without delete sharing); the name is then checked by identity (volume
// serial and file index) before and after the move.
#include "platform/NewFile.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <sys/stat.h>

#include "platform/NativePath.h"
#include "win32/HandleIdentity.h"

namespace Brolix {
namespace platform {

namespace {


/// Deletes the entry `path` only when it is the file `identity`: the entry is
/// opened for deletion (a link as itself), checked, and marked for deletion
/// through that handle.
void deleteIfSame(const std::string& path, const FileIdentity& identity) {
    const HANDLE file =
        ::CreateFileA(toNativePath(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    FileIdentity found;
    if (identityOf(file, found) && found == identity) {
        FILE_DISPOSITION_INFO disposition;
        disposition.DeleteFile = TRUE;
        ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
    }
    ::CloseHandle(file);
}

}  // namespace

struct NewFile::State {
    int fd = -1;
    bool created = false;
    FileIdentity identity;

    void close() {
        if (fd >= 0) ::_close(fd);
        fd = -1;
    }
};

NewFile::NewFile() : m_state(new State) {}

NewFile::~NewFile() { m_state->close(); }

const FileIdentity& NewFile::identity() const { return m_state->identity; }

bool NewFile::isOpen() const { return m_state->created; }

bool NewFile::create(const std::string& path, const std::string& accessFrom) {
    State& s = *m_state;
    s.close();
    s.created = false;
    m_path = path;
    const std::string native = toNativePath(path);
    const int flags = _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT;
    // Shared with nobody: the file is reached only through this process's
    // duplicates of the handle, so no other process can open it in the moment
    // before its access list is the target's.
    if (native.empty() || ::_sopen_s(&s.fd, native.c_str(), flags, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0) {
        m_error = ::GetLastError();
        s.fd = -1;
        return false;
    }
    const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(s.fd));
    FileStatus status;
    const bool given = accessFrom.empty() || !findFirstFile(accessFrom, status) || copyAccess(accessFrom, path);
    if (!given || !identityOf(file, s.identity)) {
        m_error = ::GetLastError();
        s.close();
        ::DeleteFileA(native.c_str());
        return false;
    }
    s.created = true;
    return true;
}

std::FILE* NewFile::stream(const char* mode) {
    const int fd = duplicate();
    if (fd < 0) return nullptr;
    std::FILE* stream = ::_fdopen(fd, mode);
    if (stream == nullptr) {
        m_error = ::GetLastError();
        ::_close(fd);
    }
    return stream;
}

int NewFile::duplicate() {
    if (m_state->fd < 0) {
        m_error = ERROR_INVALID_HANDLE;
        return -1;
    }
    const int fd = ::_dup(m_state->fd);
    if (fd < 0) m_error = ::GetLastError();
    return fd;
}

bool NewFile::sync() {
    if (m_state->fd < 0) {
        m_error = ERROR_INVALID_HANDLE;
        return false;
    }
    if (::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(m_state->fd)))) return true;
    m_error = ::GetLastError();
    return false;
}

NewFile::Commit NewFile::commit(const std::string& target, bool) {
    State& s = *m_state;
    if (!s.created) {
        m_error = ERROR_INVALID_HANDLE;
        return FAILED;
    }
    // The hold ends here: the system moves no file that is open without delete
    // sharing. From now on the name is checked by identity.
    s.close();
    FileIdentity found;
    if (!fileIdentity(m_path, found, false) || found != s.identity) {
        s.created = false;
        m_error = ERROR_FILE_INVALID;
        return TAKEN_OVER;
    }
    if (!moveFileReplace(m_path, target)) {
        m_error = platform::lastError();
        return FAILED;
    }
    s.created = false;
    if (!fileIdentity(target, found, false) || found != s.identity) {
        m_error = ERROR_FILE_INVALID;
        return TAKEN_OVER;
    }
    return COMMITTED;
}

bool NewFile::syncAll(const std::vector<NewFile*>& files) {
    // Each file's own flush: the system has no pass that covers many files.
    bool synced = true;
    for (NewFile* file : files) {
        if (file != nullptr && file->m_state->fd >= 0 && !file->sync()) synced = false;
    }
    return synced;
}

bool NewFile::syncFolders(const std::vector<std::string>&) {
    // The replacement itself was made with MOVEFILE_WRITE_THROUGH.
    return true;
}

void NewFile::discard() {
    State& s = *m_state;
    s.close();
    if (s.created) deleteIfSame(m_path, s.identity);
    s.created = false;
}

void NewFile::release() {
    m_state->close();
    m_state->created = false;
}

}  // namespace platform
}  // namespace Brolix
