// Fuzz target: an XML file through the guard and the XML library, and through
// the builder. The prepared text lies in a buffer whose padding ends right at an
// unreadable page, so any read past the padding is a crash. Checked besides:
// - the walk that refuses deep files reaches the library's own depth (taken from
//   the tree the library builds on a stack that holds any depth of the text), so
//   no file slips through it into the library's slow deep parse;
// - a refusal for a file cut short is given exactly where the library's reading
//   ran into the end of the text inside markup it keeps without complaint;
// - whatever the guard accepts is parsed and released without harm;
// - the builder builds the file or ends with 6.
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FatalEnd.h"
#include "Sandbox.h"
#include "XmlNesting.h"
#include "platform/Thread.h"

using namespace Brolix;

namespace {

constexpr size_t kLimit = 64;

// What the library itself makes of the text, parsed on a stack of any depth.
struct Reference {
    const char* text;
    size_t depth = 0;
    bool error = false;
    bool stoppedAtBytes = false;  // the parse ended at bytes that start no node
    int lastRunsToTheEnd = -1;    // the last node's value runs to the end: 1, 0, -1 unknown
};

bool endsWith(const char* text, size_t size, const std::string& tail) {
    return size >= tail.size() && std::memcmp(text + size - tail.size(), tail.data(), tail.size()) == 0;
}

void parseReference(void* context) {
    Reference& r = *static_cast<Reference*>(context);
    TiXmlDocument* document = new TiXmlDocument;
    const char* end = document->Parse(r.text, nullptr, TIXML_DEFAULT_ENCODING);
    r.depth = xmlElementDepth(*document);
    r.error = document->Error();
    r.stoppedAtBytes = end != nullptr && *end != '\0';
    const size_t size = std::strlen(r.text);
    if (const TiXmlNode* last = document->LastChild()) {
        const TiXmlText* cdata = last->ToText();
        if (last->ToComment() != nullptr) {
            r.lastRunsToTheEnd = endsWith(r.text, size, "<!--" + last->ValueStr());
        } else if (last->ToUnknown() != nullptr) {
            r.lastRunsToTheEnd = endsWith(r.text, size, "<" + last->ValueStr());
        } else if (cdata != nullptr && cdata->CDATA()) {
            r.lastRunsToTheEnd = endsWith(r.text, size, "<![CDATA[" + last->ValueStr());
        } else if (last->ToElement() != nullptr) {
            r.lastRunsToTheEnd = 0;
        }
    }
    delete document;
}

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::enterSandbox("xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t room = (size + XML_PADDING + page - 1) / page * page;
    char* area = static_cast<char*>(
        mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (area == MAP_FAILED) return 0;
    mprotect(area + room, page, PROT_NONE);
    char* text = area + room - size - XML_PADDING;
    if (size > 0) std::memcpy(text, data, size);
    const size_t length = normaliseXmlText(text, size);

    const XmlShape shape = scanXmlText(text, length, kLimit);
    const size_t bound = xmlNestingBound(text, length);
    // The library's own reading, unless the text could nest so deep that its
    // parse takes seconds (longer inputs than the fuzzing makes).
    Reference reference;
    reference.text = text;
    const bool referenced = bound <= 5000;
    if (referenced) {
        check(platform::runWithStack(xmlParseStackBytes(bound), parseReference, &reference));
        check(reference.depth <= bound);
        check(shape.depth == (reference.depth > kLimit ? kLimit + 1 : reference.depth));
    }

    XmlDocumentPtr document(new TiXmlDocument);
    const XmlLoad load = parseXmlText(document, text, length, kLimit);
    if (!referenced) {
        check(load != XmlLoad::NoMemory);
    } else if (reference.depth > kLimit) {
        check(load == XmlLoad::TooDeep);
    } else if (reference.error) {
        check(load == XmlLoad::Rejected);
    } else {
        check(load == XmlLoad::Parsed || load == XmlLoad::Unterminated);
        if (reference.stoppedAtBytes) {
            check(!shape.unterminated);
        } else if (reference.lastRunsToTheEnd >= 0) {
            check(shape.unterminated == (reference.lastRunsToTheEnd == 1));
        }
        check(load == (shape.unterminated ? XmlLoad::Unterminated : XmlLoad::Parsed));
    }
    document.reset();
    munmap(area, room + page);

    fuzz::clearSandbox();
    fuzz::writeSandboxFile("in.xml", std::string(reinterpret_cast<const char*>(data), size));
    fuzz::writeSandboxFile("list.build", "\"out.conf\" { \"in.xml\" }");
    const int exitCode = fuzz::runBuild("list.build");
    check(exitCode == 0 || exitCode == 6);
    return 0;
}
