#include "TimeSpan.h"

#include <limits>

#include "TimeException.h"

namespace Brolix {

namespace {
// 24855 days is the largest whole number of days that fits in the 32-bit value.
const int32_t kMaxDays = 24855;
}  // namespace

TimeSpan& TimeSpan::operator=(const TimeBase& other) {
    m_value = other.value();
    return *this;
}

TimeSpan::~TimeSpan() = default;

void TimeSpan::setParts(int32_t days, int32_t hours, int32_t minutes, int32_t seconds) {
    if (days < -kMaxDays || days > kMaxDays) BROLIX_THROW(TimeException, TimeException::TM_DAYS, "");
    // Negative parts are rejected along with the large ones: the unsigned value of
    // a negative part is out of range.
    if (static_cast<uint32_t>(hours) > 23) BROLIX_THROW(TimeException, TimeException::TM_HOURS, "");
    if (static_cast<uint32_t>(minutes) > 59) BROLIX_THROW(TimeException, TimeException::TM_MINUTES, "");
    if (static_cast<uint32_t>(seconds) > 59) BROLIX_THROW(TimeException, TimeException::TM_SECONDS, "");
    const int64_t total = static_cast<int64_t>(days) * 86400 + hours * 3600 + minutes * 60 + seconds;
    // Only the largest day counts can carry the sum past the top of the range.
    if (total > std::numeric_limits<int32_t>::max()) BROLIX_THROW(TimeException, TimeException::TM_DAYS, "");
    m_value = static_cast<int32_t>(total);
}

}  // namespace Brolix
