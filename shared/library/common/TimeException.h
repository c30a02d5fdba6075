/// TimeException reports failures of time values, spans and date-time text; its codes are the TM table.
#pragma once

#include "Exception.h"

namespace Brolix {

class TimeException : public Exception {
public:
    enum Code : uint32_t {
        TM_NONE = 0,
        TM_DAYS = 1,
        TM_HOURS = 2,
        TM_MINUTES = 3,
        TM_SECONDS = 4,
        TM_YEAR = 5,
        TM_MONTH = 6,
        TM_DAY = 7,
        TM_DATETIME = 8,
        TM_ANCIENT = 9,
        TM_INPUT = 10,
    };

    explicit TimeException(uint32_t code) : Exception(code) {}
    TimeException(uint32_t code, const std::string& message, const char* sourcePath, int32_t line)
        : Exception(code, message, sourcePath, line) {}
    TimeException(const TimeException&) = default;
    TimeException& operator=(const TimeException&) = default;
    ~TimeException() override;

    std::string describe() const override;
    int family() const override;
};

}  // namespace Brolix
