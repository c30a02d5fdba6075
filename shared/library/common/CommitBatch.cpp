#include "CommitBatch.h"

#include <memory>

#include "platform/NewFile.h"

namespace Brolix {

CommitBatch::CommitBatch(size_t limit) : m_limit(limit == 0 ? 1 : limit) {}

CommitBatch::~CommitBatch() {
    try {
        commit();
    } catch (...) {
        // A destructor reports nothing; the outcomes have been told.
    }
}

bool CommitBatch::waits(const std::string& path) const {
    for (const Waiting& w : m_waiting) {
        if (w.file->getName() == path || w.file->targetPath() == path) return true;
    }
    return false;
}

void CommitBatch::add(const SmartPointer<FileBase>& file, Outcome outcome) {
    // The same target twice: the earlier update goes first, as it would
    // without the batch (and its lock would keep the later one out).
    if (waits(file->getName())) commit();
    file->finishWriting();
    m_waiting.push_back(Waiting{file, std::move(outcome)});
    if (m_waiting.size() >= m_limit) commit();
}

void CommitBatch::commit() {
    if (m_waiting.empty()) return;
    std::vector<Waiting> waiting;
    waiting.swap(m_waiting);
    std::vector<platform::NewFile*> files;
    for (const Waiting& w : waiting) {
        if (platform::NewFile* file = w.file->waitingFile()) files.push_back(file);
    }
    // When the pass reports a failure, each file flushes itself on its commit,
    // so that exactly the ones that cannot reach the disk fail.
    const bool synced = platform::NewFile::syncAll(files);
    // The outcomes are told once the folders' new entries are on the disk too.
    std::vector<std::string> committed;
    std::vector<std::unique_ptr<FileException>> failures;
    std::vector<bool> replaced;
    for (Waiting& w : waiting) {
        const bool replaces = w.file->waitingFile() != nullptr;
        if (!w.file->awaitingCommit()) {
            // Closed or discarded meanwhile by its writer: nothing of it is
            // committed here.
            failures.emplace_back(
                new FileException(FileException::FL_IS_CLOSED, w.file->getName(), __FILE__, __LINE__));
            replaced.push_back(false);
            continue;
        }
        try {
            w.file->commitWaiting(synced, false);
            if (replaces) committed.push_back(w.file->targetPath());
            failures.emplace_back();
            replaced.push_back(replaces);
        } catch (FileException& e) {
            failures.emplace_back(new FileException(e));
            replaced.push_back(false);
        }
    }
    const bool durable = platform::NewFile::syncFolders(committed);
    for (size_t i = 0; i < waiting.size(); ++i) {
        if (!waiting[i].outcome) continue;
        if (!failures[i] && !durable && replaced[i]) {
            // Replaced, but the folder's entry may not survive a crash.
            FileException lost(FileException::FL_FLUSH, waiting[i].file->getName(), __FILE__, __LINE__);
            waiting[i].outcome(&lost);
            continue;
        }
        waiting[i].outcome(failures[i].get());
    }
}

}  // namespace Brolix
