#include "ArdwenMessage.h"

#include "LoggerUnit.h"
#include "ParamStream.h"

namespace Brolix {

namespace {

// clang-format off
const ArdwenMessage kCatalogue[] = {
    {MSG_NO_MEMORY, SEVERITY_FATAL,
     "out of memory while loading an XML file or producing a configuration file", {nullptr, nullptr}},
    {MSG_EMPTY_PLAN, SEVERITY_FATAL,
     "the build list names no configuration file", {nullptr, nullptr}},
    {MSG_NO_RESOURCE, SEVERITY_FATAL,
     "no build list given and no resource names one", {nullptr, nullptr}},
    {MSG_BUILD_LIST_UNREADABLE, SEVERITY_FATAL,
     "cannot read the build list", {"build list", "error code"}},
    {MSG_OPEN_BRACE_EXPECTED, SEVERITY_FATAL,
     "\"{\" expected after the output name", {"build list", "expected character code"}},
    {MSG_ENTRY_WITHOUT_XML, SEVERITY_FATAL,
     "an entry names no XML file", {"build list", nullptr}},
    {MSG_NO_OBJECT, SEVERITY_WARNING,
     "no \"Object\" element under the root element; the file adds nothing", {"XML file", nullptr}},
    {MSG_OUTPUT_NOT_WRITTEN, SEVERITY_ERROR,
     "cannot write the configuration file", {"output file", "error code"}},
    {MSG_XML_NOT_LOADED, SEVERITY_FATAL,
     "cannot load the XML file", {"XML file", "description"}},
    {MSG_STARTED, SEVERITY_NOTICE,
     "the build starts", {nullptr, nullptr}},
    {MSG_FINISHED, SEVERITY_NOTICE,
     "the build has finished", {nullptr, nullptr}},
    {MSG_CLOSE_BRACE_EXPECTED, SEVERITY_FATAL,
     "\"}\" expected to close the entry", {"build list", "expected character code"}},
    {MSG_INTERRUPTED, SEVERITY_ERROR,
     "the build was interrupted", {"written", "not written"}},
};
// clang-format on

}  // namespace

std::vector<std::string> parameterValues(const std::string& parameterText) {
    std::vector<std::string> values;
    size_t start = 0;
    while (start < parameterText.size()) {
        size_t end = parameterText.find(ParamStream::SEPARATOR, start);
        if (end == std::string::npos) end = parameterText.size();
        values.push_back(end > start ? parameterText.substr(start + 1, end - start - 1) : std::string());
        start = end + 1;
    }
    return values;
}

const ArdwenMessage* findArdwenMessage(int32_t number) {
    for (const ArdwenMessage& message : kCatalogue) {
        if (message.number == number) return &message;
    }
    return nullptr;
}

std::string describeArdwenMessage(const ArdwenMessage& message, const std::vector<std::string>& values) {
    std::string text = message.text;
    for (size_t i = 0; i < values.size(); ++i) {
        text += i == 0 ? " (" : "; ";
        const char* name = i < 2 ? message.parameters[i] : nullptr;
        text += name != nullptr ? std::string(name) : "parameter " + std::to_string(i + 1);
        text += ": ";
        text += values[i];
    }
    if (!values.empty()) text += ')';
    return text;
}

}  // namespace Brolix
