// The lock's handle against the documented contract of LockFileEx, which wants a
// handle with GENERIC_READ or GENERIC_WRITE access. An emulation that locks
// through any handle would let a handle with less access pass; the access the
// system granted the handle is read back instead (NtQueryObject).
#include "platform/FileLock.h"

#include <windows.h>

#include <winternl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestDirectory.h"
#include "platform/FileSystem.h"

using namespace Brolix::platform;
using Brolix::test::TestDirectory;

namespace {

typedef NTSTATUS(NTAPI* QueryObject)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// The access granted to each of this process's handles that are open on the
// file at `path`.
std::vector<ACCESS_MASK> grantedAccessOfHandlesOn(const std::string& path) {
    std::vector<ACCESS_MASK> found;
    FileIdentity wanted;
    if (!fileIdentity(path, wanted)) return found;
    QueryObject query = nullptr;
    const FARPROC address = ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryObject");
    static_assert(sizeof query == sizeof address, "function pointers of one size");
    std::memcpy(&query, &address, sizeof query);
    if (query == nullptr) return found;
    for (uintptr_t value = 4; value < 0x10000; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!::GetHandleInformation(handle, &flags) || ::GetFileType(handle) != FILE_TYPE_DISK) continue;
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(handle, &info)) continue;
        const uint64_t index = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
        if (info.dwVolumeSerialNumber != wanted.volume || index != wanted.index) continue;
        PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
        if (query(handle, ObjectBasicInformation, &basic, sizeof basic, nullptr) == 0)
            found.push_back(basic.GrantedAccess);
    }
    return found;
}

TEST(Win32FileLockTest, TheLocksHandleHasTheAccessLockingNeeds) {
    TestDirectory folder;
    const std::string path = folder.file("shared.log");
    FileLock lock(path);
    ASSERT_EQ(lock.tryLock(), FileLock::ACQUIRED);
    const std::vector<ACCESS_MASK> granted = grantedAccessOfHandlesOn(path);
    ASSERT_EQ(granted.size(), 1u) << "the lock's own handle is the only one on the file";
    const bool reads = (granted[0] & FILE_GENERIC_READ) == FILE_GENERIC_READ;
    const bool writes = (granted[0] & FILE_GENERIC_WRITE) == FILE_GENERIC_WRITE;
    EXPECT_TRUE(reads || writes) << "granted access 0x" << std::hex << granted[0];
    EXPECT_TRUE(lock.unlock());
}

}  // namespace
