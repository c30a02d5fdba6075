/// CommitBatch gathers the commits of many safe updates so that their new
/// content reaches the disk in one pass instead of one wait for the disk per
/// file. A writer writes a file as usual, then hands it to add instead of
/// closing it: the file is finished (written out and closed), its commit
/// waits here with its lock held. commit (called at the latest when the batch
/// is full, when a file of the same target is added, and by the destructor)
/// then flushes the data of every waiting file to the disk together, replaces
/// each target in the order the files were added, gives up each lock right
/// after its replacement, and flushes the folders' new entries together.
///
/// Every promise of a single safe update holds: after any crash each target is
/// its whole old or its whole new content; once commit has returned, every
/// committed file is on the disk; no lock is given up before its file's
/// replacement. What differs is only when the disk is waited for.
///
/// Each waiting file's outcome is told to the callback given with it, in the
/// order of adding, when its commit is done (or has failed).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "FileBase.h"
#include "FileException.h"
#include "SmartPointer.h"

namespace Brolix {

class CommitBatch {
public:
    /// Told the outcome of one file: null when it was committed, else the
    /// failure: FL_CANNOT_CLOSE or FL_RENAME, as close would throw; FL_FLUSH
    /// when the file was replaced but its folder could not be flushed;
    /// FL_IS_CLOSED when its writer closed or discarded it meanwhile.
    using Outcome = std::function<void(const FileException* failure)>;

    /// Commits wait until `limit` files wait (each holds its lock file and its
    /// temporary file open until then).
    explicit CommitBatch(size_t limit = 64);
    /// Commits what waits.
    ~CommitBatch();
    CommitBatch(const CommitBatch&) = delete;
    CommitBatch& operator=(const CommitBatch&) = delete;

    /// Finishes the writing of the open file `file` (FileBase::finishWriting)
    /// and lets its commit wait here; failures of the finishing throw, as close
    /// would, and nothing then waits. A file that fills the batch commits what
    /// waits. (A waiting file holds its target's lock: a writer that is about
    /// to open a target that waits here commits the batch first, see waits.)
    void add(const SmartPointer<FileBase>& file, Outcome outcome);
    /// True when the commit of a file of `path` waits here.
    bool waits(const std::string& path) const;
    /// Number of files whose commit waits.
    size_t size() const { return m_waiting.size(); }
    /// Commits every waiting file as described above.
    void commit();

private:
    struct Waiting {
        SmartPointer<FileBase> file;
        Outcome outcome;
    };
    std::vector<Waiting> m_waiting;
    size_t m_limit;
};

}  // namespace Brolix
