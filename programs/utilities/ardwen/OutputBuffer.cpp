#include "OutputBuffer.h"

#include <algorithm>
#include <cstring>

namespace Brolix {

namespace {

// Pieces start small, so that the many small outputs stay cheap, and double up
// to a ceiling, so that a large output needs few of them.
const size_t kFirstPiece = 16 * 1024;
const size_t kLargestPiece = 4 * 1024 * 1024;

}  // namespace

void OutputBuffer::addPiece(size_t atLeast) {
    if (m_current != nullptr) m_lengths.back() = m_used;
    size_t capacity = m_capacity == 0 ? kFirstPiece : std::min(m_capacity * 2, kLargestPiece);
    capacity = std::max(capacity, atLeast);
    m_pieces.emplace_back(new char[capacity]);
    m_lengths.push_back(0);
    m_current = m_pieces.back().get();
    m_used = 0;
    m_capacity = capacity;
}

void OutputBuffer::append(const char* data, size_t size) {
    m_size += size;
    while (size > 0) {
        if (m_used == m_capacity) addPiece(1);
        const size_t n = std::min(size, m_capacity - m_used);
        std::memcpy(m_current + m_used, data, n);
        m_used += n;
        data += n;
        size -= n;
    }
}

void OutputBuffer::append(const char* text) { append(text, std::strlen(text)); }

void OutputBuffer::appendRepeated(char c, size_t count) {
    m_size += count;
    while (count > 0) {
        if (m_used == m_capacity) addPiece(1);
        const size_t n = std::min(count, m_capacity - m_used);
        std::memset(m_current + m_used, c, n);
        m_used += n;
        count -= n;
    }
}

std::string OutputBuffer::take() {
    if (m_current != nullptr) m_lengths.back() = m_used;
    std::string text;
    text.reserve(m_size);
    for (size_t i = 0; i < m_pieces.size(); ++i) {
        text.append(m_pieces[i].get(), m_lengths[i]);
        m_pieces[i].reset();
    }
    m_pieces.clear();
    m_lengths.clear();
    m_current = nullptr;
    m_used = m_capacity = m_size = 0;
    return text;
}

}  // namespace Brolix
