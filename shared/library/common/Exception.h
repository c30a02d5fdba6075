/// Exception is the base of the library's failure reports. An exception carries a
/// code from its class's code table, an optional free-text message and a trail of
/// source locations that grows as the exception travels up through layers that
/// catch it, add their own location and throw a copy. Exceptions are thrown and
/// caught by value; copying keeps code, trail and message.
///
/// Throw sites use BROLIX_THROW so that every throw records its own source file
/// and line the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Brolix {

class Exception {
public:
    /// One entry of the location trail: the source file's base name without the
    /// letters of its extension (the dot stays, "FilePlain.") and the line.
    struct Location {
        std::string name;
        int32_t line;
    };

    explicit Exception(uint32_t code);
    Exception(uint32_t code, const std::string& message, const char* sourcePath, int32_t line);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    virtual ~Exception();

    /// One line: category word, ": ", description, " (Code: ", codeText(), ")".
    virtual std::string describe() const;
    /// The class's family number (63 for the base class).
    virtual int family() const;

    /// Family number, a dot and the code, for example "60.2".
    std::string codeText() const;
    /// describe(), then the message line and the location trail, each on its own
    /// line ("\r\n" separated) when present.
    std::string fullText() const;
    /// Appends the location of a catching layer; an empty path adds nothing.
    void addLocation(const std::string& sourcePath, int32_t line);

    uint32_t code() const { return m_code; }
    const std::string& message() const { return m_message; }
    const std::vector<Location>& trail() const { return m_trail; }

protected:
    /// The common shape of every describe(): category word and the code's
    /// description, "Unknown error" when the description is empty.
    std::string describeAs(const char* category, const char* description) const;

private:
    uint32_t m_code;
    std::vector<Location> m_trail;
    std::string m_message;
};

/// Looks `code` up in a table of descriptions indexed by code; an index outside
/// the table or an unassigned slot (null or empty) gives "".
const char* lookupDescription(const char* const* table, size_t size, uint32_t code);

}  // namespace Brolix

/// Throws `Class(code, message)` carrying the throw site's source file and line.
#define BROLIX_THROW(Class, code, message) throw Class((code), (message), __FILE__, __LINE__)
