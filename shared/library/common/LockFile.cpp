#include "LockFile.h"

#include <random>

#include "FileOps.h"
#include "TimeException.h"

namespace Brolix {

namespace {

constexpr int ID_RANDOM_CHARACTERS = 10;
/// The sign of a holder that marks its lock file, in place of the first random
/// character; outside the range the random characters are drawn from.
constexpr char MARKED_SIGN = '~';
/// Attempts of lock() when the lock file it found vanishes or turns out to
/// belong to a holder that is gone, one after another.
constexpr int TAKE_ATTEMPTS = 3;

/// A character of an identity: 32 to 125, from the system's entropy source,
/// so that objects made in the same second (in one process, in several, or in
/// a forked copy of this one) do not share an identity.
char randomCharacter(std::random_device& random) { return static_cast<char>(random() % 94 + 32); }

/// Reads one line of `text` from `at`; false at the end (an empty last line
/// counts as the end, as the lock file ends there).
bool nextLine(const std::string& text, size_t& at, std::string& line) {
    if (at >= text.size()) return false;
    const size_t end = text.find('\n', at);
    line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    // Carriage returns are dropped, as a line reader of the stream files does.
    std::string kept;
    for (char c : line) {
        if (c != '\r') kept.push_back(c);
    }
    line.swap(kept);
    return true;
}

/// The sign stands right after the time of day (six digits and "Z").
bool isMarkedIdentity(const std::string& id) { return id.size() > 7 && id[7] == MARKED_SIGN; }

}  // namespace

LockFile::LockFile(const std::string& path)
    : m_path(path), m_present(true), m_targetExisted(false), m_holdTarget(false) {
    std::random_device random;
    const std::string time = timeText(m_lockTime.timeOfDay(), true);
    m_myId = time + MARKED_SIGN;
    m_unmarkedId = time;
    m_unmarkedId.push_back(randomCharacter(random));
    for (int i = 1; i < ID_RANDOM_CHARACTERS; ++i) {
        const char c = randomCharacter(random);
        m_myId.push_back(c);
        m_unmarkedId.push_back(c);
    }
    m_targetExisted = fileExists(path);
    readExisting();
}

LockFile::~LockFile() = default;

void LockFile::readExisting() {
    m_probe.reset(new platform::LockProbe);
    const platform::LockProbe::State state = m_probe->probe(lockPath());
    m_holdTarget = false;
    m_present = state != platform::LockProbe::NONE;
    if (!m_present) {
        m_found = Found::NONE;
        m_probe.reset();
        return;
    }
    // A lock file that cannot be read, or ends before its times, keeps the
    // times of this object's construction: it is present but already expired,
    // unless its holder is seen alive.
    const std::string& text = m_probe->content();
    size_t at = 0;
    std::string line;
    std::string owner;
    bool holds = false;
    try {
        if (nextLine(text, at, line)) {
            m_lockTime.assignFields(parseDateTime(line));
            if (nextLine(text, at, line)) {
                m_expiry.assignFields(parseDateTime(line));
                if (nextLine(text, at, line)) {
                    owner = line;
                    if (nextLine(text, at, line)) holds = (line == "original");
                }
            }
        }
    } catch (TimeException& e) {
        m_probe.reset();
        e.addLocation(__FILE__, __LINE__);
        throw e;
    }
    m_ownerId = owner;
    m_holdTarget = holds;
    switch (state) {
        case platform::LockProbe::HELD:
            m_found = Found::ALIVE;
            m_probe.reset();
            break;
        case platform::LockProbe::FREE:
            m_found = isMarkedIdentity(owner) ? Found::MARKED_DEAD : Found::UNMARKED;
            break;
        case platform::LockProbe::BUSY_SYSTEM:
            // Nothing could be learnt: a lock that cannot be judged is kept.
            m_found = Found::ALIVE;
            m_probe.reset();
            break;
        default:
            m_found = Found::UNREADABLE;
            m_probe.reset();
            break;
    }
}

std::string LockFile::content(const std::string& id, bool holdTarget) const {
    return m_lockTime.toString(true, true, false) + "\n" + m_expiry.toString(true, true, false) + "\n" + id +
           "\n" + (holdTarget ? "original" : "missing") + "\n";
}

bool LockFile::lockFor(const TimeSpan& duration, bool holdTarget) {
    m_lockTime.setNow();
    m_expiry = m_lockTime + duration;
    return lock(holdTarget);
}

bool LockFile::lock(bool holdTarget) {
    if (m_present) return false;
    // Looking at a lock found on the way takes over its times: this lock's own
    // are kept apart.
    const DateTime lockTime = m_lockTime;
    const DateTime expiry = m_expiry;
    for (int attempt = 1; attempt <= TAKE_ATTEMPTS; ++attempt) {
        m_lockTime = lockTime;
        m_expiry = expiry;
        const platform::LockMark::Result result =
            m_mark.take(lockPath(), content(m_myId, holdTarget), content(m_unmarkedId, holdTarget));
        if (result == platform::LockMark::FAILED) {
            m_error = m_mark.lastError();
            return false;
        }
        if (result == platform::LockMark::EXISTS) {
            // Another writer got there first, or a lock of a holder that is gone
            // stands in the way: only the latter is broken.
            m_error = m_mark.lastError();
            readExisting();
            if (m_found == Found::ALIVE || attempt == TAKE_ATTEMPTS) return false;
            if (m_present && m_found != Found::MARKED_DEAD) return false;
            if (m_present && !unlock()) return false;
            continue;
        }
        m_lockTime = lockTime;
        m_expiry = expiry;
        if (!m_mark.marked()) m_myId = m_unmarkedId;
        // The target is held only when it exists: a missing target is not
        // created before there is content for it.
        if (holdTarget && fileExists(m_path) && !m_targetHold.open(m_path)) {
            m_mark.release();
            return false;
        }
        m_present = true;
        m_found = Found::NONE;
        m_ownerId = m_myId;
        m_holdTarget = holdTarget;
        return true;
    }
    return false;
}

void LockFile::releaseTarget() { m_targetHold.close(); }

bool LockFile::unlock() {
    if (!m_present) return true;
    if (m_ownerId == m_myId && m_found == Found::NONE) {
        m_targetHold.close();
        // A lock file that cannot be removed is left; unmarked, it is broken
        // by the next writer.
        m_mark.release();
        m_present = false;
        return true;
    }
    switch (m_found) {
        case Found::ALIVE:
            return false;
        case Found::MARKED_DEAD:
            break;
        default:
            if (DateTime() < m_expiry) return false;
            break;
    }
    if (m_probe) {
        // Broken while the probe keeps the found file marked, and only if the
        // name still names it.
        const bool removed = m_probe->removeProbed();
        m_probe.reset();
        if (!removed) {
            readExisting();
            return !m_present;
        }
    } else if (!deleteFile(lockPath()) && fileExists(lockPath())) {
        return false;
    }
    m_present = false;
    m_found = Found::NONE;
    return true;
}

}  // namespace Brolix
