#include "LogEntry.h"

#include <charconv>
#include <climits>

#include "LoggerUnit.h"
#include "ParamStream.h"
#include "TimeException.h"

namespace Brolix {

namespace {

constexpr char FS = LogEntry::FIELD_SEPARATOR;
constexpr std::string_view FIRST_FIELD = "Brolix";
constexpr std::string_view DEBUG_FIELD = "DEBUG";
constexpr std::string_view MESSAGE_FIELD = "LOG";

void appendNumber(std::string& out, int64_t number) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), number);
    out.append(digits, result.ptr);
}

void appendField(std::string& out, int64_t number) {
    appendNumber(out, number);
    out += FS;
}

/// Appends the entry's text; a field separator inside it would move every
/// later field for the reader, so it is written as a space.
void appendTextField(std::string& out, const std::string& text) {
    size_t start = 0;
    for (size_t fs = text.find(FS); fs != std::string::npos; fs = text.find(FS, start)) {
        out.append(text, start, fs - start);
        out += ' ';
        start = fs + 1;
    }
    out.append(text, start, std::string::npos);
    out += FS;
}

/// Takes the fields of a wire text one by one: each up to the next separator,
/// which goes with it; the last one up to the end; an exhausted text gives
/// empty fields.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : m_rest(text) {}

    std::string_view next() {
        const size_t fs = m_rest.find(FS);
        std::string_view field = m_rest.substr(0, fs);
        m_rest.remove_prefix(fs == std::string_view::npos ? m_rest.size() : fs + 1);
        return field;
    }

    /// The next field read as a number the way strtol reads it, held to the
    /// 32-bit range.
    int32_t nextNumber() {
        const std::string_view field = next();
        size_t i = 0;
        while (i < field.size() && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r'))) ++i;
        bool negative = false;
        if (i < field.size() && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
        int64_t magnitude = 0;
        for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
            if (magnitude <= int64_t(INT32_MAX) + 1) magnitude = magnitude * 10 + (field[i] - '0');
        }
        if (negative) return magnitude > int64_t(INT32_MAX) ? INT32_MIN : int32_t(-magnitude);
        return magnitude > INT32_MAX ? INT32_MAX : int32_t(magnitude);
    }

private:
    std::string_view m_rest;
};

void appendIdentity(std::string& out, int32_t application, int32_t module, int32_t messageNumber) {
    out += '(';
    appendNumber(out, application);
    out += '.';
    if (module < 10) out += '0';
    appendNumber(out, module);
    if (messageNumber == LogEntry::NO_NUMBER) {
        out += ")   ";
        return;
    }
    out += '.';
    // Compared unsigned: a negative number gets no leading zero.
    if (static_cast<uint32_t>(messageNumber) < 10) out += '0';
    appendNumber(out, messageNumber);
    out += ')';
}

}  // namespace

void serializeEntry(const LogEntry& entry, std::string& out) {
    const bool debug = entry.kind == LogEntry::KIND_DEBUG;
    out.clear();
    // Room for the fixed words, nine numbers and their separators.
    out.reserve(entry.text.size() + 120);
    out.append(FIRST_FIELD);
    out += FS;
    out.append(debug ? DEBUG_FIELD : MESSAGE_FIELD);
    out += FS;
    appendField(out, entry.application);
    appendField(out, entry.module);
    appendField(out, entry.time.value());
    appendField(out, debug ? entry.debugLevel : entry.severity);
    appendTextField(out, entry.text);
    appendField(out, static_cast<int32_t>(entry.thread));
    if (!debug) appendField(out, entry.messageNumber);
}

std::string serializeEntry(const LogEntry& entry) {
    std::string out;
    serializeEntry(entry, out);
    return out;
}

bool parseEntry(std::string_view wireText, LogEntry& entry) {
    FieldReader reader(wireText);
    if (reader.next() != FIRST_FIELD) return false;
    const std::string_view kindField = reader.next();
    uint8_t kind;
    if (kindField == DEBUG_FIELD) {
        kind = LogEntry::KIND_DEBUG;
    } else if (kindField == MESSAGE_FIELD) {
        kind = LogEntry::KIND_MESSAGE;
    } else {
        return false;
    }
    const int32_t application = reader.nextNumber();
    const int32_t module = reader.nextNumber();
    // Throws for a negative time before anything of the entry changes.
    entry.time.setValue(reader.nextNumber());
    const int32_t levelOrSeverity = reader.nextNumber();
    const std::string_view text = reader.next();
    const int32_t thread = reader.nextNumber();

    entry.kind = kind;
    entry.application = application;
    entry.module = module;
    if (kind == LogEntry::KIND_DEBUG) {
        entry.debugLevel = levelOrSeverity;
        entry.messageNumber = LogEntry::NO_NUMBER;
    } else {
        entry.severity = levelOrSeverity;
        entry.messageNumber = reader.nextNumber();
    }
    entry.text.assign(text);
    entry.thread = static_cast<uint32_t>(thread);
    return true;
}

bool isDebugEntry(std::string_view wireText) {
    return wireText.size() >= 12 && wireText.substr(7, 5) == DEBUG_FIELD;
}

std::string messageIdentity(int32_t application, int32_t module, int32_t messageNumber) {
    std::string out;
    appendIdentity(out, application, module, messageNumber);
    return out;
}

std::string formatLine(const LogEntry& entry) {
    constexpr size_t PREFIX_WIDTH = 8;
    const bool debug = entry.kind == LogEntry::KIND_DEBUG;
    std::string line;
    line.reserve(entry.text.size() + 96);

    if (debug) {
        line += "debug-";
        appendNumber(line, entry.debugLevel);
    } else {
        line += severityName(entry.severity);
    }
    if (line.size() < PREFIX_WIDTH) line.append(PREFIX_WIDTH - line.size(), ' ');
    line += ' ';

    try {
        line += entry.time.toString(false, false, false);
        line += ' ';
    } catch (const TimeException&) {
        line += "INVALID TIME STAMP  ";
    }

    appendIdentity(line, entry.application, entry.module, entry.messageNumber);
    line += ' ';
    appendNumber(line, entry.thread);
    line += ": ";

    if (debug) {
        line += entry.text;
        return line;
    }
    line += "(Message not found.)";
    const std::string& params = entry.text;
    if (params.empty()) return line;
    line += " Parameters: ";
    // Skip the first type letter; every separator becomes two spaces and takes
    // the next parameter's type letter with it.
    for (size_t i = 1; i < params.size(); ++i) {
        const char c = params[i];
        if (c == ParamStream::SEPARATOR || c == '\x1B') {
            line += "  ";
            ++i;
        } else {
            line += c;
        }
    }
    return line;
}

}  // namespace Brolix
