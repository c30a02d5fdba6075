// The names of the system's devices: a path whose last part is one of them,
// before its first dot and with blanks at its end left out, in any letter case,
// opens the device, in whatever folder it stands ("C:\out\nul.conf" is the null
// device).
#include "platform/FileSystem.h"

#include <cctype>
#include <string>

namespace Brolix {
namespace platform {

bool isDeviceName(const std::string& path) {
    const size_t separator = path.find_last_of("\\/:");
    std::string name = path.substr(separator == std::string::npos ? 0 : separator + 1);
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL" || name == "CONIN$" || name == "CONOUT$")
        return true;
    if (name.size() < 4 || (name.compare(0, 3, "COM") != 0 && name.compare(0, 3, "LPT") != 0)) return false;
    // The number is a digit 1 to 9, or one of the superscripts 1, 2 and 3,
    // which the system takes as digits too (in UTF-8, the programs' code page,
    // or as the single bytes of the Western code page).
    const std::string number = name.substr(3);
    if (number.size() == 1 && number[0] >= '1' && number[0] <= '9') return true;
    for (const char* superscript : {"\xB9", "\xB2", "\xB3"}) {
        if (number == superscript || number == std::string("\xC2") + superscript) return true;
    }
    return false;
}

}  // namespace platform
}  // namespace Brolix
