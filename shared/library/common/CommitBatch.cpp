#include "CommitBatch.h"

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
    std::vector<std::string> committed;
    for (Waiting& w : waiting) {
        const bool replaces = w.file->waitingFile() != nullptr;
        try {
            w.file->commitWaiting(synced, false);
            if (replaces) committed.push_back(w.file->targetPath());
            if (w.outcome) w.outcome(nullptr);
        } catch (FileException& e) {
            if (w.outcome) w.outcome(&e);
        }
    }
    platform::NewFile::syncFolders(committed);
}

}  // namespace Brolix
