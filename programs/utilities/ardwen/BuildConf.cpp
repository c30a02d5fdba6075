#include "BuildConf.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "FileBase.h"
#include "FileException.h"
#include "FileOps.h"
#include "FileFactory.h"
#include "FileUtils.h"
#include "StringUtils.h"
#include "SystemInfo.h"
#include "Tokenizer.h"
#include "XmlNesting.h"
#include "platform/Stream.h"

namespace Brolix {

namespace {

// Numbered messages of the builder.
enum Message : int32_t {
    MSG_NO_MEMORY_FOR_XML = 1,
    MSG_EMPTY_PLAN = 2,
    MSG_NO_RESOURCE = 4,
    MSG_BUILD_LIST_UNREADABLE = 5,
    MSG_OPEN_BRACE_EXPECTED = 6,
    MSG_ENTRY_WITHOUT_XML = 7,
    MSG_NO_OBJECT = 8,
    MSG_OUTPUT_NOT_WRITTEN = 9,
    MSG_XML_NOT_PARSED = 10,
};

// How much of a compressed build list is read per call once its size on disk,
// which is all the file layer can tell in advance, has been read.
const uint64_t kReadPiece = 64 * 1024;

enum class FileRead { Read, NotOpened, Empty, Failed, NoMemory };

// The file's content in one buffer with room for the zero bytes that follow the
// text when it is parsed.
FileRead readWholeFile(const std::string& path, std::unique_ptr<char[]>& content, size_t& size) {
    std::FILE* stream = platform::openStream(path, "rb");
    if (stream == nullptr) return FileRead::NotOpened;
    FileRead result = FileRead::Failed;
    int64_t length = -1;
    if (platform::seekStream(stream, 0, SEEK_END)) length = platform::tellStream(stream);
    if (length == 0) {
        result = FileRead::Empty;
    } else if (length > 0 && platform::seekStream(stream, 0, SEEK_SET)) {
        // A first byte must be readable before the size is trusted: a directory,
        // for one, opens and reports a size it does not hold.
        if (std::fgetc(stream) != EOF && platform::seekStream(stream, 0, SEEK_SET)) {
            size = static_cast<size_t>(length);
            content.reset(static_cast<uint64_t>(length) < SIZE_MAX - XML_PADDING
                              ? new (std::nothrow) char[size + XML_PADDING]
                              : nullptr);
            if (content == nullptr) {
                result = FileRead::NoMemory;
            } else if (std::fread(content.get(), 1, size, stream) == size) {
                result = FileRead::Read;
            }
        }
    }
    std::fclose(stream);
    if (result != FileRead::Read) content.reset();
    return result;
}

FatalEnding g_fatalEnding = nullptr;

const std::string kNoText;
const std::string kTypeAttribute = "type";

template <size_t N>
bool isNamed(const std::string& name, const char (&literal)[N]) {
    return name.size() == N - 1 && std::memcmp(name.data(), literal, N - 1) == 0;
}

// The first element among `node` and its following siblings that is named
// "Object"; other nodes and elements are passed over.
const TiXmlElement* nextObject(const TiXmlNode* node) {
    for (; node != nullptr; node = node->NextSibling()) {
        if (node->Type() == TiXmlNode::TINYXML_ELEMENT && isNamed(node->ValueStr(), "Object"))
            return static_cast<const TiXmlElement*>(node);
    }
    return nullptr;
}

}  // namespace

void setFatalEnding(FatalEnding ending) { g_fatalEnding = ending; }

// ---------------------------------------------------------------------------
// Reading the XML vocabulary

const TiXmlElement* findChildElement(const TiXmlElement* parent, const char* name) {
    if (parent == nullptr) return nullptr;
    for (const TiXmlElement* child = parent->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
        if (std::strcmp(child->Value(), name) == 0) return child;
    }
    return nullptr;
}

const std::string* getElementText(const TiXmlElement* element) {
    if (element == nullptr) return nullptr;
    const TiXmlNode* first = element->FirstChild();
    if (first == nullptr || first->Type() != TiXmlNode::TINYXML_TEXT) return nullptr;
    return &first->ValueStr();
}

ObjectParts findObjectParts(const TiXmlElement* object) {
    ObjectParts parts;
    for (const TiXmlNode* child = object->FirstChild(); child != nullptr; child = child->NextSibling()) {
        if (child->Type() != TiXmlNode::TINYXML_ELEMENT) continue;
        const TiXmlElement* element = static_cast<const TiXmlElement*>(child);
        const std::string& name = element->ValueStr();
        if (isNamed(name, "Name")) {
            if (parts.name == nullptr) parts.name = element;
        } else if (isNamed(name, "Value")) {
            if (parts.value == nullptr) parts.value = element;
        } else if (isNamed(name, "SubObjects")) {
            if (parts.subObjects == nullptr) parts.subObjects = element;
        }
    }
    return parts;
}

const std::string& getObjectName(const ObjectParts& parts) {
    const std::string* text = getElementText(parts.name);
    return text != nullptr ? *text : kNoText;
}

const std::string& getValueType(const ObjectParts& parts) {
    const std::string* type = parts.value != nullptr ? parts.value->Attribute(kTypeAttribute) : nullptr;
    return type != nullptr ? *type : kNoText;
}

const std::string& getValueText(const ObjectParts& parts) {
    const std::string* text = getElementText(parts.value);
    return text != nullptr ? *text : kNoText;
}

void escapeBackslashes(const std::string& text, std::string& out) {
    const char* rest = text.data();
    const char* const end = rest + text.size();
    for (;;) {
        const void* found = std::memchr(rest, '\\', static_cast<size_t>(end - rest));
        if (found == nullptr) {
            out.append(rest, static_cast<size_t>(end - rest));
            return;
        }
        const char* backslash = static_cast<const char*>(found);
        out.append(rest, static_cast<size_t>(backslash - rest) + 1);
        out += '\\';
        rest = backslash + 1;
    }
}

// ---------------------------------------------------------------------------
// The build run

BuildConf::BuildConf(SmartPointer<LoggerUnit> logger, const std::string& buildListArgument)
    : m_logger(logger) {
    debug(2, "Building configuration files...");
    readBuildList(buildListArgument);
    if (m_entries.empty()) endWithFatal(MSG_EMPTY_PLAN, ParamStream(), EXIT_EMPTY_PLAN);
    if (debugLevel() == 5) reportPlan();
    debug(1, "Creating output files...");
    for (const BuildEntry& entry : m_entries) createOutputFile(entry);
    debug(2, "Finished building configuration files.");
}

BuildConf::~BuildConf() = default;

void BuildConf::debug(int32_t level, const char* text) {
    if (level > debugLevel() || m_logger.isNull()) return;
    m_logger->debug(level, text);
}

void BuildConf::debug(int32_t level, const char* format, const std::string& parameter) {
    // The parameter text is only put together when the line will be written.
    if (level > debugLevel() || m_logger.isNull()) return;
    m_logger->debug(level, format, ParamStream().addText(parameter));
}

void BuildConf::endWithFatal(int32_t number, ParamStream params, int exitCode, const std::string& note) {
    if (!m_logger.isNull()) {
        m_logger->fatal(number, std::move(params));
        if (!note.empty()) debug(1, note.c_str());
    }
    // The logging chain has written the message by the time fatal returns; exit
    // flushes the streams that are still open.
    if (g_fatalEnding != nullptr) g_fatalEnding(exitCode);
    std::exit(exitCode);
}

void BuildConf::reportPlan() {
    std::string listing;
    for (const BuildEntry& entry : m_entries) {
        if (!listing.empty()) listing += '\n';
        listing += entry.outputName;
        for (const std::string& xmlFile : entry.xmlFiles) {
            listing += "\n\t- ";
            listing += xmlFile;
        }
    }
    debug(5, "Configuration files and the XML files they are to be built from: \n%s", listing);
}

// ---------------------------------------------------------------------------
// The build plan

void BuildConf::readBuildList(const std::string& argument) {
    debug(3, "Reading configuration...");
    if (!argument.empty()) {
        m_configurationDir = getDirectory(argument);
        m_buildListName = getFileName(argument);
    } else {
        if (getResource("ConfigurationDir", m_configurationDir) != 0)
            endWithFatal(MSG_NO_RESOURCE, ParamStream(), EXIT_NO_RESOURCE);
        normaliseSeparators(m_configurationDir);
        ensureTrailingSeparator(m_configurationDir);
        if (getResource("ArdwenFile", m_buildListName) != 0)
            endWithFatal(MSG_NO_RESOURCE, ParamStream(), EXIT_NO_RESOURCE);
    }
    const std::string path = buildListPath();
    debug(4, "Reading file \"%s\"...", path);

    std::string text;
    try {
        SmartPointer<FileBase> file = makeFile(path);
        file->open(FileBase::ACCESS_READ);
        bool filled = file->readText(text, file->getSize());
        // The size on disk of a compressed list is not the size of its content:
        // read on until the content ends.
        while (filled && file->getKind() == FileBase::KIND_GZ && !file->isEOF()) {
            std::string more;
            filled = file->readText(more, kReadPiece);
            text += more;
        }
        file->close();
    } catch (FileException& e) {
        e.addLocation("BuildConf.cpp", 116);
        endWithFatal(MSG_BUILD_LIST_UNREADABLE, ParamStream().addText(path).addText(e.codeText()),
                     EXIT_BUILD_LIST_READ, e.fullText());
    } catch (...) {
        endWithFatal(MSG_BUILD_LIST_UNREADABLE, ParamStream().addText(path).addText("Unknown"),
                     EXIT_BUILD_LIST_READ);
    }

    parseBuildList(text);
    debug(3, "Finished reading configuration.");
}

void BuildConf::parseBuildList(const std::string& text) {
    enum State { NAME, OPEN, FILES };
    State state = NAME;
    BuildEntry pending;
    CppSearcher searcher;
    Tokenizer tokenizer(text, searcher);
    Token token;
    while (tokenizer.nextToken(token)) {
        const std::string& word = token.text;
        if (!token.significant || word == "\n") continue;
        if (word.size() >= 2 && word[0] == '/' && word[1] == '/') continue;  // line comment
        switch (state) {
            case NAME:
                pending.outputName = word;
                stripQuotes(pending.outputName);
                state = OPEN;
                break;
            case OPEN:
                if (word != "{")
                    endWithFatal(MSG_OPEN_BRACE_EXPECTED, ParamStream().addText(buildListPath()).addNumber('{'),
                                 EXIT_BUILD_LIST_SYNTAX);
                state = FILES;
                break;
            case FILES:
                if (word == "}") {
                    if (pending.xmlFiles.empty())
                        endWithFatal(MSG_ENTRY_WITHOUT_XML, ParamStream().addText(buildListPath()),
                                     EXIT_BUILD_LIST_SYNTAX);
                    m_entries.push_back(pending);
                    pending.xmlFiles.clear();
                    state = NAME;
                } else {
                    pending.xmlFiles.push_back(word);
                    stripQuotes(pending.xmlFiles.back());
                }
                break;
        }
    }
    // An entry still open at the end of the text is dropped.
}

// ---------------------------------------------------------------------------
// XML loading

XmlDocumentPtr BuildConf::loadXmlFile(const std::string& path) {
    debug(3, "Creating DOM tree from \"%s\"...", path);
    XmlDocumentPtr document(new (std::nothrow) TiXmlDocument(path));
    if (document == nullptr) endWithFatal(MSG_NO_MEMORY_FOR_XML, ParamStream(), EXIT_XML);
    // The builder never reports rows and columns, so the library does not track
    // them: that tracking rescans the text behind every node and costs a fifth of
    // the parse, without changing what is parsed.
    document->SetTabSize(0);

    // The file is read and prepared here the way the XML library loads a file
    // itself, and parsed where no depth of nesting can harm the builder.
    XmlLoad load = XmlLoad::Rejected;
    {
        std::unique_ptr<char[]> content;
        size_t size = 0;
        switch (readWholeFile(path, content, size)) {
            case FileRead::Read:
                size = normaliseXmlText(content.get(), size);
                load = parseXmlText(document, content.get(), size, MAX_XML_NESTING);
                break;
            case FileRead::Empty:
                document->SetError(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, nullptr, nullptr,
                                   TIXML_ENCODING_UNKNOWN);
                break;
            case FileRead::NoMemory:
                load = XmlLoad::NoMemory;
                break;
            case FileRead::NotOpened:
            case FileRead::Failed:
                document->SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr,
                                   TIXML_ENCODING_UNKNOWN);
                break;
        }
    }
    if (load == XmlLoad::NoMemory) {
        document.reset();
        endWithFatal(MSG_NO_MEMORY_FOR_XML, ParamStream(), EXIT_XML);
    }
    if (load == XmlLoad::TooDeep || load == XmlLoad::Unterminated) {
        const std::string problem =
            load == XmlLoad::TooDeep
                ? "Elements nested deeper than " + std::to_string(MAX_XML_NESTING) + " levels."
                : "A comment, CDATA section, declaration or other markup is not closed before the end of the "
                  "file.";
        endWithFatal(MSG_XML_NOT_PARSED, ParamStream().addText(path).addText(problem), EXIT_XML);
    }
    if (document->Error())
        endWithFatal(MSG_XML_NOT_PARSED, ParamStream().addText(path).addText(document->ErrorDesc()), EXIT_XML);

    debug(3, "Finished parsing file.");
    return document;
}

// ---------------------------------------------------------------------------
// Output data

// Writes the object and everything nested in it. The walk keeps its own stack of
// open blocks instead of recursing, so the depth of the XML costs no machine stack.
void BuildConf::produceOutputData(int depth, const TiXmlElement* object, std::string& out) {
    const bool trace = debugLevel() >= 5;
    // For each open block: the node after the nested object being written.
    std::vector<const TiXmlNode*> open;
    const TiXmlElement* current = object;
    for (;;) {
        const size_t level = static_cast<size_t>(depth) + open.size();
        if (trace) debug(5, "Producing output data...");
        const ObjectParts parts = findObjectParts(current);
        out.append(level, '\t');
        escapeBackslashes(getObjectName(parts), out);
        out += '(';
        out += getValueType(parts);
        out.append(")=\"", 3);
        escapeBackslashes(getValueText(parts), out);
        out += '"';

        const TiXmlElement* first =
            parts.subObjects != nullptr ? nextObject(parts.subObjects->FirstChild()) : nullptr;
        if (first != nullptr) {
            out += '\n';
            out.append(level, '\t');
            out.append("{\n", 2);
            open.push_back(first->NextSibling());
            current = first;
            continue;
        }
        out.append("{}\n", 3);
        if (trace) debug(5, "Finished producing output data.");

        // Next: a following "Object" in the innermost open block, closing every
        // block that has none left.
        current = nullptr;
        while (current == nullptr && !open.empty()) {
            current = nextObject(open.back());
            if (current != nullptr) {
                open.back() = current->NextSibling();
            } else {
                open.pop_back();
                out.append(static_cast<size_t>(depth) + open.size(), '\t');
                out.append("}\n", 2);
                if (trace) debug(5, "Finished producing output data.");
            }
        }
        if (current == nullptr) return;
    }
}

// ---------------------------------------------------------------------------
// Output files

void BuildConf::createOutputFile(const BuildEntry& entry) {
    const std::string outputPath = m_configurationDir + entry.outputName;
    debug(3, "Creating output file \"%s\"...", outputPath);

    // The whole file's text is gathered in one buffer. Its room is taken at once
    // for as many bytes as the XML files hold, which the output of real
    // configurations stays below; room that is never written costs no memory,
    // and the buffer is never moved while it fills.
    std::string buffer;
    uint64_t room = 0;
    for (const std::string& name : entry.xmlFiles) room += getFileSize(m_configurationDir + name);
    try {
        buffer.reserve(static_cast<size_t>(room));
    } catch (const std::exception&) {
        // Then it grows as it needs.
    }
    // Each document is released before the next one is loaded; the last one
    // after the file has been written. Releasing a large tree leaves the
    // allocator with millions of small free blocks that it merges on the next
    // large request, so the output's own large requests come first.
    XmlDocumentPtr document;
    for (const std::string& name : entry.xmlFiles) {
        const std::string xmlPath = m_configurationDir + name;
        document.reset();
        document = loadXmlFile(xmlPath);
        const TiXmlElement* object = findChildElement(document->FirstChildElement(), "Object");
        if (object != nullptr) {
            produceOutputData(0, object, buffer);
        } else if (!m_logger.isNull()) {
            m_logger->warning(MSG_NO_OBJECT, ParamStream().addText(xmlPath));
        }
    }

    debug(4, "Writing data to file...");
    try {
        SmartPointer<FileBase> file = makeFile(outputPath);
        file->open(OUTPUT_ACCESS);
        if (!file->writeText(buffer))
            BROLIX_THROW(FileException, FileException::FL_WRITE, outputPath);
        file->close();
        document.reset();
    } catch (FileException& e) {
        e.addLocation("BuildConf.cpp", 240);
        if (!m_logger.isNull())
            m_logger->error(MSG_OUTPUT_NOT_WRITTEN, ParamStream().addText(outputPath).addText(e.codeText()));
        return;
    } catch (...) {
        if (!m_logger.isNull())
            m_logger->error(MSG_OUTPUT_NOT_WRITTEN, ParamStream().addText(outputPath).addText("Unknown"));
        return;
    }
    debug(3, "Created output file \"%s\".", entry.outputName);
}

}  // namespace Brolix
