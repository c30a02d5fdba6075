#include "posix/RegistryFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/NativePath.h"
#include "platform/NewFile.h"
#include "posix/FileDescriptors.h"

namespace Brolix {
namespace platform {

namespace {

const char DEFAULT_STORE[] = "/etc/brolix/registry.reg";

/// What tells one version of a store file from another without reading it.
struct Version {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec modified {};
    struct timespec changed {};

    static Version of(const struct stat& info) {
        Version v;
        v.device = info.st_dev;
        v.inode = info.st_ino;
        v.size = info.st_size;
        v.modified = info.st_mtim;
        v.changed = info.st_ctim;
        return v;
    }
    bool operator==(const Version& o) const {
        return device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

/// The last store this process read or wrote.
struct Cache {
    std::mutex mutex;
    std::string path;
    Version version;
    std::shared_ptr<const RegistryDocument> document;
};

Cache& cache() {
    static Cache* const instance = new Cache;
    return *instance;
}

std::shared_ptr<const RegistryDocument> cached(const std::string& path, const Version& version) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.mutex);
    if (c.document && c.path == path && c.version == version) return c.document;
    return nullptr;
}

void remember(const std::string& path, const Version& version, std::shared_ptr<const RegistryDocument> document) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.mutex);
    c.path = path;
    c.version = version;
    c.document = std::move(document);
}

thread_local std::string t_problem;

std::string systemProblem(const std::string& file, int error) { return file + ": " + std::strerror(error); }

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void makeDirectories(const std::string& dir) {
    if (dir.empty() || dir == "/" || dir == ".") return;
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0) return;
    makeDirectories(directoryOf(dir));
    ::mkdir(dir.c_str(), 0755);
}

}  // namespace

std::string RegistryFile::path() {
    const char* env = std::getenv("BROLIX_REGISTRY");
    std::string path = (env != nullptr && *env != '\0') ? std::string(env) : std::string(DEFAULT_STORE);
    path = toNativePath(path);
    // Follow a symbolic link so that the file it points to is the one replaced.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

namespace {

/// Reads and parses the open store `fd` (of `path`, for messages); the
/// version of what was read goes to `version`.
bool loadOpen(int fd, const std::string& path, RegistryDocument& document, Version& version) {
    std::string content;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        RegistryFile::setProblem(systemProblem(path, errno));
        return false;
    }
    // Taken before reading: a change made while the file is read makes the
    // next look read it again.
    version = Version::of(st);
    if (st.st_size > 0) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = errno;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    if (error != 0) {
        RegistryFile::setProblem(systemProblem(path, error));
        return false;
    }
    RegistryDocument::ParseError parseError;
    if (!document.parse(content, &parseError)) {
        RegistryFile::setProblem(path + ":" + std::to_string(parseError.line) + ": " + parseError.what);
        return false;
    }
    return true;
}

}  // namespace

bool RegistryFile::load(const std::string& path, RegistryDocument& document) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        document = RegistryDocument();
        if (error == ENOENT) return true;
        setProblem(systemProblem(path, error));
        return false;
    }
    Version version;
    const bool loaded = loadOpen(fd, path, document, version);
    ::close(fd);
    return loaded;
}

std::shared_ptr<const RegistryDocument> RegistryFile::read(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (auto known = cached(path, Version::of(info))) return known;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) return std::make_shared<const RegistryDocument>();
        setProblem(systemProblem(path, error));
        return nullptr;
    }
    auto document = std::make_shared<RegistryDocument>();
    Version version;
    const bool loaded = loadOpen(fd, path, *document, version);
    ::close(fd);
    if (!loaded) return nullptr;
    remember(path, version, document);
    return document;
}

RegistryFile::WriteLock::WriteLock(const std::string& store) {
    const std::string lockPath = store + ".lock";
    // Never through a link planted under the name (which could make root
    // create or open a file elsewhere), and never waiting on a FIFO.
    const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    m_fd = ::open(lockPath.c_str(), flags, 0644);
    if (m_fd < 0 && errno == ENOENT) {
        makeDirectories(directoryOf(store));
        m_fd = ::open(lockPath.c_str(), flags, 0644);
    }
    struct stat info {};
    if (m_fd >= 0 && (::fstat(m_fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(m_fd);
        m_fd = -1;
        errno = EINVAL;
    }
    if (m_fd < 0) {
        setProblem(systemProblem(lockPath, errno));
        return;
    }
    // Another writer holds the lock only for the moment of one change; one that
    // keeps it longer is stopped or stuck, and waiting on would hang this
    // program too.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WRITE_LOCK_WAIT_MS);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            m_locked = true;
            return;
        }
        const int error = errno;
        if (error != EWOULDBLOCK && error != EINTR) {
            setProblem(systemProblem(lockPath, error));
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            setProblem(lockPath + ": another writer has held the store for more than " +
                       std::to_string(WRITE_LOCK_WAIT_MS / 1000) + " seconds");
            return;
        }
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(50)) pause *= 2;
    }
}

RegistryFile::WriteLock::~WriteLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing the description drops the lock
}

bool RegistryFile::save(const std::string& path, const RegistryDocument& document) {
    const std::string temp = path + ".tmp";
    // Only writers holding the lock make this file, so one found here was left
    // by a writer that died. The new one is made anew, never through a planted
    // link, with the store's owner and mode, and reached only through its
    // descriptor until it has replaced the store.
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
        setProblem(systemProblem(temp, errno));
        return false;
    }
    NewFile file;
    if (!file.create(temp, path)) {
        setProblem(systemProblem(temp, static_cast<int>(file.lastError())));
        return false;
    }
    const std::string text = document.format();
    const int fd = file.duplicate();
    int error = 0;
    if (fd < 0) {
        error = static_cast<int>(file.lastError());
    } else {
        if (!writeAll(fd, text)) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
    }
    if (error == 0 && !file.sync()) error = static_cast<int>(file.lastError());
    if (error == 0) {
        const FileIdentity written = file.identity();
        switch (file.commit(path)) {
            case NewFile::COMMITTED: {
                // Known without reading it again, as long as the store is still
                // the file just written.
                struct stat info {};
                if (::stat(path.c_str(), &info) == 0 && static_cast<uint64_t>(info.st_ino) == written.index &&
                    static_cast<uint64_t>(info.st_dev) == written.volume) {
                    remember(path, Version::of(info), std::make_shared<const RegistryDocument>(document));
                }
                return true;
            }
            case NewFile::TAKEN_OVER:
                setProblem(temp + ": replaced by another process before it could be committed");
                return false;
            case NewFile::FAILED:
                error = static_cast<int>(file.lastError());
                break;
        }
    }
    file.discard();
    setProblem(systemProblem(path, error));
    return false;
}

const std::string& RegistryFile::lastProblem() { return t_problem; }

void RegistryFile::setProblem(std::string problem) { t_problem = std::move(problem); }

}  // namespace platform
}  // namespace Brolix
