#include "LockFile.h"

#include <random>

#include "FileOps.h"
#include "TimeException.h"

namespace Brolix {

namespace {

constexpr int ID_RANDOM_CHARACTERS = 10;

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

void LockFile::readExisting() {
    m_present = true;
    m_holdTarget = false;
    const std::string lockName = lockPath();
    if (!fileExists(lockName)) {
        m_present = false;
        return;
    }
    // A lock file that cannot be read, or ends before its times, keeps the
    // times of this object's construction: it is present but already expired.
    BasicFile file;
    if (!file.open(lockName, BasicFile::MODE_READ)) return;
    std::string line;
    try {
        if (!nextLine(file, line)) return;
        m_lockTime.assignFields(parseDateTime(line));
        if (!nextLine(file, line)) return;
        m_expiry.assignFields(parseDateTime(line));
    } catch (TimeException& e) {
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
    if (!nextLine(file, line)) return;
    m_ownerId = line;
    if (!nextLine(file, line)) return;
    m_holdTarget = (line == "original");
}

bool LockFile::lockFor(const TimeSpan& duration, bool holdTarget) {
    m_lockTime.setNow();
    m_expiry = m_lockTime + duration;
    return lock(holdTarget);
}

bool LockFile::lock(bool holdTarget) {
    if (m_present) return false;
    const std::string lockName = lockPath();
    if (!m_lockStream.open(lockName, BasicFile::MODE_WRITE)) return false;
    // Flushed at once so that other writers read a whole lock file.
    const bool written = m_lockStream.writeLine(m_lockTime.toString(true, true, false)) &&
                         m_lockStream.writeLine(m_expiry.toString(true, true, false)) &&
                         m_lockStream.writeLine(m_myId) &&
                         m_lockStream.writeLine(holdTarget ? "original" : "missing") && m_lockStream.flush();
    if (!written) {
        // A partial lock file would block every later writer; it goes.
        m_lockStream.close();
        deleteFile(lockName);
        return false;
    }
    if (holdTarget && !m_targetStream.open(m_path, BasicFile::MODE_APPEND)) {
        m_lockStream.close();
        deleteFile(lockName);
        return false;
    }
    m_present = true;
    m_ownerId = m_myId;
    m_holdTarget = holdTarget;
    return true;
}

bool LockFile::unlock() {
    if (!m_present) return true;
    const bool mine = (m_ownerId == m_myId);
    if (!mine && DateTime() < m_expiry) return false;
    const std::string lockName = lockPath();
    if (mine) {
        if (m_holdTarget) m_targetStream.close();
        m_lockStream.close();
        deleteFile(lockName);
    } else if (!deleteFile(lockName) && fileExists(lockName)) {
        return false;
    }
    m_present = false;
    return true;
}

}  // namespace Brolix
