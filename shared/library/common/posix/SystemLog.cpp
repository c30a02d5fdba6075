// The journal through libsystemd (sd_journal_sendv: the native protocol, one
// datagram to /run/systemd/journal/socket, values with a line end in the
// protocol's binary form); where that socket is missing, syslog through the C
// library (/dev/log). libsystemd reports a missing journal as success, and
// syslog a missing /dev/log, so the sockets are looked for before each record.
#include "platform/SystemLog.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>

// The entries carry no location in this file (CODE_FILE, CODE_LINE,
// CODE_FUNC): they are the sender's, not the receiver's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cerrno>
#include <cstring>

namespace Brolix {
namespace platform {

namespace {

const char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";
const char SYSLOG_SOCKET[] = "/dev/log";

bool isSocket(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0 && S_ISSOCK(status.st_mode);
}

}  // namespace

struct SystemLog::Data {
    std::string source;
    std::string destination;
    // The tag syslog was opened with: the C library keeps the pointer.
    std::string syslogTag;
    bool syslogOpen = false;
};

SystemLog::SystemLog(const std::string& source) : m_data(new Data) { m_data->source = source; }

SystemLog::~SystemLog() {
    if (m_data->syslogOpen) closelog();
}

const std::string& SystemLog::destination() const { return m_data->destination; }

bool SystemLog::write(const SystemLogRecord& record, std::string& error) {
    const std::string& identifier = record.identifier.empty() ? m_data->source : record.identifier;
    std::vector<std::string> lines;
    lines.reserve(record.fields.size() + 3);
    lines.push_back("MESSAGE=" + record.message);
    lines.push_back("PRIORITY=" + std::to_string(record.priority));
    lines.push_back("SYSLOG_IDENTIFIER=" + identifier);
    for (const auto& field : record.fields) lines.push_back(field.first + "=" + field.second);
    std::vector<iovec> parts(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        parts[i].iov_base = const_cast<char*>(lines[i].data());
        parts[i].iov_len = lines[i].size();
    }
    if (isSocket(JOURNAL_SOCKET)) {
        const int result = sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
        if (result < 0) {
            error = std::string("the journal refused the entry: ") + std::strerror(-result);
            return false;
        }
        m_data->destination = "journal";
        return true;
    }

    // The C library's syslog drops a record without a word when nothing
    // listens: a system without either socket has no log to write to.
    if (!isSocket(SYSLOG_SOCKET)) {
        error = std::string("no system log runs here (neither ") + JOURNAL_SOCKET + " nor " + SYSLOG_SOCKET +
                " is a socket)";
        return false;
    }
    std::string text = record.message;
    for (const auto& field : record.fields) text += " " + field.first + "=" + field.second;
    if (!m_data->syslogOpen || m_data->syslogTag != identifier) {
        if (m_data->syslogOpen) closelog();
        m_data->syslogTag = identifier;
        openlog(m_data->syslogTag.c_str(), LOG_PID, LOG_DAEMON);
        m_data->syslogOpen = true;
    }
    const int priority = record.priority < 0 ? 0 : record.priority > 7 ? 7 : record.priority;
    syslog(LOG_DAEMON | priority, "%s", text.c_str());
    m_data->destination = "syslog";
    return true;
}

}  // namespace platform
}  // namespace Brolix
