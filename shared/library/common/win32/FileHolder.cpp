// Who holds a file open, as the system's Restart Manager tells it: a session of
// its own (RmStartSession), the file registered as its one resource
// (RmRegisterResources, wide path read in the active code page), the list of
// processes that use it (RmGetList), and the session ended again. Each process
// is named by the application name the manager gives (in the active code page)
// and its number. Any refusal on the way gives "": the caller says nothing then.
#include "platform/FileSystem.h"

#include <windows.h>

#include <restartmanager.h>

#include <vector>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(),
                                             static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring result(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &result[0],
                          length);
    return result;
}

std::string narrow(const wchar_t* text) {
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string result(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, -1, &result[0], length, nullptr, nullptr);
    result.resize(static_cast<size_t>(length - 1));
    return result;
}

}  // namespace

std::string fileHolder(const std::string& path) {
    const std::wstring file = wide(toNativePath(path));
    if (file.empty()) return std::string();
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (::RmStartSession(&session, 0, key) != ERROR_SUCCESS) return std::string();
    std::string holders;
    LPCWSTR files[] = {file.c_str()};
    if (::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> found(4);
        for (int attempt = 0; attempt < 4; ++attempt) {
            UINT needed = 0;
            UINT count = static_cast<UINT>(found.size());
            DWORD reasons = 0;
            const DWORD rc = ::RmGetList(session, &needed, &count, found.data(), &reasons);
            if (rc == ERROR_MORE_DATA) {
                found.resize(static_cast<size_t>(needed) + 4);
                continue;
            }
            if (rc != ERROR_SUCCESS) break;
            for (UINT i = 0; i < count && i < found.size(); ++i) {
                if (!holders.empty()) holders += ", ";
                std::string name = narrow(found[i].strAppName);
                if (name.empty()) name = "a program";
                holders += name + " (process " + std::to_string(found[i].Process.dwProcessId) + ")";
            }
            break;
        }
    }
    ::RmEndSession(session);
    return holders;
}

}  // namespace platform
}  // namespace Brolix
