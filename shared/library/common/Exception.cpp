#include "Exception.h"

#include <cstdio>

namespace Brolix {

Exception::Exception(uint32_t code) : m_code(code) {}

Exception::Exception(uint32_t code, const std::string& message, const char* sourcePath, int32_t line)
    : m_code(code), m_message(message) {
    addLocation(sourcePath ? std::string(sourcePath) : std::string(), line);
}

Exception::~Exception() = default;

std::string Exception::describe() const { return describeAs("Exception", ""); }

int Exception::family() const { return 63; }

std::string Exception::codeText() const {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%d.%u", family(), static_cast<unsigned>(m_code));
    return buffer;
}

std::string Exception::describeAs(const char* category, const char* description) const {
    std::string text(category);
    text += ": ";
    text += (description && *description) ? description : "Unknown error";
    text += " (Code: ";
    text += codeText();
    text += ")";
    return text;
}

std::string Exception::fullText() const {
    std::string text = describe();
    if (!m_message.empty()) {
        text += "\r\n  >  (";
        text += m_message;
        text += ")";
    }
    if (!m_trail.empty()) {
        text += "\r\n  >  ";
        for (size_t i = 0; i < m_trail.size(); ++i) {
            if (i > 0) text += " - ";
            text += m_trail[i].name;
            text += "(";
            text += std::to_string(m_trail[i].line);
            text += ")";
        }
    }
    return text;
}

void Exception::addLocation(const std::string& sourcePath, int32_t line) {
    if (sourcePath.empty()) return;
    std::string name = sourcePath;
    const size_t separator = name.find_last_of("\\/");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot + 1);  // the dot itself stays
    m_trail.push_back(Location{name, line});
}

const char* lookupDescription(const char* const* table, size_t size, uint32_t code) {
    if (code >= size || table[code] == nullptr) return "";
    return table[code];
}

}  // namespace Brolix
