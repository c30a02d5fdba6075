// The clock and the host's zone come from the C runtime, as on every Windows
// program of the family: _tzset, _time64, _localtime64_s, _gmtime64_s, _mktime64.
// The 64-bit forms cover the whole 32-bit range the time classes keep, and more.
//
// The runtime reads the zone from the TZ variable when it is set, and understands
// only the POSIX-like form "EST5EDT" there; without TZ it takes the system's zone.
// It refuses instants before 1970, which localTime and utcTime then report.
#include "platform/Clock.h"

#include <time.h>

namespace Brolix {
namespace platform {

void initTimeZone() { ::_tzset(); }

int64_t currentTime() { return static_cast<int64_t>(::_time64(nullptr)); }

bool localTime(int64_t seconds, std::tm& fields) {
    const __time64_t t = static_cast<__time64_t>(seconds);
    return ::_localtime64_s(&fields, &t) == 0;
}

bool utcTime(int64_t seconds, std::tm& fields) {
    const __time64_t t = static_cast<__time64_t>(seconds);
    return ::_gmtime64_s(&fields, &t) == 0;
}

int64_t makeLocalTime(std::tm& fields) { return static_cast<int64_t>(::_mktime64(&fields)); }

}  // namespace platform
}  // namespace Brolix
