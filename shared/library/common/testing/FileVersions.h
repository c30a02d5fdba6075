/// Contents that tell by themselves whether they are whole: the versions that
/// the stress writers of the file tests write, and the records they append.
#pragma once

#include <cstdio>
#include <string>

namespace Brolix {
namespace test {

/// One version of `size` bytes (at least the frame's): a first line naming the
/// writer, the version and the size, filler derived from them, and a last line.
inline std::string versionText(int writer, int version, size_t size) {
    char head[64];
    std::snprintf(head, sizeof head, "BEGIN %d %d %zu\n", writer, version, size);
    const std::string tail = "END\n";
    std::string text(head);
    while (text.size() + tail.size() < size)
        text.push_back(static_cast<char>('a' + (text.size() * 7 + writer + version) % 26));
    return text + tail;
}

/// True when `text` is exactly one whole version.
inline bool isWholeVersion(const std::string& text) {
    int writer = 0;
    int version = 0;
    size_t size = 0;
    if (std::sscanf(text.c_str(), "BEGIN %d %d %zu\n", &writer, &version, &size) != 3) return false;
    return text.size() == size && text == versionText(writer, version, size);
}

/// The record line that `writer` appends as its `number`th.
inline std::string recordLine(int writer, int number) {
    return "record " + std::to_string(writer) + " " + std::to_string(number) + " " + std::string(40, 'r') +
           "\n";
}

}  // namespace test
}  // namespace Brolix
