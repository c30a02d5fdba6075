/// TimeSpan is a signed duration in whole seconds: lock durations and the
/// arithmetic on DateTime values. Negative spans are allowed; the constructors
/// take any value, setParts() checks its parts.
#pragma once

#include <cstdint>

#include "TimeBase.h"

namespace Brolix {

class TimeSpan : public TimeBase {
public:
    TimeSpan() : TimeBase(0) {}
    explicit TimeSpan(int32_t seconds) : TimeBase(seconds) {}
    TimeSpan(const TimeSpan&) = default;
    TimeSpan& operator=(const TimeSpan&) = default;
    /// Copies the seconds of any time value.
    TimeSpan& operator=(const TimeBase& other);
    ~TimeSpan() override;

    /// value = days x 86400 + hours x 3600 + minutes x 60 + seconds. Throws
    /// TimeException on the first part out of range, in this order: days outside
    /// -24855..24855 (TM_DAYS), hours outside 0..23 (TM_HOURS), minutes outside
    /// 0..59 (TM_MINUTES), seconds outside 0..59 (TM_SECONDS). A total beyond the
    /// 32-bit range (24855 days and more than 03:14:07) also throws TM_DAYS. On a
    /// throw the value is unchanged.
    void setParts(int32_t days, int32_t hours, int32_t minutes, int32_t seconds);
};

}  // namespace Brolix
