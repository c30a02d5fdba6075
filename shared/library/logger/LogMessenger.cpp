#include "LogMessenger.h"

#include <new>

#include "LogEntry.h"
#include "LoggerAgentFile.h"
#include "ThreadScratch.h"
#include "TimeException.h"

namespace Brolix {

namespace {

/// Where lines go until the program names its debug log: the working directory.
const char* const DEFAULT_LOG_FILE = "Brolix_Debug.log";

}  // namespace

LogMessenger::LogMessenger() : m_agent(new (std::nothrow) LoggerAgentFile) {
    if (!m_agent.isNull()) fileAgent()->setFile(DEFAULT_LOG_FILE);
}

LogMessenger::~LogMessenger() { m_agent.release(); }

bool LogMessenger::setLogFile(const std::string& path) {
    LoggerAgentFile* agent = fileAgent();
    return agent != nullptr && agent->setFile(path);
}

bool LogMessenger::log(const std::string& wireText) {
    ThreadScratch<LogEntry> entry;
    if (!parseEntry(wireText, *entry)) return false;
    try {
        const std::string line = formatLine(*entry);
        return !m_agent.isNull() && m_agent->write(line);
    } catch (const TimeException& e) {
        TimeException located(e);
        located.addLocation("LogMessenger.cpp", 101);
        return !m_agent.isNull() && m_agent->write(located.fullText());
    }
}

LoggerAgentFile* LogMessenger::fileAgent() const {
    // The constructor makes the only agent a messenger ever has: a file agent.
    return m_agent.isNull() ? nullptr : static_cast<LoggerAgentFile*>(m_agent.get());
}

}  // namespace Brolix
