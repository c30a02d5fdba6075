/// RegistryDocument is the resource store's text form on Linux, held in memory:
/// the classic REGEDIT4 export format, read and written back without losing a
/// value, a comment or the order of either.
///
///   ; comments may stand anywhere on lines of their own, even above the header
///   REGEDIT4
///
///   [HKEY_LOCAL_MACHINE\SOFTWARE\Brolix\Resources]
///   "InstallDir"="/opt/brolix/"
///   "ArdwenDebugLevel"=dword:00000005
///   "Expanded"=hex(2):24,7b,41,7d
///   "Many" = hex(7):61,00,62,00,\  (a hex list goes on
///     00                           on the next line)
///   "Raw"=hex:01,02
///   @="the key's unnamed value"
///
/// Quoted texts escape only the backslash and the double quote. Blanks are
/// allowed around "=" and between hex bytes; a hex list continues on the next
/// line after a trailing backslash. Texts holding a zero byte, a carriage return
/// or a line feed are written as hex(1), so their bytes survive exactly. A
/// comment stays with the key or value it stands above; comments after the last
/// value stay at the end. Anything else (deletion entries, unknown roots, unknown
/// escapes, stray text) makes the text unparsable, and parse says on which line.
///
/// Key paths and value names compare without regard to the letter case of
/// ASCII letters. Looking a key or a value up costs the same however many there
/// are, so reading a store is linear in its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Registry.h"

namespace Brolix {
namespace platform {

class RegistryDocument {
public:
    struct Value {
        std::string name;  ///< empty for the key's unnamed value ("@")
        uint32_t type = REGISTRY_NONE;
        std::vector<unsigned char> data;
        std::vector<std::string> comments;  ///< comment lines standing above the value
    };

    class Section {
    public:
        RegistryRoot root = RegistryRoot::LocalMachine;
        std::string path;  ///< key names below the root, backslash-separated, none empty
        std::vector<std::string> comments;

        const std::vector<Value>& values() const { return m_values; }
        const Value* findValue(const std::string& name) const;
        /// Replaces the type and data of the value of that name, or appends a
        /// new value.
        void setValue(const std::string& name, uint32_t type, std::vector<unsigned char> data);
        /// False when there is no value of that name.
        bool deleteValue(const std::string& name);

    private:
        friend class RegistryDocument;
        Value& valueFor(const std::string& name);

        std::vector<Value> m_values;
        std::unordered_map<std::string, size_t> m_index;  ///< lower-case name → position
    };

    /// Where and why a text could not be parsed.
    struct ParseError {
        size_t line = 0;  ///< from 1
        std::string what;
    };

    /// Replaces the document with the parsed `text`. An empty text, or one of
    /// blank and comment lines only, is an empty registry. On failure the
    /// document is empty and `error` (when given) tells the line and the reason.
    bool parse(const std::string& text, ParseError* error = nullptr);
    /// The text form; parsing it gives this document again.
    std::string format() const;

    const std::vector<Section>& sections() const { return m_sections; }
    const Section* findSection(RegistryRoot root, const std::string& path) const;
    /// The section of that key, appended when it has none.
    Section& section(RegistryRoot root, const std::string& path);
    /// A key exists when it or a key below it has a section; a root always exists.
    bool keyExists(RegistryRoot root, const std::string& path) const;

    /// The key path in the form sections use: empty key names dropped, so
    /// "A\\B\" and "A\B" name the same key.
    static std::string canonicalPath(const std::string& path);
    /// The predefined root's name, such as "HKEY_LOCAL_MACHINE".
    static const char* rootName(RegistryRoot root);

private:
    static std::string sectionKey(RegistryRoot root, const std::string& path);

    std::vector<std::string> m_leadingComments;  ///< above the header
    std::vector<Section> m_sections;
    std::vector<std::string> m_trailingComments;  ///< after the last value
    std::unordered_map<std::string, size_t> m_sectionIndex;
};

}  // namespace platform
}  // namespace Brolix
