#include "LockFile.h"

#include <chrono>
#include <random>
#include <thread>

#include "FileOps.h"
#include "TimeException.h"
#include "platform/FileSystem.h"

namespace Brolix {

namespace {

constexpr int ID_RANDOM_CHARACTERS = 10;
/// Tries, a millisecond apart, to remove this object's own lock file, or to
/// open a lock file that exists.
constexpr int LOCK_FILE_ATTEMPTS = 200;

/// The identity of a new lock object: the UTC time of day in compact form and
/// ten random characters from 32 to 125. The characters come from the system's
/// entropy source, so that objects made in the same second (in one process, in
/// several, or in a forked copy of this one) do not share an identity.
std::string makeIdentity(const DateTime& now) {
    std::string id = timeText(now.timeOfDay(), true);
    std::random_device random;
    for (int i = 0; i < ID_RANDOM_CHARACTERS; ++i) {
        id.push_back(static_cast<char>(random() % 94 + 32));
    }
    return id;
}

/// A name of this object's own beside the lock file, for writing it whole
/// before it takes the lock file's name.
std::string privateName(const std::string& lockName) {
    static const char HEX[] = "0123456789abcdef";
    std::random_device random;
    std::string name = lockName + ".";
    for (int i = 0; i < 12; ++i) name.push_back(HEX[random() % 16]);
    return name;
}

/// Removes this object's own lock file. Writers that look for a lock read the
/// file for a moment; where the system refuses to remove a file that somebody
/// holds open (Windows), the removal is tried again for a short while, so that
/// a lock given up does not stay behind and hold every writer off until it
/// expires. A lock file that still cannot be removed is left (and expires).
void removeOwnLockFile(const std::string& lockName) {
    for (int attempt = 0; attempt < LOCK_FILE_ATTEMPTS; ++attempt) {
        if (deleteFile(lockName) || !fileExists(lockName)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

/// Opens an existing lock file for reading. Where the system refuses to open a
/// file for the moment another process removes or renames it (Windows), the
/// opening is tried again for a short while: a lock that merely could not be
/// read at one instant must not pass for a stale one and be broken.
bool openLockFile(BasicFile& file, const std::string& lockName) {
    for (int attempt = 0; attempt < LOCK_FILE_ATTEMPTS; ++attempt) {
        if (file.open(lockName, BasicFile::MODE_READ)) return true;
        if (!fileExists(lockName)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

/// Reads one line; false when the line is empty at the end of the file (the
/// lock file ends there).
bool nextLine(BasicFile& file, std::string& line) {
    if (file.isAtEnd(BasicFile::SIDE_LAST)) return false;
    line = file.readLine();
    return !(line.empty() && file.isAtEnd(BasicFile::SIDE_LAST));
}

}  // namespace

LockFile::LockFile(const std::string& path)
    : m_path(path), m_present(true), m_targetExisted(false), m_holdTarget(false) {
    m_myId = makeIdentity(m_lockTime);
    m_targetExisted = fileExists(path);
    readExisting();
}

LockFile::~LockFile() = default;

bool LockFile::readRecord(Record& record) const {
    const std::string lockName = lockPath();
    if (!fileExists(lockName)) return false;
    BasicFile file;
    if (!openLockFile(file, lockName)) return fileExists(lockName);
    std::string line;
    try {
        if (!nextLine(file, line)) return true;
        record.lockTime.assignFields(parseDateTime(line));
        if (!nextLine(file, line)) return true;
        record.expiry.assignFields(parseDateTime(line));
    } catch (TimeException& e) {
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
    if (!nextLine(file, line)) return true;
    record.ownerId = line;
    if (!nextLine(file, line)) return true;
    record.holdTarget = (line == "original");
    return true;
}

void LockFile::readExisting() {
    // A lock file that cannot be read, or ends before its times, keeps the
    // times of this object's construction: it is present but already expired.
    Record record{m_lockTime, m_expiry, std::string(), false};
    m_present = readRecord(record);
    m_holdTarget = false;
    if (!m_present) return;
    m_lockTime = record.lockTime;
    m_expiry = record.expiry;
    m_ownerId = record.ownerId;
    m_holdTarget = record.holdTarget;
}

bool LockFile::lockFor(const TimeSpan& duration, bool holdTarget) {
    m_lockTime.setNow();
    m_expiry = m_lockTime + duration;
    return lock(holdTarget);
}

bool LockFile::lock(bool holdTarget) {
    if (m_present) return false;
    const std::string lockName = lockPath();
    const std::string draft = privateName(lockName);
    BasicFile file;
    if (!file.create(draft, BasicFile::MODE_WRITE)) return false;
    const bool written = file.writeLine(m_lockTime.toString(true, true, false)) &&
                         file.writeLine(m_expiry.toString(true, true, false)) && file.writeLine(m_myId) &&
                         file.writeLine(holdTarget ? "original" : "missing") && file.close();
    // The move fails when a lock file exists: then another writer got there
    // first.
    if (!written || !platform::moveFile(draft, lockName)) {
        file.close();
        deleteFile(draft);
        if (written) readExisting();
        return false;
    }
    // The target is held only when it exists: a missing target is not created
    // before there is content for it.
    if (holdTarget && fileExists(m_path) && !m_targetStream.open(m_path, BasicFile::MODE_APPEND)) {
        deleteFile(lockName);
        return false;
    }
    // Kept open while the lock is held, so that the system knows the file in
    // use.
    m_lockStream.open(lockName, BasicFile::MODE_READ);
    m_present = true;
    m_ownerId = m_myId;
    m_holdTarget = holdTarget;
    return true;
}

void LockFile::releaseTarget() { m_targetStream.close(); }

bool LockFile::unlock() {
    if (!m_present) return true;
    const bool mine = (m_ownerId == m_myId);
    if (!mine && DateTime() < m_expiry) return false;
    const std::string lockName = lockPath();
    if (mine) {
        m_targetStream.close();
        m_lockStream.close();
        removeOwnLockFile(lockName);
        m_present = false;
        return true;
    }
    // The expired lock may have been broken and taken anew by another writer
    // since it was read: only the lock that was judged stale is removed.
    Record record{m_lockTime, m_expiry, std::string(), false};
    if (readRecord(record)) {
        if (record.ownerId != m_ownerId || record.expiry.value() != m_expiry.value()) {
            m_lockTime = record.lockTime;
            m_expiry = record.expiry;
            m_ownerId = record.ownerId;
            m_holdTarget = record.holdTarget;
            return false;
        }
        if (!deleteFile(lockName) && fileExists(lockName)) return false;
    }
    m_present = false;
    return true;
}

}  // namespace Brolix
