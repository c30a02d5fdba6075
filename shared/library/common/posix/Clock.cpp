#include "platform/Clock.h"

#include <time.h>

namespace Brolix {
namespace platform {

void initTimeZone() { ::tzset(); }

int64_t currentTime() { return static_cast<int64_t>(::time(nullptr)); }

bool localTime(int64_t seconds, std::tm& fields) {
    const time_t t = static_cast<time_t>(seconds);
    return ::localtime_r(&t, &fields) != nullptr;
}

bool utcTime(int64_t seconds, std::tm& fields) {
    const time_t t = static_cast<time_t>(seconds);
    return ::gmtime_r(&t, &fields) != nullptr;
}

int64_t makeLocalTime(std::tm& fields) { return static_cast<int64_t>(::mktime(&fields)); }

}  // namespace platform
}  // namespace Brolix
