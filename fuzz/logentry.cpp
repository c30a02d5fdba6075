// Fuzz target: the logger's text forms. Any wire text is read back or refused
// (a negative time may throw); a text that is read serialises into a wire text
// that reads back to the same entry; log-file lines, identities and format
// expansion take any input. An entry made from the input's bytes goes through
// the wire and back unchanged, its text with field separators as spaces.
#include <cstdint>
#include <cstring>
#include <string>

#include "LogEntry.h"
#include "ParamStream.h"
#include "TimeException.h"

using namespace Brolix;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool sameEntry(const LogEntry& a, const LogEntry& b) {
    return a.kind == b.kind && a.application == b.application && a.module == b.module &&
           a.time.value() == b.time.value() && a.text == b.text && a.thread == b.thread &&
           (a.kind == LogEntry::KIND_DEBUG
                ? a.debugLevel == b.debugLevel && b.messageNumber == LogEntry::NO_NUMBER
                : a.severity == b.severity && a.messageNumber == b.messageNumber);
}

int32_t take32(const uint8_t*& data, size_t& size) {
    uint32_t value = 0;
    const size_t n = size < 4 ? size : 4;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return static_cast<int32_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    LogEntry parsed;
    try {
        if (parseEntry(input, parsed)) {
            LogEntry again;
            check(parseEntry(serializeEntry(parsed), again));
            check(sameEntry(parsed, again));
            formatLine(parsed);
        }
    } catch (const TimeException&) {
    }
    isDebugEntry(input);

    // The input split at its first zero byte: a format and a parameter text.
    const size_t split = input.find('\0');
    std::string format = input.substr(0, split);
    expandFormat(format, split == std::string::npos ? std::string() : input.substr(split + 1));

    LogEntry made;
    made.kind = size > 0 && (data[0] & 1) != 0 ? LogEntry::KIND_MESSAGE : LogEntry::KIND_DEBUG;
    made.application = take32(data, size);
    made.module = take32(data, size);
    made.time = DateTime(take32(data, size) & 0x7FFFFFFF);
    made.severity = take32(data, size);
    made.debugLevel = take32(data, size);
    made.messageNumber = made.kind == LogEntry::KIND_DEBUG ? LogEntry::NO_NUMBER : take32(data, size);
    made.thread = static_cast<uint32_t>(take32(data, size));
    made.text.assign(reinterpret_cast<const char*>(data), size);
    messageIdentity(made.application, made.module, made.messageNumber);
    formatLine(made);
    LogEntry back;
    check(parseEntry(serializeEntry(made), back));
    for (char& c : made.text) {
        if (c == LogEntry::FIELD_SEPARATOR) c = ' ';
    }
    check(sameEntry(made, back));
    return 0;
}
