// Fuzz target: reading gzip files. The first byte chooses how the file is made
// from the rest: the bytes as they are, or compressed with zlib and then, after
// the second byte's choice, cut short or with one byte changed. Then the input
// drives reads, line reads, seeks and end checks. Of a file of whole gzip
// members, a read returns what zlib's own inflate makes of it from the position
// the file reports, the end comes exactly after the last byte, and no error
// comes but at the end; anything else may fail with a read error, never crash.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "FileException.h"
#include "FileGZ.h"
#include "Sandbox.h"
#include "platform/NativePath.h"

using namespace Brolix;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

std::string compress(const std::string& content) {
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, content.size()) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// The content of a file of whole gzip members, one after the other; false when
// the bytes are anything else.
bool inflateMembers(const std::string& file, std::string& content) {
    content.clear();
    size_t used = 0;
    while (used < file.size()) {
        z_stream stream{};
        if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(file.data() + used));
        stream.avail_in = static_cast<uInt>(file.size() - used);
        int result = Z_OK;
        char buffer[4096];
        while (result == Z_OK) {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            result = inflate(&stream, Z_NO_FLUSH);
            content.append(buffer, sizeof buffer - stream.avail_out);
            if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
        }
        used += stream.total_in;
        inflateEnd(&stream);
        if (result != Z_STREAM_END) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox("gzip");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t how = data[0];
    const uint8_t where = data[1];
    data += 2;
    size -= 2;
    // Half of the input makes the file, the other half drives the reads.
    const size_t half = size / 2;
    std::string bytes(reinterpret_cast<const char*>(data), half);
    const uint8_t* ops = data + half;
    const size_t opCount = size - half;
    if ((how & 3) != 0) bytes = compress(bytes);
    if ((how & 3) == 2 && !bytes.empty()) bytes.resize(where % bytes.size());
    if ((how & 3) == 3 && !bytes.empty()) bytes[where % bytes.size()] ^= static_cast<char>(how | 1);
    fuzz::clearSandbox();
    fuzz::writeSandboxFile("file.gz", bytes);
    std::string model;
    const bool whole = inflateMembers(bytes, model);

    FileGZ file("file.gz");
    try {
        file.open(FileBase::ACCESS_READ);
    } catch (const FileException&) {
        return 0;
    }
    std::string text;
    for (size_t i = 0; i < opCount; ++i) {
        const int64_t at = file.tell();
        check(at >= 0);
        const int op = ops[i] % 5;
        try {
            switch (op) {
                case 0: {
                    const uint64_t count = ops[i] / 5 * 97;
                    const bool full = file.readText(text, count);
                    check(full == (text.size() == count));
                    check(file.tell() == at + static_cast<int64_t>(text.size()));
                    if (whole) {
                        check(model.compare(static_cast<size_t>(at), text.size(), text) == 0);
                        check(full || static_cast<size_t>(at) + text.size() == model.size());
                    }
                    break;
                }
                case 1: {
                    const std::string line = file.readLine();
                    if (whole) check(model.compare(static_cast<size_t>(at), line.size(), line) == 0);
                    break;
                }
                case 2:
                    if (whole) {
                        const int64_t target =
                            static_cast<int64_t>(ops[i] / 5) * 37 % (static_cast<int64_t>(model.size()) + 1);
                        check(file.seek(target, FileBase::FROM_BEGIN) == target);
                    }
                    break;
                case 3:
                    if (whole) check(file.isEOF() == (static_cast<size_t>(at) == model.size()));
                    break;
                default:
                    // Everything that is left.
                    while (!file.isEOF()) file.readText(text, 4096);
                    if (whole) check(static_cast<size_t>(file.tell()) == model.size());
                    break;
            }
        } catch (const FileException& e) {
            // Damaged data is a read error. Of a whole file only a line read at
            // its end fails.
            check(e.code() == FileException::FL_READ || e.code() == FileException::FL_EOF);
            if (whole) check(op == 1 && e.code() == FileException::FL_EOF);
            break;
        }
    }
    try {
        file.close();
    } catch (const FileException& e) {
        // zlib reports a read that ended inside a damaged stream once more.
        check(!whole && e.code() == FileException::FL_CANNOT_CLOSE);
    }
    return 0;
}
