// Fuzz target: the text and path helpers and the tokenizer. The input is split
// at its first zero byte into a pattern and a text.
// - matchWildcard never accepts a text that a plain matcher trying every split
//   rejects, and agrees with it on patterns without a star;
// - the tokens of the text put together give the text back;
// - splitting, quote stripping and the path parts keep the pieces of their text.
#include <cstdint>
#include <string>
#include <vector>

#include "FileUtils.h"
#include "StringUtils.h"
#include "Tokenizer.h"

using namespace Brolix;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Whether text[t..] matches pattern[p..], trying every split of every star;
// `memo` holds 0 (not yet known), 1 (no) or 2 (yes) per (p, t).
bool fullMatch(const std::string& pattern, size_t p, const std::string& text, size_t t,
               std::vector<uint8_t>& memo) {
    uint8_t& known = memo[p * (text.size() + 1) + t];
    if (known != 0) return known == 2;
    bool match;
    if (p == pattern.size()) {
        match = t == text.size();
    } else if (pattern[p] == '*') {
        match = fullMatch(pattern, p + 1, text, t, memo) ||
                (t < text.size() && fullMatch(pattern, p, text, t + 1, memo));
    } else {
        match = t < text.size() && (pattern[p] == '?' || pattern[p] == text[t]) &&
                fullMatch(pattern, p + 1, text, t + 1, memo);
    }
    known = match ? 2 : 1;
    return match;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string pattern = input.substr(0, split);
    const std::string text = split == std::string::npos ? std::string() : input.substr(split + 1);

    if (pattern.size() <= 64 && text.size() <= 256) {
        std::vector<uint8_t> memo((pattern.size() + 1) * (text.size() + 1));
        const bool full = fullMatch(pattern, 0, text, 0, memo);
        const bool match = matchWildcard(pattern, text);
        if (match) check(full);
        if (!pattern.empty() && pattern.find('*') == std::string::npos) check(match == full);
    }

    CppSearcher searcher;
    Tokenizer tokenizer(input, searcher);
    Token token;
    std::string joined;
    while (tokenizer.nextToken(token)) {
        check(!token.text.empty());
        joined += token.text;
    }
    check(joined == input);

    std::vector<std::string> fields;
    splitString(text, pattern.empty() ? ',' : pattern[0], fields, 0, false);
    std::string rest = text;
    const std::string head = splitAt(rest, '=');
    check(head.size() + rest.size() + (head.size() + rest.size() < text.size() ? 1 : 0) == text.size());

    std::string stripped = input;
    stripQuotes(stripped);
    check(stripped.size() == input.size() || stripped.size() + 2 == input.size() ||
          (input.size() == 1 && stripped.empty()));

    check(getDirectory(input) + getFileName(input) == input);
    std::string path = input;
    const std::string extension = stripExtension(path);
    check(extension == getExtension(input));
    check(extension.empty() ? path == input : path + "." + extension == input);
    std::string once = input;
    normaliseSeparators(once);
    std::string twice = once;
    normaliseSeparators(twice);
    check(once == twice);
    std::string trailing = input;
    ensureTrailingSeparator(trailing);
    check(trailing.substr(0, input.size()) == input && trailing.size() <= input.size() + 1);
    return 0;
}
