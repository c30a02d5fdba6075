/// BuildConf is the configuration builder. One object performs one complete build
/// inside its constructor: it reads the build list into the build plan, reports
/// the plan, and writes every configuration file of the plan from its XML files.
/// The constructor returns only when the build has run to its end (single output
/// files may have failed and been reported); every fatal failure sends its
/// numbered FATAL message through the logger and ends the process with its exit
/// code, so the destructor then never runs.
///
/// The object owns the plan and its texts and shares the logger unit. XML
/// documents and file objects live only inside the call that uses them; each XML
/// document is released as soon as its objects have been written to the output
/// buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CommitBatch.h"
#include "LoggerUnit.h"
#include "ParamStream.h"
#include "SmartPointer.h"
#include "XmlNesting.h"

class TiXmlDocument;
class TiXmlElement;

namespace Brolix {

/// One configuration file of the plan: its name relative to the configuration
/// directory and the XML files it is built from, in order.
struct BuildEntry {
    std::string outputName;
    std::vector<std::string> xmlFiles;
    /// The line of the build list the entry starts on (1 for the first).
    size_t line = 0;
};

/// What a build does with the configuration text it produces.
enum class BuildMode {
    Write,        ///< replaces every configuration file
    OnlyChanged,  ///< replaces only the files whose content differs from the new text
    Check,        ///< writes nothing; compares every file with the new text
};

/// What became of one configuration file of the plan.
enum class OutputState {
    NotBuilt,     ///< the build ended (fatal failure, interruption) before it
    Written,      ///< replaced with the new text
    Unchanged,    ///< it already held the new text and was left untouched
    WouldChange,  ///< check mode: the new text differs from the file (or it is missing)
    Failed,       ///< the file could not be written (ERROR 9)
    Superseded,   ///< a later entry of the list has the same output, and its text stays
    Waiting,      ///< written whole, its commit waits with the others (see CommitBatch)
};

/// The words of a state as the report writes them: "written", "would change"...
const char* outputStateName(OutputState state);

/// One configuration file of the plan and what became of it.
struct OutputRecord {
    std::string path;  ///< library form, as in the messages
    OutputState state = OutputState::NotBuilt;
    /// The bytes of the configuration text (before compression), once produced.
    bool produced = false;
    uint64_t size = 0;
    /// For a failed file: the reason in words and the error code ("60.17").
    std::string reason;
    std::string code;
};

class BuildConf;
class Progress;

/// How one build runs beyond the build list itself.
struct BuildOptions {
    BuildMode mode = BuildMode::Write;
    /// Set (non-zero) by a stop request; checked between entries, between XML
    /// files and before an output is committed. Null: never stops.
    const std::atomic<int>* stop = nullptr;
    /// Shows which file the build is on, when set.
    Progress* progress = nullptr;
    /// Called with the build as it stands, the exit code and the line standard
    /// error has just been told, when a fatal failure is about to end the process.
    std::function<void(const BuildConf&, int exitCode, const std::string& told)> beforeFatalExit;
};

/// Exit codes of the builder's fatal failures, and of a build that ran to its
/// end without writing every configuration file.
enum BuildExit : int {
    EXIT_WOULD_CHANGE = 1,        ///< check mode: one or more configuration files would change
    EXIT_NO_RESOURCE = 2,         ///< "ConfigurationDir" or "ArdwenFile" missing
    EXIT_BUILD_LIST_READ = 3,     ///< the build list cannot be read
    EXIT_BUILD_LIST_SYNTAX = 4,   ///< the build list is malformed
    EXIT_EMPTY_PLAN = 5,          ///< the build list names no configuration file
    EXIT_XML = 6,                 ///< an XML file cannot be loaded or parsed
    EXIT_OUTPUT_NOT_WRITTEN = 7,  ///< one or more configuration files could not be written
    EXIT_NO_LOGGER = 8,           ///< the logging chain cannot be set up
    EXIT_OWN_OUTPUT = 9,          ///< standard output or the report could not be written
};

/// The deepest element nesting an XML file may have. The XML library needs
/// machine stack for every level while it parses and releases a document, and
/// time that grows with the square of the depth; far deeper than any real
/// configuration, this keeps both small. The calling thread's stack holds it.
constexpr size_t MAX_XML_NESTING = 2000;

/// Access value of output files: write, truncate, create (14), as a safe update.
/// The new text goes to "name.tmp", which replaces the target in one rename
/// when the file is closed: readers, a crash or a full disk never leave a
/// partial configuration file, and a failed write keeps the old one.
#ifdef ARDWEN_OUTPUT_ACCESS
// A build for measurements only: the benchmark compares the safe update with
// writing the outputs in place (access value 110).
constexpr uint16_t OUTPUT_ACCESS = ARDWEN_OUTPUT_ACCESS;
#else
constexpr uint16_t OUTPUT_ACCESS = 0x02 | 0x04 | 0x08;
#endif
/// How many written outputs wait, their locks held, before their data is made
/// durable together (each holds a few descriptors meanwhile).
constexpr size_t OUTPUTS_PER_COMMIT = 64;

/// Writes "ardwen: " and `text` as one line on standard error, where a person
/// running the program reads what went wrong.
void tellStandardError(const std::string& text);

/// How many numbered messages (WARNING, ERROR, FATAL) the build has told on
/// standard error; each of them also went to the debug log.
size_t numberedMessagesTold();

/// How a fatal failure ends the build once its message is sent: without an
/// ending of its own (null, the default) the process exits with the code. A
/// program that runs many builds in one process, such as a fuzz target,
/// installs its own, which must not return (it throws).
using FatalEnding = void (*)(int exitCode);
void setFatalEnding(FatalEnding ending);

class BuildConf {
public:
    /// Performs the whole build. `buildListArgument` is the build list's path
    /// from the command line without outer quotes; empty means that the
    /// resources "ConfigurationDir" and "ArdwenFile" name it.
    /// "-" reads the build list from standard input; its paths are then relative
    /// to the current directory.
    BuildConf(SmartPointer<LoggerUnit> logger, const std::string& buildListArgument);
    BuildConf(SmartPointer<LoggerUnit> logger, const std::string& buildListArgument, BuildOptions options);
    BuildConf(const BuildConf&) = delete;
    BuildConf& operator=(const BuildConf&) = delete;
    virtual ~BuildConf();

    /// The number of configuration files of the plan, and how many of them could
    /// not be written (each reported with ERROR 9).
    size_t outputCount() const { return m_entries.size(); }
    size_t failedOutputs() const { return m_failedOutputs; }
    /// Check mode: how many files the build would change.
    size_t changedOutputs() const { return m_changedOutputs; }
    /// True when a stop request ended the build before its end.
    bool interrupted() const { return m_interrupted; }
    /// One record per entry of the plan, in its order (empty until the list is read).
    const std::vector<OutputRecord>& records() const { return m_records; }
    /// The build list as standard error names it ("standard input" for "-").
    std::string buildListShown() const;

private:
    /// What standard error tells about a message beyond its words: the file
    /// (and line) it concerns, and what is known besides its parameters.
    struct Told {
        std::string where;
        std::string detail;
    };

    void run(const std::string& buildListArgument);
    bool stopRequested();
    void readBuildList(const std::string& argument);
    void markSuperseded();
    void reportInterruption();
    void parseBuildList(const std::string& text);
    void reportPlan();
    void createOutputFile(const BuildEntry& entry, OutputRecord& record);
    void commitOutput(const BuildEntry& entry, const std::string& text, OutputRecord& record);
    XmlDocumentPtr loadXmlFile(const std::string& path);
    void produceOutputData(int depth, const TiXmlElement* object, std::string& out);

    std::string buildListPath() const { return m_configurationDir + m_buildListName; }
    void debug(int32_t level, const char* text);
    void debug(int32_t level, const char* format, const std::string& parameter);
    /// Sends FATAL `number` with `params` (and then `note` at debug level 1 when
    /// it is not empty), tells standard error, and ends the process with
    /// `exitCode`. Without `told` the line names the first parameter as the
    /// file and adds the second after the message's words.
    [[noreturn]] void endWithFatal(int32_t number, ParamStream params, int exitCode,
                                   const std::string& note = std::string(), const Told& told = Told());
    /// Reports an output file that was not written: ERROR 9 with `codeText`,
    /// and `detail` after the message's words on standard error.
    void outputNotWritten(OutputRecord& record, const std::string& codeText, const std::string& detail);
    /// Commits the outputs whose commits wait (see m_batch).
    void commitWaitingOutputs();

    std::vector<BuildEntry> m_entries;
    std::vector<OutputRecord> m_records;
    /// Each output's path in one spelling, to find one output named twice.
    std::vector<std::string> m_outputKeys;
    BuildOptions m_options;
    std::vector<bool> m_superseded;
    bool m_fromStandardInput = false;
    bool m_interrupted = false;
    size_t m_changedOutputs = 0;
    std::string m_configurationDir;
    std::string m_buildListName;
    SmartPointer<LoggerUnit> m_logger;
    size_t m_failedOutputs = 0;
    /// Written outputs wait here, their locks held, so that their data reaches
    /// the disk together; each counts as created when its commit is done.
    std::unique_ptr<CommitBatch> m_batch;
};

/// The first child element of `parent` named `name`; null when there is none or
/// no parent. Text, comments and other nodes between the elements are passed over.
const TiXmlElement* findChildElement(const TiXmlElement* parent, const char* name);

/// The element's text: the value of its first child node when that node is text;
/// null otherwise (no element, no children, or an element or comment first).
const std::string* getElementText(const TiXmlElement* element);

/// The children of an "Object" element that make up its line: the first child
/// elements named "Name", "Value" and "SubObjects", each null when missing.
struct ObjectParts {
    const TiXmlElement* name = nullptr;
    const TiXmlElement* value = nullptr;
    const TiXmlElement* subObjects = nullptr;
};

/// Finds the parts of `object` in one walk over its children.
ObjectParts findObjectParts(const TiXmlElement* object);

/// The parts of an object's line as the XML library delivers them; "" when the
/// child element, its text or the attribute is missing. Name and value are
/// written escaped (escapeBackslashes), the type as it is.
const std::string& getObjectName(const ObjectParts& parts);
const std::string& getValueType(const ObjectParts& parts);
const std::string& getValueText(const ObjectParts& parts);

/// Appends `text` to `out` with every backslash doubled; every other byte is
/// copied unchanged.
void escapeBackslashes(const std::string& text, std::string& out);

}  // namespace Brolix
