// The names of the system's devices: a path whose last part is one of them,
// before its first dot and with blanks at its end left out, in any letter case,
// opens the device, in whatever folder it stands ("C:\out\nul.conf" is the null
// device).
#include "platform/FileSystem.h"

#include <cctype>

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
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

}  // namespace platform
}  // namespace Brolix
