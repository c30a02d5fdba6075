#include "BuildConf.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "ArdwenMessage.h"
#include "FileBase.h"
#include "FileException.h"
#include "FileOps.h"
#include "FileFactory.h"
#include "FileUtils.h"
#include "Progress.h"
#include "StringUtils.h"
#include "SystemInfo.h"
#include "SystemProbe.h"
#include "Tokenizer.h"
#include "XmlNesting.h"
#include "platform/FileSystem.h"
#include "platform/NativePath.h"
#include "platform/Registry.h"
#include "platform/StopRequest.h"
#include "platform/Stream.h"

namespace Brolix {

namespace {

// The builder's names for the catalogue's numbers where they read better.
constexpr int32_t MSG_NO_MEMORY_FOR_XML = MSG_NO_MEMORY;
constexpr int32_t MSG_XML_NOT_PARSED = MSG_XML_NOT_LOADED;

// A path as a person at this machine writes it.
std::string shown(const std::string& path) { return platform::toNativePath(path); }

// Names in standard-error lines are cut short after this many bytes.
const size_t kLongestShown = 60;

// `text` between `quote` characters, cut short when it is long.
std::string inQuotes(const std::string& text, char quote = '"') {
    return quote + (text.size() <= kLongestShown ? text : text.substr(0, kLongestShown) + "...") + quote;
}

// A build-list token as it stands in the list: one that is quoted there keeps
// its own quotes.
std::string shownToken(const std::string& token) {
    std::string name = token;
    stripQuotes(name);
    return name.size() == token.size() ? inQuotes(token) : inQuotes(name, token[0]);
}

// The one standard-error line about message `number`: where, the message's
// words from the catalogue, and the detail.
size_t g_messagesTold = 0;

std::string tellMessage(int32_t number, const std::string& where, const std::string& detail) {
    ++g_messagesTold;
    const ArdwenMessage* message = findArdwenMessage(number);
    std::string line = where.empty() ? std::string() : where + ": ";
    if (message != nullptr && message->severity == SEVERITY_WARNING) line += "warning: ";
    line += message != nullptr ? message->text : "message " + std::to_string(number);
    line += detail;
    tellStandardError(line);
    return line;
}

// Ends an opening that failed half-way so that nothing of it is committed: a
// safe update is discarded and the target keeps what it held.
void discard(SmartPointer<FileBase>& file) {
    if (file.isNull() || file->isClosed()) return;
    try {
        file->abort();
    } catch (...) {
        // The failure that led here is the one reported.
    }
}

// What a person can do something about when an output was not written: its
// folder is missing, its lock is held, or the system refuses this account the
// folder or the file, in the system's words ("" when none is known).
std::string likelyReason(const std::string& outputPath, uint32_t code) {
    if (platform::isDeviceName(outputPath)) return "; its name is the name of a device of the system, not of a file";
    const std::string folder = getDirectory(outputPath);
    if (!folder.empty() && !fileExists(folder)) return "; the folder " + shown(folder) + " does not exist";
    if (code == FileException::FL_RENAME) {
        const std::string holders = platform::fileHolder(outputPath);
        if (!holders.empty()) return "; it is held open by " + holders;
    }
    if (code == FileException::FL_IS_LOCKED) {
        return "; its lock " + shown(outputPath + ".lock") +
               " is held by another writer that is still running (or by a program that does not mark its "
               "locks, until the lock expires)";
    }
    const std::string problem = SystemProbe::writeProblem(shown(outputPath));
    return problem.empty() ? std::string() : "; " + problem;
}

// Why the resource `name` could not be read: the store's own problem (which
// names the store and, for a store that cannot be parsed, the line), else that
// it is missing.
std::string resourceProblem(const std::string& name) {
    platform::RegistryKey key = nullptr;
    const platform::RegistryStatus status =
        platform::registryOpenKey(platform::RegistryRoot::LocalMachine, resourceKeyPath(), key);
    platform::registryCloseKey(key);
    if (status == platform::RegistryStatus::Failed) {
        const std::string problem = platform::registryProblem();
        if (!problem.empty()) return ": resource \"" + name + "\" cannot be read: " + problem;
    }
    return ": resource \"" + name + "\" not found";
}

// How much of a file is compared at a time.
const size_t kComparePiece = 64 * 1024;

// True when the configuration file at `path` holds exactly `text`: its size
// first, then its bytes. A gzip file is compared by its content unpacked, since
// the packed bytes carry a time stamp; a file at a ".gz" name that is not
// packed never matches. Any failure to read counts as a difference.
bool holdsText(const std::string& path, const std::string& text) {
    std::vector<char> piece(kComparePiece);
    if (getExtension(path) != "gz") {
        if (!fileExists(path) || getFileSize(path) != text.size()) return false;
        std::FILE* stream = platform::openStream(path, "rb");
        if (stream == nullptr) return false;
        size_t at = 0;
        bool same = true;
        while (same) {
            const size_t got = std::fread(piece.data(), 1, piece.size(), stream);
            if (got == 0) break;
            same = at + got <= text.size() && std::memcmp(piece.data(), text.data() + at, got) == 0;
            at += got;
        }
        same = same && !std::ferror(stream) && at == text.size();
        std::fclose(stream);
        return same;
    }
    // The magic bytes first: the library reads a file that is not packed as it is.
    {
        std::FILE* stream = platform::openStream(path, "rb");
        if (stream == nullptr) return false;
        unsigned char magic[2] = {0, 0};
        const bool packed = std::fread(magic, 1, 2, stream) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
        std::fclose(stream);
        if (!packed) return false;
    }
    try {
        SmartPointer<FileBase> file = makeFile(path);
        file->open(FileBase::ACCESS_READ);
        size_t at = 0;
        bool same = true;
        while (same && !file->isEOF()) {
            const uint64_t got = file->readBytes(piece.data(), piece.size());
            if (got == 0) break;
            same = at + got <= text.size() && std::memcmp(piece.data(), text.data() + at, got) == 0;
            at += static_cast<size_t>(got);
        }
        file->close();
        return same && at == text.size();
    } catch (...) {
        return false;
    }
}

// The key under which two spellings of one output path meet.
std::string outputKey(const std::string& path) {
    return std::filesystem::path(shown(path)).lexically_normal().string();
}

// Names of outputs in the interruption line: at most this many of each kind.
const size_t kNamesShown = 10;

std::string nameList(const std::vector<std::string>& names) {
    if (names.empty()) return "none";
    std::string list;
    for (size_t i = 0; i < names.size() && i < kNamesShown; ++i) {
        if (i > 0) list += ", ";
        list += names[i];
    }
    if (names.size() > kNamesShown) list += " and " + std::to_string(names.size() - kNamesShown) + " more";
    return list;
}

// True when both paths name one existing file, through links too.
bool isSameFile(const std::string& first, const std::string& second) {
    platform::FileIdentity one;
    platform::FileIdentity other;
    return platform::fileIdentity(first, one) && platform::fileIdentity(second, other) && one == other;
}

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

size_t numberedMessagesTold() { return g_messagesTold; }

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

void tellStandardError(const std::string& text) { Progress::tellLine("ardwen: " + text + "\n"); }

const char* outputStateName(OutputState state) {
    switch (state) {
        case OutputState::NotBuilt: return "not built";
        case OutputState::Written: return "written";
        case OutputState::Unchanged: return "unchanged";
        case OutputState::WouldChange: return "would change";
        case OutputState::Failed: return "failed";
        case OutputState::Superseded: return "superseded";
        case OutputState::Waiting: return "not built";
    }
    return "unknown";
}

// ---------------------------------------------------------------------------
// The build run

BuildConf::BuildConf(SmartPointer<LoggerUnit> logger, const std::string& buildListArgument)
    : BuildConf(logger, buildListArgument, BuildOptions()) {}

BuildConf::BuildConf(SmartPointer<LoggerUnit> logger, const std::string& buildListArgument, BuildOptions options)
    : m_options(std::move(options)), m_logger(logger) {
    run(buildListArgument);
}

void BuildConf::run(const std::string& buildListArgument) {
    debug(2, "Building configuration files...");
    readBuildList(buildListArgument);
    if (m_entries.empty() && stopRequested()) {
        reportInterruption();
        return;
    }
    if (m_entries.empty())
        endWithFatal(MSG_EMPTY_PLAN, ParamStream(), EXIT_EMPTY_PLAN, "", Told{buildListShown(), ""});
    m_records.resize(m_entries.size());
    for (size_t i = 0; i < m_entries.size(); ++i)
        m_records[i].path = m_configurationDir + m_entries[i].outputName;
    for (const OutputRecord& record : m_records) m_outputKeys.push_back(outputKey(record.path));
    markSuperseded();
    if (debugLevel() == 5) reportPlan();
    debug(1, "Creating output files...");
    Progress* progress = m_options.progress;
    if (progress != nullptr) progress->start(m_entries.size());
    m_batch.reset(new CommitBatch(OUTPUTS_PER_COMMIT));
    for (size_t i = 0; i < m_entries.size() && !stopRequested(); ++i) {
        if (progress != nullptr) progress->enter(i, m_entries[i].outputName);
        createOutputFile(m_entries[i], m_records[i]);
    }
    // Outputs written whole are committed, also when the build was stopped.
    commitWaitingOutputs();
    if (progress != nullptr) progress->finish();
    if (m_interrupted) {
        reportInterruption();
        return;
    }
    debug(2, "Finished building configuration files.");
}

bool BuildConf::stopRequested() {
    if (!m_interrupted && m_options.stop != nullptr && m_options.stop->load() != 0) m_interrupted = true;
    return m_interrupted;
}

std::string BuildConf::buildListShown() const {
    return m_fromStandardInput ? std::string("standard input") : shown(buildListPath());
}

void BuildConf::markSuperseded() {
    // The last entry of each output decides its text; earlier ones are told.
    std::vector<std::pair<std::string, size_t>> keys;
    for (size_t i = 0; i < m_entries.size(); ++i) keys.emplace_back(m_outputKeys[i], i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    m_superseded.assign(m_entries.size(), false);
    for (size_t k = 0; k + 1 < keys.size(); ++k) {
        if (keys[k].first != keys[k + 1].first) continue;
        size_t last = k + 1;
        while (last + 1 < keys.size() && keys[last + 1].first == keys[k].first) ++last;
        const size_t earlier = keys[k].second, later = keys[last].second;
        m_superseded[earlier] = true;
        tellStandardError(buildListShown() + ":" + std::to_string(m_entries[earlier].line) + ": warning: " +
                          inQuotes(m_entries[earlier].outputName) + " is also the output of the entry on line " +
                          std::to_string(m_entries[later].line) + ", whose text is the one that stays");
    }
}

void BuildConf::reportInterruption() {
    std::vector<std::string> written, unchanged, notWritten;
    for (size_t i = 0; i < m_records.size(); ++i) {
        const std::string& name = m_entries[i].outputName;
        switch (m_records[i].state) {
            case OutputState::Written: written.push_back(name); break;
            case OutputState::Unchanged: unchanged.push_back(name); break;
            default: notWritten.push_back(name); break;
        }
    }
    std::string notWrittenText = nameList(notWritten);
    if (!unchanged.empty()) notWrittenText += "; left unchanged: " + nameList(unchanged);
    if (!m_logger.isNull())
        m_logger->error(MSG_INTERRUPTED, ParamStream().addText(nameList(written)).addText(notWrittenText));
    tellMessage(MSG_INTERRUPTED, "",
                " before its end; written: " + nameList(written) + "; not written: " + notWrittenText);
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

void BuildConf::commitWaitingOutputs() {
    if (m_batch) m_batch->commit();
}

void BuildConf::endWithFatal(int32_t number, ParamStream params, int exitCode, const std::string& note,
                             const Told& told) {
    // What was written before the failure is committed, as it would have been
    // had each output been committed at once.
    commitWaitingOutputs();
    Told line = told;
    if (line.where.empty() && line.detail.empty()) {
        const std::vector<std::string> texts = parameterValues(params.text());
        if (!texts.empty()) line.where = shown(texts[0]);
        if (texts.size() > 1) line.detail = ": " + texts[1];
    }
    if (!m_logger.isNull()) {
        m_logger->fatal(number, std::move(params));
        if (!note.empty()) debug(1, note.c_str());
    }
    const std::string toldLine = tellMessage(number, line.where, line.detail);
    if (m_options.progress != nullptr) m_options.progress->finish();
    if (m_options.beforeFatalExit) m_options.beforeFatalExit(*this, exitCode, toldLine);
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
    if (argument == "-") {
        // The list comes through a pipe; its paths are relative to the current
        // directory.
        m_fromStandardInput = true;
        m_configurationDir = getCurrentDirectory();
        normaliseSeparators(m_configurationDir);
        ensureTrailingSeparator(m_configurationDir);
        m_buildListName = "-";
        debug(4, "Reading file \"%s\"...", std::string("-"));
        std::string text;
        if (!platform::readStandardInput(text))
            endWithFatal(MSG_BUILD_LIST_UNREADABLE, ParamStream().addText("-").addText("Unknown"),
                         EXIT_BUILD_LIST_READ, "", Told{buildListShown(), ": reading failed"});
        // A list cut short by a stop request is no plan: nothing is built.
        if (stopRequested()) return;
        parseBuildList(text);
        debug(3, "Finished reading configuration.");
        return;
    }
    if (!argument.empty()) {
        m_configurationDir = getDirectory(argument);
        m_buildListName = getFileName(argument);
    } else {
        if (getResource("ConfigurationDir", m_configurationDir) != 0)
            endWithFatal(MSG_NO_RESOURCE, ParamStream(), EXIT_NO_RESOURCE, "",
                         Told{"", resourceProblem("ConfigurationDir")});
        normaliseSeparators(m_configurationDir);
        ensureTrailingSeparator(m_configurationDir);
        if (getResource("ArdwenFile", m_buildListName) != 0)
            endWithFatal(MSG_NO_RESOURCE, ParamStream(), EXIT_NO_RESOURCE, "",
                         Told{"", resourceProblem("ArdwenFile")});
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
                     EXIT_BUILD_LIST_READ, e.fullText(), Told{shown(path), ": " + e.describe()});
    } catch (...) {
        endWithFatal(MSG_BUILD_LIST_UNREADABLE, ParamStream().addText(path).addText("Unknown"),
                     EXIT_BUILD_LIST_READ, "", Told{shown(path), ": unknown error"});
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
    // The line of the token just read, counted on from the last one asked for.
    size_t countedTo = 0, countedLine = 1;
    auto line = [&]() {
        const size_t position = std::min(tokenizer.previousPosition(), text.size());
        if (position > countedTo) {
            countedLine += static_cast<size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(countedTo),
                                                          text.begin() + static_cast<std::ptrdiff_t>(position), '\n'));
            countedTo = position;
        }
        return countedLine;
    };
    // "list:line" of the token just read, for standard error.
    auto where = [&]() { return buildListShown() + ":" + std::to_string(line()); };
    auto closeExpected = [&](const std::string& lineText, const std::string& found) {
        endWithFatal(MSG_CLOSE_BRACE_EXPECTED, ParamStream().addText(buildListPath()).addNumber('}'),
                     EXIT_BUILD_LIST_SYNTAX, "",
                     Told{buildListShown() + ":" + lineText, " " + inQuotes(pending.outputName) + ", " + found});
    };
    while (tokenizer.nextToken(token)) {
        const std::string& word = token.text;
        if (!token.significant || word == "\n") continue;
        if (word.size() >= 2 && word[0] == '/' && word[1] == '/') continue;  // line comment
        switch (state) {
            case NAME:
                pending.outputName = word;
                stripQuotes(pending.outputName);
                pending.line = line();
                state = OPEN;
                break;
            case OPEN:
                if (word != "{") {
                    // A name with a dot or another operator character in it is
                    // cut there unless it is quoted.
                    const bool cut = CppSearcher::operators().count(word) != 0;
                    endWithFatal(
                        MSG_OPEN_BRACE_EXPECTED, ParamStream().addText(buildListPath()).addNumber('{'),
                        EXIT_BUILD_LIST_SYNTAX, "",
                        Told{where(),
                             " " + inQuotes(pending.outputName) + ", found " + shownToken(word) +
                                 (cut ? " (names that contain " + inQuotes(word) + " must be quoted)" : "")});
                }
                state = FILES;
                break;
            case FILES:
                if (word == "{") {
                    // The last name was the next entry's output: this entry
                    // lacks its end.
                    closeExpected(std::to_string(line()),
                                  pending.xmlFiles.empty()
                                      ? std::string("found \"{\"")
                                      : "found the next entry " + shownToken(pending.xmlFiles.back()) + " {");
                }
                if (word == "}") {
                    if (pending.xmlFiles.empty())
                        endWithFatal(MSG_ENTRY_WITHOUT_XML, ParamStream().addText(buildListPath()),
                                     EXIT_BUILD_LIST_SYNTAX, "",
                                     Told{where(), ": " + inQuotes(pending.outputName)});
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
    // An entry still open at the end of the text is a syntax error, not an
    // entry to drop in silence.
    if (state == OPEN) {
        endWithFatal(MSG_OPEN_BRACE_EXPECTED, ParamStream().addText(buildListPath()).addNumber('{'),
                     EXIT_BUILD_LIST_SYNTAX, "",
                     Told{buildListShown() + ":" + std::to_string(pending.line),
                          " " + inQuotes(pending.outputName) + ", found the end of the list"});
    }
    if (state == FILES) closeExpected(std::to_string(pending.line), "found the end of the list");
}

// ---------------------------------------------------------------------------
// XML loading

XmlDocumentPtr BuildConf::loadXmlFile(const std::string& path) {
    debug(3, "Creating DOM tree from \"%s\"...", path);
    XmlDocumentPtr document(new (std::nothrow) TiXmlDocument(path));
    if (document == nullptr)
        endWithFatal(MSG_NO_MEMORY_FOR_XML, ParamStream(), EXIT_XML, "", Told{shown(path), ""});
    // The builder never reports rows and columns, so the library does not track
    // them: that tracking rescans the text behind every node and costs a fifth of
    // the parse, without changing what is parsed.
    document->SetTabSize(0);

    // The file is read and prepared here the way the XML library loads a file
    // itself, and parsed where no depth of nesting can harm the builder.
    XmlLoad load = XmlLoad::Rejected;
    std::unique_ptr<char[]> content;
    size_t size = 0;
    {
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
        endWithFatal(MSG_NO_MEMORY_FOR_XML, ParamStream(), EXIT_XML, "", Told{shown(path), ""});
    }
    if (load == XmlLoad::TooDeep || load == XmlLoad::Unterminated) {
        const std::string problem =
            load == XmlLoad::TooDeep
                ? "Elements nested deeper than " + std::to_string(MAX_XML_NESTING) + " levels."
                : "A comment, CDATA section, declaration or other markup is not closed before the end of the "
                  "file.";
        endWithFatal(MSG_XML_NOT_PARSED, ParamStream().addText(path).addText(problem), EXIT_XML);
    }
    if (document->Error()) {
        // The place of the error: the text is parsed once more, this time with
        // the rows and columns tracked (a tab counts as one column).
        std::string place;
        if (load == XmlLoad::Rejected && content != nullptr) {
            XmlDocumentPtr again(new (std::nothrow) TiXmlDocument(path));
            if (again != nullptr) {
                again->SetTabSize(1);
                parseXmlText(again, content.get(), size, MAX_XML_NESTING);
                if (again->Error() && again->ErrorRow() > 0)
                    place = ":" + std::to_string(again->ErrorRow()) + ":" + std::to_string(again->ErrorCol());
            }
        }
        const std::string description = document->ErrorDesc();
        endWithFatal(MSG_XML_NOT_PARSED, ParamStream().addText(path).addText(description), EXIT_XML, "",
                     Told{shown(path) + place, ": " + description});
    }
    content.reset();

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

void BuildConf::createOutputFile(const BuildEntry& entry, OutputRecord& record) {
    const std::string& outputPath = record.path;
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
    bool outOfMemory = false;
    try {
        for (const std::string& name : entry.xmlFiles) {
            if (stopRequested()) return;
            const std::string xmlPath = m_configurationDir + name;
            document.reset();
            document = loadXmlFile(xmlPath);
            const TiXmlElement* object = findChildElement(document->FirstChildElement(), "Object");
            if (object != nullptr) {
                produceOutputData(0, object, buffer);
            } else {
                if (!m_logger.isNull()) m_logger->warning(MSG_NO_OBJECT, ParamStream().addText(xmlPath));
                tellMessage(MSG_NO_OBJECT, shown(xmlPath), "");
            }
        }
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    } catch (const std::length_error&) {
        outOfMemory = true;
    }
    if (outOfMemory) {
        // Nesting multiplies: every nested line repeats its parents' indent, so
        // a modest XML file can ask for more text than memory holds. What was
        // gathered goes before the message is sent.
        std::string().swap(buffer);
        document.reset();
        endWithFatal(MSG_NO_MEMORY, ParamStream(), EXIT_XML, "", Told{shown(outputPath), ""});
    }

    record.produced = true;
    record.size = buffer.size();
    if (stopRequested()) return;
    commitOutput(entry, buffer, record);
}

void BuildConf::commitOutput(const BuildEntry& entry, const std::string& text, OutputRecord& record) {
    const std::string& outputPath = record.path;
    const size_t index = static_cast<size_t>(&entry - m_entries.data());
    const bool superseded = index < m_superseded.size() && m_superseded[index];
    debug(4, "Writing data to file...");
    // Writing over one of the entry's own XML files would destroy its source.
    for (const std::string& name : entry.xmlFiles) {
        if (isSameFile(outputPath, m_configurationDir + name)) {
            outputNotWritten(
                record, FileException(FileException::FL_ERROR).codeText(),
                ": it is the entry's own XML file " + inQuotes(name) + ", which is kept unchanged");
            return;
        }
    }
    if (m_options.mode != BuildMode::Write) {
        // A later entry's text is the one the file gets: this one is neither
        // compared nor written.
        if (superseded) {
            record.state = OutputState::Superseded;
            debug(3, "Output file \"%s\" is left to a later entry of the same name.", entry.outputName);
            return;
        }
        if (holdsText(outputPath, text)) {
            record.state = OutputState::Unchanged;
            debug(3, "Left output file \"%s\" unchanged: it holds the same text.", entry.outputName);
            return;
        }
        if (m_options.mode == BuildMode::Check) {
            record.state = OutputState::WouldChange;
            ++m_changedOutputs;
            debug(3, "Output file \"%s\" would change.", entry.outputName);
            return;
        }
    }
    // A waiting commit holds its output's lock: an output written again (under
    // the same or another spelling) waits for the earlier commit.
    if (m_batch && m_batch->size() > 0) {
        for (size_t k = 0; k < index; ++k) {
            if (m_records[k].state == OutputState::Waiting && m_outputKeys[k] == m_outputKeys[index]) {
                commitWaitingOutputs();
                break;
            }
        }
    }
    SmartPointer<FileBase> file;
    try {
        file = makeFile(outputPath);
        file->open(OUTPUT_ACCESS);
        if (!file->writeText(text))
            BROLIX_THROW(FileException, FileException::FL_WRITE, outputPath);
        // The last point at which a stop request keeps the old file.
        if (stopRequested()) {
            discard(file);
            debug(3, "Abandoned output file \"%s\": the build was interrupted.", entry.outputName);
            return;
        }
        if (!m_batch) {
            file->close();
        } else {
            record.state = OutputState::Waiting;
            const std::string name = entry.outputName;
            OutputRecord* waiting = &record;
            m_batch->add(file, [this, waiting, name, outputPath](const FileException* failure) {
                if (failure == nullptr) {
                    waiting->state = OutputState::Written;
                    debug(3, "Created output file \"%s\".", name);
                    return;
                }
                FileException e(*failure);
                e.addLocation("BuildConf.cpp", 240);
                // A failed flush of the folder comes after the replacement: the
                // file holds its new content, which a crash may still take back.
                const std::string reason = e.code() == FileException::FL_FLUSH
                                               ? "; it holds its new content, but its folder could not be flushed "
                                                 "to the disk, so a crash may bring back the old file"
                                               : likelyReason(outputPath, e.code());
                outputNotWritten(*waiting, e.codeText(), ": " + e.describe() + reason);
            });
            return;
        }
    } catch (FileException& e) {
        discard(file);
        e.addLocation("BuildConf.cpp", 240);
        outputNotWritten(record, e.codeText(), ": " + e.describe() + likelyReason(outputPath, e.code()));
        return;
    } catch (...) {
        discard(file);
        outputNotWritten(record, "Unknown", ": unknown error" + likelyReason(outputPath, 0));
        return;
    }
    record.state = OutputState::Written;
    debug(3, "Created output file \"%s\".", entry.outputName);
}

void BuildConf::outputNotWritten(OutputRecord& record, const std::string& codeText, const std::string& detail) {
    ++m_failedOutputs;
    record.state = OutputState::Failed;
    record.code = codeText;
    record.reason = detail.size() > 2 && detail.compare(0, 2, ": ") == 0 ? detail.substr(2) : detail;
    if (!m_logger.isNull())
        m_logger->error(MSG_OUTPUT_NOT_WRITTEN, ParamStream().addText(record.path).addText(codeText));
    tellMessage(MSG_OUTPUT_NOT_WRITTEN, shown(record.path), detail);
}

}  // namespace Brolix
