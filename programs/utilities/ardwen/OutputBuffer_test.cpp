#include "OutputBuffer.h"

#include <gtest/gtest.h>

#include <string>

using namespace Brolix;

namespace {

// Appends of every kind, across many piece boundaries, come out in order and
// complete; the buffer is empty and reusable afterwards.
TEST(OutputBufferTest, KeepsEveryByteInOrderAcrossPieces) {
    OutputBuffer buffer;
    std::string expected;
    const std::string block(70000, 'x');
    for (int round = 0; round < 200; ++round) {
        const std::string word = "w" + std::to_string(round);
        buffer.append(word.data(), word.size());
        expected += word;
        buffer.appendRepeated('\t', static_cast<size_t>(round % 13));
        expected.append(static_cast<size_t>(round % 13), '\t');
        buffer.append('\n');
        expected += '\n';
        if (round % 50 == 0) {
            buffer.append(block.data(), block.size());
            expected += block;
        }
    }
    buffer.append("{}");
    expected += "{}";
    EXPECT_EQ(expected.size(), buffer.size());
    EXPECT_EQ(expected, buffer.take());
    EXPECT_EQ(0u, buffer.size());
    EXPECT_EQ("", buffer.take());
    buffer.append("again");
    EXPECT_EQ("again", buffer.take());
}

}  // namespace
