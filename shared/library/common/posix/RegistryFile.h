/// RegistryFile keeps the resource store of Linux on disk: one REGEDIT4 text
/// file (see RegistryDocument) named by the environment variable
/// "BROLIX_REGISTRY", else "/etc/brolix/registry.reg". A missing file is an
/// empty registry.
///
/// Durability and concurrency:
/// - A change is made under an exclusive advisory lock (flock) on
///   "<store>.lock": the store is read and parsed afresh, the new text goes to
///   "<store>.tmp" (created anew, never through a link), which is flushed to the
///   disk and renamed over the store; then the directory is flushed. A reader
///   therefore always sees one whole version of the store, and concurrent
///   writers of different values lose none of them.
/// - The temporary file is made only under the lock, so one left behind by a
///   writer that was killed is removed by the next change.
/// - Readers take no lock: the store is only ever replaced whole, by rename, so
///   a stopped writer never holds a reader up. A writer waits for the lock at
///   most WRITE_LOCK_WAIT_MS and then fails.
/// - A store that cannot be parsed is never rewritten.
/// - A symbolic link to the store is followed, so the file it points to is the
///   one replaced.
///
/// Every failure leaves a description in words for the calling thread
/// (lastProblem), naming the file and, for a store that cannot be parsed, the
/// line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "posix/RegistryDocument.h"

namespace Brolix {
namespace platform {

class RegistryFile {
public:
    /// How long a change waits for another writer's lock.
    static constexpr uint32_t WRITE_LOCK_WAIT_MS = 5000;

    /// The store's path, symbolic links resolved.
    static std::string path();

    /// Reads and parses the store at `path` without taking the lock.
    static bool load(const std::string& path, RegistryDocument& document);
    /// The store at `path` as it is now, without taking the lock; null when it
    /// cannot be read or parsed (lastProblem tells why). The process keeps the
    /// last store it read or wrote and reads the file again only when it has
    /// changed on disk since (another file in its place, or another size,
    /// modification or change time), so that a program that reads many values
    /// parses the store once.
    static std::shared_ptr<const RegistryDocument> read(const std::string& path);

    /// An exclusive hold on the store for one change.
    class WriteLock {
    public:
        explicit WriteLock(const std::string& store);
        ~WriteLock();
        WriteLock(const WriteLock&) = delete;
        WriteLock& operator=(const WriteLock&) = delete;
        bool locked() const { return m_locked; }

    private:
        int m_fd = -1;
        bool m_locked = false;
    };

    /// Replaces the store with `document`; the caller holds the WriteLock.
    static bool save(const std::string& path, const RegistryDocument& document);

    /// In words, why the calling thread's last failed call failed.
    static const std::string& lastProblem();
    static void setProblem(std::string problem);
};

}  // namespace platform
}  // namespace Brolix
