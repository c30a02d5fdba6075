// Fuzz target: a build list through the real builder. The first byte chooses
// whether the list is also built gzip-compressed, the rest is its text. The list
// may name the XML files below (good, without objects, broken) or any other
// file; every file the builder reads or writes lies in the sandbox. A build ends
// normally or with the exit code of a fault in the list (3, 4, 5) or in an XML
// file (6), and a compressed list ends as the same list does plain.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FatalEnd.h"
#include "Sandbox.h"

using namespace Brolix;

namespace {

const char* const kXmlFiles[][2] = {
    {"a.xml", "<C><Object><Name>A</Name><Value type=\"t\">v\\1</Value></Object></C>"},
    {"b.xml",
     "<?xml version=\"1.0\"?>\n<C>\n  <Object><Name>B</Name><Value type=\"s\">w</Value>\n"
     "    <SubObjects><Object><Name>C</Name><Value type=\"u\">x</Value></Object></SubObjects>\n"
     "  </Object>\n</C>\n"},
    {"none.xml", "<C><Other/></C>"},
    {"bad.xml", "<C><Object></C>"},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox("buildlist");
    return 0;
}

namespace {

int build(const std::string& text, bool compressed) {
    fuzz::clearSandbox();
    for (const auto& file : kXmlFiles) fuzz::writeSandboxFile(file[0], file[1]);
    const std::string list = compressed ? "list.build.gz" : "list.build";
    if (compressed) {
        fuzz::writeSandboxGzip(list, text);
    } else {
        fuzz::writeSandboxFile(list, text);
    }
    const int exitCode = fuzz::runBuild(list);
    if (exitCode != 0 && (exitCode < 3 || exitCode > 6)) std::abort();
    return exitCode;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const int plain = build(text, false);
    if ((data[0] & 1) != 0 && build(text, true) != plain) std::abort();
    return 0;
}
