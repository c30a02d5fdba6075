#include "LoggerUnit.h"

#include <atomic>

#include "LogEntry.h"
#include "LoggerCentre.h"
#include "ThreadScratch.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

// Set once at start-up and read on every call; atomics so that a reader on
// another thread is never a data race, at no cost over plain values.
std::atomic<int32_t> g_debugLevel{5};
std::atomic<int32_t> g_messageThreshold{0};
std::atomic<bool> g_agentNotes{true};

const char* const SEVERITY_NAMES[] = {"NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL"};

const char* const UNKNOWN_MODULE = "<<Unknown>>";

/// Module names by number. Only the modules this program meets have names;
/// the other rows belong to programs of the family that do not log here.
const char* const MODULE_NAMES[] = {
    "Core", "Configuration", "Logger", "Protocol", "Time", "Cron", "IPC", nullptr, nullptr, nullptr, "Ardwen",
};

/// Fills every field of an entry but the text; the centre sets the application.
void stampEntry(LogEntry& entry, uint8_t kind, int32_t module, int32_t severity, int32_t level,
                int32_t number) {
    entry.kind = kind;
    entry.application = 0;
    entry.module = module;
    entry.time.setNow();
    entry.severity = severity;
    entry.debugLevel = level;
    entry.messageNumber = number;
    entry.thread = platform::currentThreadId();
}

}  // namespace

void setDebugLevel(int32_t level) {
    if (level >= 0 && level <= 5) g_debugLevel.store(level, std::memory_order_relaxed);
}

int32_t debugLevel() { return g_debugLevel.load(std::memory_order_relaxed); }

void setMessageThreshold(int32_t threshold) {
    if (threshold >= 0 && threshold <= 5) g_messageThreshold.store(threshold, std::memory_order_relaxed);
}

int32_t messageThreshold() { return g_messageThreshold.load(std::memory_order_relaxed); }

void disableAgentNotes() { g_agentNotes.store(false, std::memory_order_relaxed); }

bool agentNotesEnabled() { return g_agentNotes.load(std::memory_order_relaxed); }

std::string moduleName(int32_t module) {
    constexpr int32_t rows = sizeof(MODULE_NAMES) / sizeof(MODULE_NAMES[0]);
    if (module < 0 || module >= rows || MODULE_NAMES[module] == nullptr) return UNKNOWN_MODULE;
    return MODULE_NAMES[module];
}

std::string severityName(int32_t severity) {
    return severity >= 0 && severity <= 4 ? SEVERITY_NAMES[severity] : "";
}

LoggerUnit::LoggerUnit(SmartPointer<LoggerCentre> centre, int32_t module)
    // A holder whose centre was destroyed through another holder counts as empty.
    : m_module(module), m_centre(centre.isNull() ? nullptr : centre.get()) {
    logOwnLine("LoggerUnit: Created logger for the %s module.");
}

LoggerUnit::~LoggerUnit() {
    logOwnLine("LoggerUnit: Destroyed logger for the %s module.");
    m_centre = nullptr;
}

void LoggerUnit::logOwnLine(const char* format) noexcept {
    if (1 > debugLevel()) return;
    try {
        debug(1, format, ParamStream().addText(moduleName(m_module)));
    } catch (...) {
        // The unit's own lines never stop its construction or destruction.
    }
}

bool LoggerUnit::debug(int32_t level, const char* text) {
    if (level > debugLevel()) return true;
    return logDebug(level, text != nullptr ? std::string_view(text) : std::string_view());
}

bool LoggerUnit::debug(int32_t level, const std::string& text) {
    if (level > debugLevel()) return true;
    return logDebug(level, text);
}

bool LoggerUnit::debug(int32_t level, const char* format, ParamStream params) {
    if (level > debugLevel()) return true;
    if (m_centre == nullptr) return false;
    ThreadScratch<LogEntry> entry;
    expandFormat(format != nullptr ? std::string_view(format) : std::string_view(), params.text(), entry->text);
    stampEntry(*entry, LogEntry::KIND_DEBUG, m_module, 0, level, LogEntry::NO_NUMBER);
    return m_centre->log(*entry);
}

bool LoggerUnit::logDebug(int32_t level, std::string_view text) {
    if (m_centre == nullptr) return false;
    ThreadScratch<LogEntry> entry;
    entry->text.assign(text);
    stampEntry(*entry, LogEntry::KIND_DEBUG, m_module, 0, level, LogEntry::NO_NUMBER);
    return m_centre->log(*entry);
}

bool LoggerUnit::notice(int32_t number) {
    if (messageThreshold() > SEVERITY_NOTICE) return true;
    return logMessage(SEVERITY_NOTICE, number, std::string_view());
}

bool LoggerUnit::warning(int32_t number, ParamStream params) {
    if (messageThreshold() > SEVERITY_WARNING) return true;
    return logMessage(SEVERITY_WARNING, number, params.text());
}

bool LoggerUnit::error(int32_t number, ParamStream params) {
    if (messageThreshold() > SEVERITY_ERROR) return true;
    return logMessage(SEVERITY_ERROR, number, params.text());
}

bool LoggerUnit::fatal(int32_t number) {
    if (messageThreshold() > SEVERITY_FATAL) return true;
    return logMessage(SEVERITY_FATAL, number, std::string_view());
}

bool LoggerUnit::fatal(int32_t number, ParamStream params) {
    if (messageThreshold() > SEVERITY_FATAL) return true;
    return logMessage(SEVERITY_FATAL, number, params.text());
}

bool LoggerUnit::logMessage(int32_t severity, int32_t number, std::string_view params) {
    if (m_centre == nullptr) return false;
    try {
        ThreadScratch<LogEntry> entry;
        entry->text.assign(params);
        stampEntry(*entry, LogEntry::KIND_MESSAGE, m_module, severity, 0, number);
        return m_centre->log(*entry);
    } catch (...) {
        // Messages never fail their caller; an undelivered one answers false.
        return false;
    }
}

}  // namespace Brolix
