#include "FileOps.h"

#include <atomic>
#include <mutex>

#include "BasicFile.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

std::atomic<uint32_t> g_lastMoveError{0};

std::mutex g_sleeperMutex;
RetrySleeper g_sleeper;

/// The fields of the date-time value 0, for times the system cannot convert.
DateTimeFields epochFields() {
    DateTimeFields fields;
    fields.year = 1970;
    fields.month = 1;
    fields.day = 1;
    fields.weekday = 3;  // a Thursday
    return fields;
}

DateTimeFields utcFields(int64_t seconds) {
    platform::SystemTime time;
    if (!platform::toSystemTime(seconds, time)) return epochFields();
    DateTimeFields fields;
    fields.year = time.year;
    fields.month = time.month;
    fields.day = time.day;
    fields.hour = time.hour;
    fields.minute = time.minute;
    fields.second = time.second;
    fields.local = 0;
    return fields;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

constexpr uint16_t SETTABLE_ATTRIBUTES = ATTRIBUTE_ARCHIVE | ATTRIBUTE_HIDDEN | ATTRIBUTE_OFFLINE |
                                         ATTRIBUTE_READONLY | ATTRIBUTE_SYSTEM | ATTRIBUTE_TEMPORARY |
                                         ATTRIBUTE_NORMAL;

}  // namespace

bool getFileInfo(const std::string& path, FileInfo& info) {
    info = FileInfo();
    platform::FileStatus status;
    if (!platform::findFirstFile(path, status)) return false;
    info.exists = true;
    info.fullPath = platform::fullPathName(path);
    info.size = status.size;
    info.sizeHigh = static_cast<uint32_t>(status.size >> 32);
    info.attributes = status.attributes;
    info.created = utcFields(status.created);
    info.accessed = utcFields(status.accessed);
    info.modified = utcFields(status.modified);
    return true;
}

bool fileExists(std::string path) {
    if (path.empty()) return false;
    if (isSeparator(path.back())) {
        // A lone separator is the root directory of the current drive: a volume
        // question, as for a drive (a directory lookup cannot describe a root).
        if (path.size() == 1) return platform::driveType(path) > platform::DRIVE_TYPE_NO_ROOT;
        path.pop_back();
    }
    if (path.back() == ':') return platform::driveType(path) > platform::DRIVE_TYPE_NO_ROOT;
    FileInfo info;
    getFileInfo(path, info);
    return info.exists;
}

uint64_t getFileSize(const std::string& path) {
    FileInfo info;
    if (!getFileInfo(path, info)) return 0;
    return info.size;
}

bool setAttributes(const std::string& path, uint16_t attributes) {
    return platform::setFileAttributes(path, attributes & SETTABLE_ATTRIBUTES);
}

bool copyFile(const std::string& source, const std::string& destination, bool overwrite) {
    return platform::copyFile(source, destination, !overwrite);
}

bool moveFile(const std::string& source, const std::string& destination, bool replace) {
    for (int attempt = 1; attempt <= MOVE_ATTEMPTS; ++attempt) {
        const bool moved = replace ? platform::moveFileReplace(source, destination)
                                   : platform::moveFile(source, destination);
        if (moved) {
            g_lastMoveError = 0;
            return true;
        }
        if (attempt < MOVE_ATTEMPTS) retryPause(MOVE_PAUSE_MS);
    }
    g_lastMoveError = platform::lastError();
    return false;
}

uint32_t lastMoveError() { return g_lastMoveError; }

bool deleteFile(const std::string& path) { return platform::deleteFile(path); }

bool isDirectory(const std::string& path) {
    FileInfo info;
    return getFileInfo(path, info) && (info.attributes & ATTRIBUTE_DIRECTORY) != 0;
}

bool flushFile(const std::string& path) { return platform::flushFile(path); }

bool copyAccess(const std::string& source, const std::string& destination) {
    return platform::copyAccess(source, destination);
}

bool removeFile(const std::string& path, bool force) {
    FileInfo info;
    if (!getFileInfo(path, info)) return false;
    if (!force) {
        if (info.attributes & ATTRIBUTE_READONLY) return false;
        return deleteFile(path);
    }
    if (deleteFile(path)) return true;
    setAttributes(path, ATTRIBUTE_NORMAL);
    return deleteFile(path);
}

bool writeFile(const std::string& path, const std::string& text) {
    BasicFile file;
    if (!file.open(path, BasicFile::MODE_WRITE)) return false;
    // A close that cannot write the buffered rest is a failed write too.
    if (file.write(text) && file.close()) return true;
    file.close();
    removeFile(path, false);
    return false;
}

bool appendFile(const std::string& path, const std::string& text) {
    if (!fileExists(path)) return writeFile(path, text);
    BasicFile file;
    if (!file.open(path, BasicFile::MODE_APPEND)) return false;
    const bool written = file.write(text);
    const bool closed = file.close();
    return written && closed;
}

RetrySleeper setRetrySleeper(RetrySleeper sleeper) {
    std::lock_guard<std::mutex> guard(g_sleeperMutex);
    RetrySleeper previous = std::move(g_sleeper);
    g_sleeper = std::move(sleeper);
    return previous;
}

void retryPause(uint32_t milliseconds) {
    RetrySleeper sleeper;
    {
        std::lock_guard<std::mutex> guard(g_sleeperMutex);
        sleeper = g_sleeper;
    }
    if (sleeper) {
        sleeper(milliseconds);
    } else {
        platform::sleepFor(milliseconds);
    }
}

}  // namespace Brolix
