/// LoggerAgentFile appends log lines to the debug log file. Several processes of
/// the family may write log files of the same name at once, so every append runs
/// under two guards: an unnamed one for this process's threads and a machine-wide
/// one named after the file's base name (directories do not matter). The guards are
/// held only while the file is opened and while one line is appended, never
/// between lines.
///
/// When the system refuses the machine-wide guard (its lock folder is a plain
/// file, read-only, full, or its lock file cannot be opened), waiting would not
/// help: the agent then keeps the processes' lines apart with a lock on the log
/// file itself, and when even that is refused it writes the line without a
/// machine-wide lock, rather than lose it. Each of these is said once per file,
/// in a line of the log file itself.
///
/// The file is opened lazily, at the first line after setFile, in place (no
/// temporary copy, no lock file) and for appending, and then kept open; each line
/// is written at the current end of the file followed by "\r\n" and flushed at
/// once. When the agent creates the file, it records the time in the resource
/// coreLogOpened (UTC, basic form). The agent owns its file object; its destructor
/// closes the file.
#pragma once

#include <memory>
#include <string>

#include "DateTime.h"
#include "FileBase.h"
#include "LoggerAgent.h"
#include "Monopoly.h"
#include "SmartPointer.h"

namespace Brolix {

namespace platform {
class FileLock;
}

class LoggerAgentFile : public LoggerAgent {
public:
    LoggerAgentFile();
    ~LoggerAgentFile() override;

    /// "file:///" followed by the current file's path.
    std::string location() const override;
    /// Appends `line` and "\r\n" and flushes. False when another process held
    /// the guard for the whole wait or the file could not be opened or written; the line is then lost and
    /// the next call tries again. A stored coreLogOpened that cannot be read raises
    /// its TimeException, once per file; later calls go on with the current time.
    bool write(const std::string& line) override;

    /// Moves the agent to `path`. The same path changes nothing; another path closes
    /// the current file, and the new one is opened by the next write. False only
    /// when the new file object cannot be made (the agent keeps its old file).
    bool setFile(const std::string& path);

    /// Tries of the named guard per line, and the pause after each failed try.
    static const int GUARD_TRIES = 50;
    static const uint32_t GUARD_PAUSE_MS = 40;

    /// The notes the agent writes into the log file when the machine-wide guard
    /// is refused, without the line's prefix, time stamp and identity.
    static std::string fileLockNote(const std::string& guardName);
    static std::string unlockedNote(const std::string& guardName);

private:
    /// What keeps other processes' lines apart from the one being written.
    enum Hold { HOLD_NONE, HOLD_NAMED, HOLD_FILE_LOCK, HOLD_UNLOCKED };

    bool openFile();
    bool takeGuards();
    bool takeFileLock();
    void giveGuardsBack();
    void writeNoteIfDue();

    SmartPointer<FileBase> m_file;
    Monopoly m_localGuard;
    std::string m_guardName;
    DateTime m_openTime;
    /// The named guard of the current file, made at the first append and kept
    /// between lines. It is held only from takeGuards to giveGuardsBack: the
    /// machine-wide lock exists only while a line is appended either way, and
    /// keeping the object spares every line the cost of setting the guard up.
    std::unique_ptr<Monopoly> m_namedGuard;
    /// Set once the stored open time of the current file was found unreadable and
    /// reported; the agent then opens the file with the current time.
    bool m_openTimeReported = false;
    /// The line being written with its "\r\n"; used under the local guard.
    std::string m_lineBuffer;
    /// The lock on the log file itself, made when the machine-wide guard is first
    /// refused, and kept for the file.
    std::unique_ptr<platform::FileLock> m_fileLock;
    Hold m_hold = HOLD_NONE;
    /// The holds other than the named guard already said in this file (bit per Hold).
    unsigned m_noted = 0;
};

}  // namespace Brolix
