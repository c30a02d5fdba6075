#include "LogMessenger.h"

#include "LogEntry.h"

namespace Brolix {

LogMessenger::LogMessenger() = default;

LogMessenger::~LogMessenger() = default;

bool LogMessenger::log(const std::string& wireText) {
    LogEntry entry;
    if (!parseEntry(wireText, entry)) return false;
    // No log agent is attached to this messenger, so there is nowhere to write the line.
    return false;
}

}  // namespace Brolix
