/// LoggerCentre stands between the logger units and the messenger: one per
/// process, it stamps every entry with the application number, turns it into
/// its wire text and hands the text to its messenger.
///
/// The centre shares the messenger; releasing the centre's last holder
/// therefore tears down the messenger and whatever it owns. Units refer to the
/// centre without a share. The centre locks nothing; any thread may call log.
#pragma once

#include <cstdint>

#include "LogMessenger.h"
#include "SmartPointer.h"

namespace Brolix {

struct LogEntry;

class LoggerCentre {
public:
    /// Takes a share of `messenger`, which may be empty.
    LoggerCentre(int32_t application, SmartPointer<LogMessenger> messenger);
    LoggerCentre(const LoggerCentre&) = delete;
    LoggerCentre& operator=(const LoggerCentre&) = delete;
    /// Gives the centre's share of the messenger back first.
    virtual ~LoggerCentre();

    /// Writes the application number into `entry` and hands its wire text to the
    /// messenger; false without a messenger. Exceptions from the messenger pass
    /// through.
    bool log(LogEntry& entry);

    int32_t application() const { return m_application; }

private:
    int32_t m_application;
    SmartPointer<LogMessenger> m_messenger;
};

}  // namespace Brolix
