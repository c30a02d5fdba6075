/// LogEntry is the record of one log event on its way from a LoggerUnit to the
/// debug log file, and this module holds every text form an entry takes:
///
/// - the wire text, one line of fields separated by 0x1C, which the centre
///   makes and the messenger parses back; message entries travel in this form
///   to the central logging service, so its layout is fixed byte for byte:
///     message: "Brolix" FS "LOG" FS app FS module FS time FS severity FS text FS thread FS number FS
///     debug:   "Brolix" FS "DEBUG" FS app FS module FS time FS level FS text FS thread FS
///   with every number in signed decimal (the thread too) and the time in
///   seconds since 1970;
/// - the message identity, "(app.module.number)";
/// - the log-file line.
///
/// All functions are pure text transformations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "DateTime.h"

namespace Brolix {

struct LogEntry {
    static constexpr uint8_t KIND_DEBUG = 0;
    static constexpr uint8_t KIND_MESSAGE = 1;
    /// The message number of debug entries: no number.
    static constexpr int32_t NO_NUMBER = 99999;
    /// Separates the fields of the wire text.
    static constexpr char FIELD_SEPARATOR = '\x1C';

    uint8_t kind = KIND_DEBUG;
    /// Set by the centre.
    int32_t application = 0;
    int32_t module = 0;
    /// When the entry was made.
    DateTime time{0};
    /// Message entries: 0 (NOTICE) to 4 (FATAL).
    int32_t severity = 0;
    /// Debug entries: 1 to 5.
    int32_t debugLevel = 0;
    int32_t messageNumber = NO_NUMBER;
    /// Debug entries: the final text; message entries: the raw parameter text.
    std::string text;
    uint32_t thread = 0;
};

/// The wire text of `entry`. A field separator inside the entry's text is
/// written as a space, so that a reader always finds the later fields where
/// they belong; any other text is copied unchanged.
std::string serializeEntry(const LogEntry& entry);
/// The same, written into `out` (whose old content is replaced).
void serializeEntry(const LogEntry& entry, std::string& out);

/// Reads a wire text back into `entry`. False, with `entry` unchanged, unless
/// the first field is "Brolix" and the second "DEBUG" or "LOG". Numbers are
/// read as the C library's text-to-long conversion reads them (leading blanks,
/// a sign, leading digits; no digits give 0), kept within the 32-bit range;
/// fields missing at the end read as 0 or the empty text. Debug entries get
/// the message number NO_NUMBER. A negative time throws TimeException.
bool parseEntry(std::string_view wireText, LogEntry& entry);

/// True when `wireText` is the wire text of a debug entry ("DEBUG" right after
/// the first field); false for any text shorter than 12 characters.
bool isDebugEntry(std::string_view wireText);

/// "(9.10.11)": application, module (two digits at least), message number (two
/// digits at least). A message number of NO_NUMBER gives "(9.10)" and three
/// spaces, as wide as the identity of a two-digit number.
std::string messageIdentity(int32_t application, int32_t module, int32_t messageNumber);

/// The log-file line of `entry`, without a line end: the severity name (or
/// "debug-" and the level) padded to 8 characters and a space, the local time
/// stamp and a space ("INVALID TIME STAMP  " when the time cannot be shown),
/// the identity and a space, the thread, ": ", then the debug text, or for a
/// message "(Message not found.)" and its parameters.
std::string formatLine(const LogEntry& entry);

}  // namespace Brolix
