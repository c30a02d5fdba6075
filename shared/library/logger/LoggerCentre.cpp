#include "LoggerCentre.h"

#include "LogEntry.h"
#include "ThreadScratch.h"

namespace Brolix {

LoggerCentre::LoggerCentre(int32_t application, SmartPointer<LogMessenger> messenger)
    : m_application(application), m_messenger(messenger) {}

LoggerCentre::~LoggerCentre() { m_messenger.release(); }

bool LoggerCentre::log(LogEntry& entry) {
    entry.application = m_application;
    if (m_messenger.isNull()) return false;
    ThreadScratch<std::string> wireText;
    serializeEntry(entry, *wireText);
    return m_messenger->log(*wireText);
}

}  // namespace Brolix
