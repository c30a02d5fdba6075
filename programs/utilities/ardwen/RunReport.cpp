#include "RunReport.h"

#include <cstdint>

#include "FileBase.h"
#include "FileException.h"
#include "FileFactory.h"
#include "platform/NativePath.h"

namespace Brolix {

namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none.
size_t utf8Length(const std::string& text, size_t at) {
    const unsigned char first = static_cast<unsigned char>(text[at]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        if (first == 0xE0) low = 0xA0;   // no overlong forms
        if (first == 0xED) high = 0x9F;  // no surrogates
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        if (first == 0xF0) low = 0x90;
        if (first == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[at + i]);
        if (i == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) return 0;
    }
    return length;
}

}  // namespace

std::string RunReport::jsonString(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8Length(text, at);
            if (length == 0) {
                out += "\\ufffd";
                ++at;
            } else {
                out.append(text, at, length);
                at += length;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++at;
    }
    return out + "\"";
}

std::string RunReport::toJson() const {
    std::string json = "{\n";
    json += "  \"program\": \"ardwen\",\n";
    json += "  \"version\": " + jsonString(ARDWEN_VERSION) + ",\n";
    json += "  \"mode\": " + jsonString(mode) + ",\n";
    json += "  \"buildList\": " + (buildList.empty() ? std::string("null") : jsonString(buildList)) + ",\n";
    json += "  \"outputs\": [";
    for (size_t i = 0; i < outputs.size(); ++i) {
        const OutputRecord& o = outputs[i];
        json += i == 0 ? "\n    " : ",\n    ";
        json += "{\"path\": " + jsonString(platform::toNativePath(o.path));
        json += ", \"state\": " + jsonString(outputStateName(o.state));
        json += ", \"size\": " + (o.produced ? std::to_string(o.size) : std::string("null"));
        if (o.state == OutputState::Failed) {
            json += ", \"reason\": " + jsonString(o.reason);
            json += ", \"code\": " + jsonString(o.code);
        }
        json += "}";
    }
    json += outputs.empty() ? "],\n" : "\n  ],\n";
    json += "  \"error\": " + (error.empty() ? std::string("null") : jsonString(error)) + ",\n";
    json += "  \"interrupted\": " + (interruptedBy.empty() ? std::string("null") : jsonString(interruptedBy)) + ",\n";
    // As the system gives it to the caller: Windows' statuses are unsigned
    // (3221225786 for Ctrl+C, not -1073741510).
    json += "  \"exitStatus\": " + std::to_string(static_cast<uint32_t>(exitStatus)) + "\n";
    return json + "}\n";
}

bool RunReport::write(const std::string& path, std::string& problem) const {
    SmartPointer<FileBase> file;
    try {
        file = makeFile(path);
        file->open(OUTPUT_ACCESS);
        if (!file->writeText(toJson())) BROLIX_THROW(FileException, FileException::FL_WRITE, path);
        file->close();
        return true;
    } catch (FileException& e) {
        problem = e.describe();
    } catch (...) {
        problem = "unknown error";
    }
    if (!file.isNull() && !file->isClosed()) {
        try {
            file->abort();
        } catch (...) {
        }
    }
    return false;
}

}  // namespace Brolix
