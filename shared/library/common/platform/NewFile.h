/// A file made anew beside the file it is to replace ("name.tmp" of a safe
/// update), and reached only through what the system handed out when it was
/// made, from its creation to its commit. The folder it lives in may be
/// writable by other accounts: a name there can be removed, renamed or replaced
/// by a link at any moment, so no step after the creation trusts the name alone.
///
///  - create makes the file with no access for group and others (a name that
///    exists in any form, a symbolic link included, fails the call: nothing is
///    followed), then gives it, through the open file itself, the owner (where
///    the process may) and the permission bits of the file it will replace, or
///    the bits a new file of the process gets. All of that happens before the
///    first byte is written.
///  - The data is written through streams or descriptors duplicated from the
///    file (stream, duplicate): closing them leaves this object's own hold.
///  - sync flushes the data to the disk through that hold.
///  - commit replaces the target with this very file, and only with it: when the
///    name no longer names the file this object made (another process removed
///    or replaced it), the target is left as it was and the result says so.
///    After a commit the folder's new entry is on the disk.
///
/// On Windows the hold is an open handle that does not share deletion, which
/// keeps the name from being removed or renamed while the object holds it; the
/// hold is given up for the replacement itself, which is checked by identity.
///
/// One object is used by one thread at a time; it never removes anything when
/// it is destroyed (discard does that).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace Brolix {
namespace platform {

class NewFile {
public:
    enum Commit {
        COMMITTED,  ///< the target is this file now, and on the disk
        TAKEN_OVER, ///< the name no longer names this file: the target is untouched
        FAILED,     ///< the system refused (lastError tells why); the target is untouched
    };

    NewFile();
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    /// Creates `path` (library form), which must not exist. With a non-empty
    /// `accessFrom` that names an existing file, the new file takes that file's
    /// owner (where the process may give files away) and permission bits;
    /// otherwise those a new file of this process gets. False when the file
    /// cannot be made or given its rights (nothing is left behind then).
    bool create(const std::string& path, const std::string& accessFrom);
    /// True between a successful create and commit, discard or release.
    bool isOpen() const;
    /// The path given to create.
    const std::string& path() const { return m_path; }
    /// Who the file is (valid after a successful create).
    const FileIdentity& identity() const;

    /// A new stream on the file with a C stream mode (the file is not emptied
    /// by "w"); null when the system refuses. The caller closes it.
    std::FILE* stream(const char* mode);
    /// A new C runtime descriptor of the file, open for reading and writing;
    /// -1 when the system refuses. The caller closes it.
    int duplicate();

    /// Flushes the file's data to the disk; false when the system reports that
    /// it could not.
    bool sync();

    /// Replaces `target` (library form, in the same folder) with this file as
    /// described above. Streams and descriptors of the file must be closed
    /// before. Without `flushFolder` the folder's new entry is left for the
    /// caller to flush (syncFolders). COMMITTED and TAKEN_OVER end the hold; after FAILED the commit
    /// may be tried again (where the system refused for the moment, such as a
    /// reader holding the target open on Windows), or discard or release end
    /// it.
    Commit commit(const std::string& target, bool flushFolder = true);
    /// Removes the file's name if it still names this file, then gives up the
    /// hold.
    void discard();
    /// Gives up the hold and leaves the file where it is.
    void release();

    /// Flushes the data of all `files` to the disk in as few passes as the
    /// system allows (Linux: one pass per file system, which writes out what is
    /// waiting for every file there; elsewhere each file's own flush). False
    /// when the system reports a failure for any of them: each file can then
    /// flush itself (sync) to find out which.
    static bool syncAll(const std::vector<NewFile*>& files);
    /// Flushes the entries of the folders `paths` (library form) live in, after
    /// commits made without flushFolder.
    static bool syncFolders(const std::vector<std::string>& paths);

    /// The system error code of the last failure of this object.
    uint32_t lastError() const { return m_error; }

    struct State;

private:
    std::unique_ptr<State> m_state;
    std::string m_path;
    uint32_t m_error = 0;
};

}  // namespace platform
}  // namespace Brolix
