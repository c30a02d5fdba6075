/// OutputBuffer collects the text of one configuration file in memory. It grows
/// by adding pieces, never by moving what it already holds, so a large output
/// costs one copy of each byte on the way in and one on the way out, and its
/// footprint stays close to its content.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace Brolix {

class OutputBuffer {
public:
    OutputBuffer() = default;
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;

    void append(const char* data, size_t size);
    void append(const char* text);
    void append(char c) {
        if (m_used == m_capacity) addPiece(1);
        m_current[m_used++] = c;
        ++m_size;
    }
    /// Appends `count` copies of `c`.
    void appendRepeated(char c, size_t count);

    size_t size() const { return m_size; }

    /// The whole content as one text; the buffer is empty afterwards. Each piece
    /// is released as soon as it has been copied.
    std::string take();

private:
    void addPiece(size_t atLeast);

    std::vector<std::unique_ptr<char[]>> m_pieces;
    std::vector<size_t> m_lengths;  // bytes used in each piece
    char* m_current = nullptr;
    size_t m_used = 0;
    size_t m_capacity = 0;
    size_t m_size = 0;
};

}  // namespace Brolix
