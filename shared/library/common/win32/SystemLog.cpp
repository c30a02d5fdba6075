// The Event Log: one registered event source per writer, opened at the first
// record (RegisterEventSource succeeds also for a source nobody registered;
// the Event Viewer then shows the insertion strings without the words of a
// message file).
#include "platform/SystemLog.h"

#include <windows.h>

#include "EventLogCalls.h"

namespace Brolix {
namespace platform {

EventLogCalls& eventLogCalls() {
    static EventLogCalls calls = {::RegisterEventSourceA, ::ReportEventA, ::DeregisterEventSource};
    return calls;
}

struct SystemLog::Data {
    std::string source;
    std::string destination;
    HANDLE log = nullptr;
};

SystemLog::SystemLog(const std::string& source) : m_data(new Data) { m_data->source = source; }

SystemLog::~SystemLog() {
    if (m_data->log != nullptr) eventLogCalls().deregisterEventSource(m_data->log);
}

const std::string& SystemLog::destination() const { return m_data->destination; }

bool SystemLog::write(const SystemLogRecord& record, std::string& error) {
    if (m_data->log == nullptr) {
        m_data->log = eventLogCalls().registerEventSource(nullptr, m_data->source.c_str());
        if (m_data->log == nullptr) {
            error = "cannot open the Event Log as source " + m_data->source + " (error " +
                    std::to_string(::GetLastError()) + ")";
            return false;
        }
    }
    const WORD type = record.priority <= 3   ? EVENTLOG_ERROR_TYPE
                      : record.priority == 4 ? EVENTLOG_WARNING_TYPE
                                             : EVENTLOG_INFORMATION_TYPE;
    std::vector<std::string> texts;
    texts.reserve(record.fields.size() + 1);
    texts.push_back(record.message);
    for (const auto& field : record.fields) texts.push_back(field.first + "=" + field.second);
    std::vector<LPCSTR> strings;
    for (const std::string& text : texts) strings.push_back(text.c_str());
    if (!eventLogCalls().reportEvent(m_data->log, type, 0, record.eventId, nullptr, static_cast<WORD>(strings.size()),
                                     0, strings.data(), nullptr)) {
        error = "the Event Log refused the event (error " + std::to_string(::GetLastError()) + ")";
        return false;
    }
    m_data->destination = "Event Log";
    return true;
}

}  // namespace platform
}  // namespace Brolix
