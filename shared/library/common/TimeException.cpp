#include "TimeException.h"

namespace Brolix {

namespace {
// Descriptions indexed by code; a null slot is a code without a description.
const char* const kDescriptions[] = {
    "No exception!",  // TM_NONE
    "Days out of range: (0 - 24,855).",  // TM_DAYS
    "Hours out of range: (0-23).",  // TM_HOURS
    "Minutes out of range: (0-59).",  // TM_MINUTES
    "Seconds out of range: (0-59).",  // TM_SECONDS
    "Year out of range: (1970 - 2037).",  // TM_YEAR
    "Month out of range: (1 - 12).",  // TM_MONTH
    "Day out of range: (1 - days of the month in question).",  // TM_DAY
    "Illegal date and/or time.",  // TM_DATETIME
    "Illegal date/time. Cannot have date before 01.01.1970 0:00:00!",  // TM_ANCIENT
    "Illegal input format.",  // TM_INPUT
};
}  // namespace

TimeException::~TimeException() = default;

std::string TimeException::describe() const {
    return describeAs("Time", lookupDescription(kDescriptions, sizeof kDescriptions / sizeof *kDescriptions, code()));
}

int TimeException::family() const { return 4; }

}  // namespace Brolix
