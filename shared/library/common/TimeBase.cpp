#include "TimeBase.h"

#include "TimeException.h"

namespace Brolix {

TimeBase::~TimeBase() = default;

void TimeBase::setValue(int32_t seconds) {
    if (seconds < 0) BROLIX_THROW(TimeException, TimeException::TM_DATETIME, "");
    m_value = seconds;
}

}  // namespace Brolix
