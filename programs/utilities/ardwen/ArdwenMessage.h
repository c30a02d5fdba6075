/// ArdwenMessage is one row of the configuration builder's message catalogue:
/// the numbered messages that the builder (application 9, module 10) sends,
/// with their severity, what each means in words and the names of its
/// parameters in the order they are sent. On the logging chain a message
/// travels as its number and parameters only; this one table turns them back
/// into words, for the builder's own lines on standard error and for the
/// receiver that shows the messages to a person.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {

/// The application number the builder stamps on its log entries; its module is
/// ARDWEN_MODULE (LoggerUnit.h).
constexpr int32_t ARDWEN_APPLICATION = 9;

/// Numbered messages of the builder. Number 3 is not used.
enum ArdwenMessageNumber : int32_t {
    MSG_NO_MEMORY = 1,
    MSG_EMPTY_PLAN = 2,
    MSG_NO_RESOURCE = 4,
    MSG_BUILD_LIST_UNREADABLE = 5,
    MSG_OPEN_BRACE_EXPECTED = 6,
    MSG_ENTRY_WITHOUT_XML = 7,
    MSG_NO_OBJECT = 8,
    MSG_OUTPUT_NOT_WRITTEN = 9,
    MSG_XML_NOT_LOADED = 10,
    MSG_STARTED = 11,
    MSG_FINISHED = 12,
    MSG_CLOSE_BRACE_EXPECTED = 13,
    MSG_INTERRUPTED = 14,
};

struct ArdwenMessage {
    int32_t number;
    /// A LoggerUnit severity (SEVERITY_NOTICE ... SEVERITY_FATAL).
    int32_t severity;
    /// What happened, in words, starting in lower case.
    const char* text;
    /// The names of the parameters in the order they are sent; null where the
    /// message has fewer.
    const char* parameters[2];
};

/// The values of a message's parameter text (ParamStream), in order, without
/// their type letters.
std::vector<std::string> parameterValues(const std::string& parameterText);

/// The catalogue row of `number`; null for a number the builder never sends.
const ArdwenMessage* findArdwenMessage(int32_t number);

/// The message in words with its parameters named:
/// "cannot write the configuration file (output file: /x/a.conf; error code: 60.5)".
/// Values beyond the named ones are shown as "parameter 3" and so on; a message
/// without values is its text alone.
std::string describeArdwenMessage(const ArdwenMessage& message, const std::vector<std::string>& values);

}  // namespace Brolix
