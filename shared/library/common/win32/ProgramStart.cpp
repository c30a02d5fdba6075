// A program's start on Windows:
//
//  - The console. A console shows the bytes a program writes in its output code
//    page (GetConsoleOutputCP), which is the OEM code page unless somebody set
//    another; the program's texts are in its active code page (GetACP, UTF-8
//    through the manifest). When standard output or error is a console
//    (GetConsoleMode succeeds on it) and the two differ, SetConsoleOutputCP
//    gives the console the program's code page, and an atexit handler gives
//    the console its own back.
//  - The command line. The C runtime makes argv from the system's 8-bit command
//    line, in the active code page; a character that the page lacks becomes "?"
//    or a look-alike. The wide command line (GetCommandLineW, split as the
//    runtime splits it by CommandLineToArgvW) is converted once more, without
//    look-alikes (WC_NO_BEST_FIT_CHARS); a conversion that needs the default
//    character shows an argument that did not arrive whole. UTF-8 carries every
//    character: nothing to check then.
#include "platform/ProgramStart.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

namespace Brolix {
namespace platform {

namespace {

UINT g_consoleCodePage = 0;

void restoreConsole() {
    if (g_consoleCodePage != 0) ::SetConsoleOutputCP(g_consoleCodePage);
}

bool isConsole(DWORD stream) {
    DWORD mode = 0;
    const HANDLE handle = ::GetStdHandle(stream);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool startProgram(std::string& problem) {
    problem.clear();
    const UINT page = ::GetACP();
    if (g_consoleCodePage == 0 && (isConsole(STD_ERROR_HANDLE) || isConsole(STD_OUTPUT_HANDLE))) {
        const UINT shown = ::GetConsoleOutputCP();
        if (shown != 0 && shown != page && ::SetConsoleOutputCP(page)) {
            g_consoleCodePage = shown;
            std::atexit(restoreConsole);
        }
    }
    if (page == CP_UTF8) return true;

    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr) return true;
    for (int i = 1; i < count && problem.empty(); ++i) {
        BOOL defaulted = FALSE;
        const int length =
            ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, arguments[i], -1, nullptr, 0, nullptr, &defaulted);
        if (length <= 0 || !defaulted) continue;
        std::string shown(static_cast<size_t>(length), '\0');
        ::WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, arguments[i], -1, &shown[0], length, nullptr, nullptr);
        shown.resize(static_cast<size_t>(length - 1));
        problem = "the argument \"" + shown + "\" holds characters that the system's code page " +
                  std::to_string(page) + " cannot carry (each shown as \"?\"); nothing was done";
    }
    ::LocalFree(arguments);
    return problem.empty();
}

}  // namespace platform
}  // namespace Brolix
