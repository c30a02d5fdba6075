// Fuzz target: the resource store's text form. The input is split at its first
// zero byte into a store text and a change. A text the reader accepts is written
// back into a text it reads as the same store; after one value is set (named,
// typed and filled from the change, with a name the registry calls accept), the
// written store reads back with that value and every other value as it was.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "posix/RegistryDocument.h"

using namespace Brolix;
using platform::RegistryDocument;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool sameValue(const RegistryDocument::Value& a, const RegistryDocument::Value& b) {
    return a.name == b.name && a.type == b.type && a.data == b.data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    RegistryDocument document;
    if (!document.parse(input.substr(0, split))) return 0;

    const std::string written = document.format();
    RegistryDocument again;
    check(again.parse(written));
    check(again.format() == written);

    // The change: a section of the store (or a new key), a type, a name, data.
    const std::string change = split == std::string::npos ? std::string() : input.substr(split + 1);
    const uint8_t pick = change.empty() ? 0 : static_cast<uint8_t>(change[0]);
    const uint32_t types[] = {platform::REGISTRY_SZ, platform::REGISTRY_EXPAND_SZ, platform::REGISTRY_BINARY,
                              platform::REGISTRY_DWORD, platform::REGISTRY_MULTI_SZ};
    const uint32_t type = types[pick % 5];
    const std::string rest = change.empty() ? std::string() : change.substr(1);
    const size_t nameEnd = std::min(rest.size(), static_cast<size_t>(pick % 7 + 1));
    const std::string name = rest.substr(0, nameEnd);
    // The registry calls refuse names they cannot write on a line of their own.
    if (name.find_first_of(std::string("\0\r\n", 3)) != std::string::npos) return 0;
    std::vector<unsigned char> value(rest.begin() + static_cast<std::ptrdiff_t>(nameEnd), rest.end());
    if (type == platform::REGISTRY_DWORD) value.resize(4);
    const auto& sections = document.sections();
    const size_t target = sections.empty() ? 0 : (pick / 5) % (sections.size() + 1);
    RegistryDocument::Section& section =
        target < sections.size()
            ? document.section(sections[target].root, sections[target].path)
            : document.section(platform::RegistryRoot::LocalMachine, "SOFTWARE\\Brolix\\Resources");
    const platform::RegistryRoot root = section.root;
    const std::string path = section.path;
    const RegistryDocument before = document;
    section.setValue(name, type, value);

    RegistryDocument after;
    check(after.parse(document.format()));
    for (const RegistryDocument::Section& old : before.sections()) {
        const RegistryDocument::Section* now = after.findSection(old.root, old.path);
        check(now != nullptr);
        for (const RegistryDocument::Value& v : old.values()) {
            const RegistryDocument::Value* found = now->findValue(v.name);
            check(found != nullptr);
            const bool changed =
                old.root == root &&
                RegistryDocument::canonicalPath(old.path) == RegistryDocument::canonicalPath(path) &&
                found == now->findValue(name);
            if (!changed) check(sameValue(v, *found));
        }
    }
    const RegistryDocument::Section* now = after.findSection(root, path);
    check(now != nullptr);
    const RegistryDocument::Value* set = now->findValue(name);
    check(set != nullptr && set->type == type && set->data == value);
    return 0;
}
