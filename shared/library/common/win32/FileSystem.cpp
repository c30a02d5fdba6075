// Whole-file services on the system's own calls: FindFirstFileA, GetFullPathNameA,
// FileTimeToSystemTime, GetDriveTypeA, SetFileAttributesA, CopyFileA, MoveFileA,
// MoveFileExA, DeleteFileA and FlushFileBuffers. Error codes are GetLastError's, kept per thread at
// the failing call (other calls in between would overwrite the system's own).
//
// Attributes are translated bit by bit between the system's FILE_ATTRIBUTE_*
// values and the library's. Times of directory entries are FILETIMEs (100 ns
// since 1601) and become seconds since 1970.
#include "platform/FileSystem.h"

#include <windows.h>

#include <aclapi.h>
#include <io.h>

#include <cerrno>

#include <vector>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

namespace {

thread_local uint32_t t_lastError = 0;

bool fail(DWORD error) {
    t_lastError = static_cast<uint32_t>(error);
    return false;
}

bool failWithLastError() { return fail(::GetLastError()); }

struct AttributePair {
    uint16_t library;
    DWORD system;
};

const AttributePair ATTRIBUTES[] = {
    {ATTR_ARCHIVE, FILE_ATTRIBUTE_ARCHIVE},     {ATTR_COMPRESSED, FILE_ATTRIBUTE_COMPRESSED},
    {ATTR_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY}, {ATTR_ENCRYPTED, FILE_ATTRIBUTE_ENCRYPTED},
    {ATTR_HIDDEN, FILE_ATTRIBUTE_HIDDEN},       {ATTR_OFFLINE, FILE_ATTRIBUTE_OFFLINE},
    {ATTR_READONLY, FILE_ATTRIBUTE_READONLY},   {ATTR_SYSTEM, FILE_ATTRIBUTE_SYSTEM},
    {ATTR_TEMPORARY, FILE_ATTRIBUTE_TEMPORARY}, {ATTR_NORMAL, FILE_ATTRIBUTE_NORMAL},
    {ATTR_SPARSE, FILE_ATTRIBUTE_SPARSE_FILE},
};

// The FILETIME of 1970-01-01 00:00:00 UTC, and its unit per second.
const int64_t EPOCH_1970 = 116444736000000000LL;
const int64_t TICKS_PER_SECOND = 10000000LL;

int64_t toSeconds(const FILETIME& time) {
    const int64_t ticks =
        static_cast<int64_t>(static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
    const int64_t since1970 = ticks - EPOCH_1970;
    // Whole seconds, rounded down also before 1970.
    return since1970 >= 0 ? since1970 / TICKS_PER_SECOND
                          : -((-since1970 + TICKS_PER_SECOND - 1) / TICKS_PER_SECOND);
}

}  // namespace

bool findFirstFile(const std::string& path, FileStatus& status) {
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA(toNativePath(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return failWithLastError();
    ::FindClose(search);
    status = FileStatus();
    status.size = static_cast<uint64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow;
    for (const AttributePair& a : ATTRIBUTES) {
        if (found.dwFileAttributes & a.system) status.attributes |= a.library;
    }
    status.created = toSeconds(found.ftCreationTime);
    status.accessed = toSeconds(found.ftLastAccessTime);
    status.modified = toSeconds(found.ftLastWriteTime);
    return true;
}

// Unless the program may use long paths (its manifest says longPathAware and the
// system has long paths enabled), the system's ANSI call forms paths of at most
// MAX_PATH characters; a longer one is refused (ERROR_FILENAME_EXCED_RANGE) and
// gives "", like the calls that would use it. Where long paths are allowed, the
// buffer grows to the length the call asks for.
std::string fullPathName(const std::string& path) {
    if (path.empty()) return std::string();
    const std::string native = toNativePath(path);
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetFullPathNameA(native.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (length == 0) {
            fail(::GetLastError());
            return std::string();
        }
        // Too small: the length needed, zero included, came back instead.
        if (length < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(length);
    }
}

bool toSystemTime(int64_t seconds, SystemTime& time) {
    // A FILETIME counts from 1601 and has 63 usable bits.
    if (seconds < -EPOCH_1970 / TICKS_PER_SECOND || seconds > (INT64_MAX - EPOCH_1970) / TICKS_PER_SECOND) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    const int64_t ticks = seconds * TICKS_PER_SECOND + EPOCH_1970;
    FILETIME file;
    file.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
    file.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    SYSTEMTIME system;
    if (!::FileTimeToSystemTime(&file, &system)) return failWithLastError();
    time.year = system.wYear;
    time.month = system.wMonth;
    time.day = system.wDay;
    time.hour = system.wHour;
    time.minute = system.wMinute;
    time.second = system.wSecond;
    return true;
}

uint32_t driveType(const std::string& drive) {
    // The system wants the root directory, "C:\"; callers name the drive "C:".
    std::string root = toNativePath(drive);
    if (!root.empty() && root.back() != '\\' && root.back() != '/') root += '\\';
    return static_cast<uint32_t>(::GetDriveTypeA(root.c_str()));
}

bool setFileAttributes(const std::string& path, uint16_t attributes) {
    const uint16_t settable = ATTR_ARCHIVE | ATTR_HIDDEN | ATTR_OFFLINE | ATTR_READONLY | ATTR_SYSTEM |
                              ATTR_TEMPORARY | ATTR_NORMAL;
    DWORD system = 0;
    for (const AttributePair& a : ATTRIBUTES) {
        if (attributes & settable & a.library) system |= a.system;
    }
    if (!::SetFileAttributesA(toNativePath(path).c_str(), system)) return failWithLastError();
    return true;
}

bool copyFile(const std::string& source, const std::string& destination, bool failIfExists) {
    if (!::CopyFileA(toNativePath(source).c_str(), toNativePath(destination).c_str(),
                     failIfExists ? TRUE : FALSE))
        return failWithLastError();
    return true;
}

bool moveFile(const std::string& source, const std::string& destination) {
    if (!::MoveFileA(toNativePath(source).c_str(), toNativePath(destination).c_str()))
        return failWithLastError();
    return true;
}

// Replacing a file is one rename, MoveFileExA with MOVEFILE_REPLACE_EXISTING: on
// one volume the system swaps the name over in a single step, so that a reader
// finds the old data or the new, whole, and never no file; a process that dies
// on the way leaves one of the two. (The system's ReplaceFileA is no such step:
// its documentation names a failure after which the replaced file is gone, and
// under Wine readers found the name missing and a file half there while it ran.)
//
// What belongs to the replaced file rather than to its data is given to the new
// file first, so that an update changes the content alone: its access list, its
// creation time, and the attributes it shows (hidden, system, not indexed).
// Each is carried where the system lets this process do it; the read-only
// attribute is not carried, as a read-only file is not replaced.
//
// The data is made durable first (FlushFileBuffers through a handle of its own,
// where the source may be opened for writing; a failed flush stops the move);
// the move itself writes through.
bool moveFileReplace(const std::string& source, const std::string& destination) {
    const std::string from = toNativePath(source);
    const std::string to = toNativePath(destination);
    const HANDLE data = ::CreateFileA(from.c_str(), GENERIC_WRITE | WRITE_DAC,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (data != INVALID_HANDLE_VALUE) {
        const bool flushed = ::FlushFileBuffers(data) != 0;
        const DWORD flushError = ::GetLastError();
        WIN32_FILE_ATTRIBUTE_DATA replaced;
        if (flushed && ::GetFileAttributesExA(to.c_str(), GetFileExInfoStandard, &replaced) &&
            (replaced.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            DWORD needed = 0;
            ::GetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
            std::vector<unsigned char> descriptor(needed);
            if (needed > 0 &&
                ::GetFileSecurityA(to.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed)) {
                ::SetKernelObjectSecurity(data, DACL_SECURITY_INFORMATION, descriptor.data());
            }
            ::SetFileTime(data, &replaced.ftCreationTime, nullptr, nullptr);
            const DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
            const DWORD now = ::GetFileAttributesA(from.c_str());
            if (now != INVALID_FILE_ATTRIBUTES && (now & shown) != (replaced.dwFileAttributes & shown)) {
                DWORD wanted = (now & ~shown) | (replaced.dwFileAttributes & shown);
                wanted &= FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE | shown;
                ::SetFileAttributesA(from.c_str(), wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL);
            }
        }
        ::CloseHandle(data);
        if (!flushed) return fail(flushError);
    }
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (!::MoveFileExA(from.c_str(), to.c_str(), flags)) return failWithLastError();
    return true;
}

bool deleteFile(const std::string& path) {
    if (!::DeleteFileA(toNativePath(path).c_str())) return failWithLastError();
    return true;
}

namespace {

/// The owner of the entry `native` itself (a link as the link), copied into
/// `owner`; false when it cannot be read.
bool ownerOf(const std::string& native, std::vector<BYTE>& owner) {
    const HANDLE entry =
        ::CreateFileA(native.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (entry == INVALID_HANDLE_VALUE) return false;
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read = ::GetSecurityInfo(entry, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr,
                                        nullptr, &descriptor) == ERROR_SUCCESS &&
                      sid != nullptr && ::IsValidSid(sid);
    if (read) owner.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + ::GetLengthSid(sid));
    if (descriptor != nullptr) ::LocalFree(descriptor);
    ::CloseHandle(entry);
    return read;
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof known;
    return ::CreateWellKnownSid(type, nullptr, known, &size) && ::EqualSid(sid, known);
}

bool isProcessUser(PSID sid) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    std::vector<BYTE> buffer(256);
    DWORD needed = 0;
    bool same = false;
    if (!::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed) &&
        ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.resize(needed);
    }
    if (::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &needed))
        same = ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid) != 0;
    ::CloseHandle(token);
    return same;
}

/// A link is followed only when this process's account, the administrators,
/// the system or the owner of the folder it sits in made it.
bool trustedLink(const std::string& native) {
    std::vector<BYTE> owner;
    if (!ownerOf(native, owner)) return false;
    const PSID sid = owner.data();
    if (isProcessUser(sid) || isWellKnown(sid, WinBuiltinAdministratorsSid) || isWellKnown(sid, WinLocalSystemSid))
        return true;
    const size_t separator = native.find_last_of("\\/");
    const std::string folder = separator == std::string::npos ? "." : native.substr(0, separator + 1);
    std::vector<BYTE> folderOwner;
    return ownerOf(folder, folderOwner) && ::EqualSid(sid, folderOwner.data());
}

}  // namespace

// A name that is itself a reparse point (a symbolic link) leads to the file the
// system opens through it: the handle's final path (GetFinalPathNameByHandleA),
// without the "\\?\" form the call gives it, so that an update through the
// link replaces the file it leads to and the link stays. A link that leads to
// no file, and every other name, is taken as named; a link that another account
// planted gives "" (only the link under the name is judged: the system follows
// the rest of a chain by itself).
std::string resolveLinks(const std::string& path) {
    const std::string native = toNativePath(path);
    const DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
    if (!trustedLink(native)) {
        fail(ERROR_ACCESS_DENIED);
        return std::string();
    }
    const HANDLE file = ::CreateFileA(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return path;
    std::vector<char> buffer(MAX_PATH + 1);
    DWORD length = 0;
    for (;;) {
        length = ::GetFinalPathNameByHandleA(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length < buffer.size()) break;
        buffer.resize(static_cast<size_t>(length) + 1);
    }
    ::CloseHandle(file);
    if (length == 0) return path;
    std::string target(buffer.data(), length);
    if (target.compare(0, 8, "\\\\?\\UNC\\") == 0) return "\\\\" + target.substr(8);
    if (target.compare(0, 4, "\\\\?\\") == 0) return target.substr(4);
    return target;
}

bool copyAccess(const std::string& source, const std::string& destination) {
    // The access list travels; the owner stays the creator's, as only a
    // privileged process may give a file away.
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION;
    DWORD needed = 0;
    const std::string from = toNativePath(source);
    ::GetFileSecurityA(from.c_str(), what, nullptr, 0, &needed);
    if (needed == 0) return failWithLastError();
    std::vector<unsigned char> descriptor(needed);
    if (!::GetFileSecurityA(from.c_str(), what, descriptor.data(), needed, &needed)) return failWithLastError();
    if (!::SetFileSecurityA(toNativePath(destination).c_str(), what, descriptor.data())) return failWithLastError();
    return true;
}

bool flushFile(const std::string& path) {
    // FlushFileBuffers writes out everything the system holds for the file, from
    // any handle; it needs a handle with write access.
    const HANDLE file = ::CreateFileA(toNativePath(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failWithLastError();
    const bool flushed = ::FlushFileBuffers(file) != 0;
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    return flushed || fail(error);
}

bool fileIdentity(const std::string& path, FileIdentity& identity, bool followLinks) {
    // The handle needs no access to the data: attributes are enough, and every
    // sharing mode lets it open beside any other handle. Directories need
    // FILE_FLAG_BACKUP_SEMANTICS to be opened at all.
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!followLinks) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    const HANDLE file = ::CreateFileA(toNativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failWithLastError();
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = ::GetFileInformationByHandle(file, &info) != 0;
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    if (!known) return fail(error);
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    return true;
}

uint32_t lastError() { return t_lastError; }

int writeAccess(const std::string& nativePath, bool folder) {
    if (folder) return 0;
    return ::_access(nativePath.c_str(), 2) == 0 ? 0 : errno;
}

bool existsNative(const std::string& nativePath) { return ::_access(nativePath.c_str(), 0) == 0; }

}  // namespace platform
}  // namespace Brolix
