// The XML library against an unreadable page: the text of a parse buffer is
// placed so that its padding ends right before a page that cannot be read, so
// a read past the padding ends the test with a fault.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "XmlNesting.h"

using namespace Brolix;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// The text placed so that the page after its padding is unreadable: any read
// past the padding ends the test with a fault.
class GuardedText {
public:
    GuardedText() {
        m_page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_area = static_cast<char*>(
            mmap(nullptr, 2 * m_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (m_area != MAP_FAILED) mprotect(m_area + m_page, m_page, PROT_NONE);
    }
    ~GuardedText() {
        if (m_area != MAP_FAILED) munmap(m_area, 2 * m_page);
    }
    bool ready() const { return m_area != MAP_FAILED; }
    // Copies `raw` (shorter than a page) so that its padding ends at the guard.
    const char* place(const std::string& raw, size_t* size) {
        char* text = m_area + m_page - raw.size() - XML_PADDING;
        std::memcpy(text, raw.data(), raw.size());
        *size = normaliseXmlText(text, raw.size());
        return text;
    }

private:
    size_t m_page;
    char* m_area;
};

TEST(XmlNestingTest, TheLibraryNeverReadsPastThePadding) {
    GuardedText guarded;
    ASSERT_TRUE(guarded.ready());
    // Two files after which the library read past a single closing zero byte,
    // and every cut of a document full of multi-byte characters, references
    // and quoted values.
    const std::string whole =
        "<?xml version=\"1.0\"?><r a='\xC3\xA9&#x41;' b=\"&amp;\xF4\x80\x80\x80\"><!-- \xE3\x81\x82 -->"
        "<![CDATA[\xDF\xBF]]>\xEF\xBB\xBF<s>&#65;\xE3\x81\x82</s></r>";
    std::vector<std::string> texts = {std::string("<?xml><l n='&#'#;\xF4"),
                                      std::string("<?xml><") + kBom + "\n\xDF>\xDF"};
    for (size_t cut = 1; cut <= whole.size(); ++cut) texts.push_back(whole.substr(0, cut));
    for (const std::string& raw : texts) {
        SCOPED_TRACE(raw);
        size_t size = 0;
        const char* text = guarded.place(raw, &size);
        XmlDocumentPtr document(new TiXmlDocument);
        parseXmlText(document, text, size, 100);
    }
}

}  // namespace
