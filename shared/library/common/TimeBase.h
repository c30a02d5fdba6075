/// TimeBase is the common base of points in time (DateTime) and durations
/// (TimeSpan): whole seconds in a signed 32-bit value. A DateTime counts from
/// 1970-01-01 00:00:00 UTC; a TimeSpan is a signed duration. Values of either kind
/// compare by their seconds.
#pragma once

#include <cstdint>

namespace Brolix {

class TimeBase {
public:
    TimeBase() : m_value(0) {}
    TimeBase(const TimeBase&) = default;
    TimeBase& operator=(const TimeBase&) = default;
    virtual ~TimeBase();

    /// Stores `seconds`; a negative value throws TimeException TM_DATETIME and
    /// leaves the value unchanged.
    void setValue(int32_t seconds);
    int32_t value() const { return m_value; }

protected:
    /// Stores any value, without the check of setValue().
    explicit TimeBase(int32_t seconds) : m_value(seconds) {}

    int32_t m_value;
};

inline bool operator==(const TimeBase& a, const TimeBase& b) { return a.value() == b.value(); }
inline bool operator!=(const TimeBase& a, const TimeBase& b) { return a.value() != b.value(); }
inline bool operator<(const TimeBase& a, const TimeBase& b) { return a.value() < b.value(); }
inline bool operator>(const TimeBase& a, const TimeBase& b) { return a.value() > b.value(); }
inline bool operator<=(const TimeBase& a, const TimeBase& b) { return a.value() <= b.value(); }
inline bool operator>=(const TimeBase& a, const TimeBase& b) { return a.value() >= b.value(); }

}  // namespace Brolix
