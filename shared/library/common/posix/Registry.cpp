// The registry calls on Linux, served by the resource store file: the text
// form is RegistryDocument, the file with its locking and durability is
// RegistryFile. A key opened for reading works on the store as it was when
// the key was opened; a key opened for writing reads the store afresh for every
// call and changes it under the store's lock.

#include "platform/Registry.h"

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "posix/RegistryDocument.h"
#include "posix/RegistryFile.h"

namespace Brolix {
namespace platform {

struct RegistryKeyData {
    RegistryRoot root;
    std::string path;
    std::string storeFile;
    bool writable;
    std::shared_ptr<const RegistryDocument> snapshot;  // read keys: the store as it was when the key was opened
};

namespace {

/// Names that the text form can hold: a zero byte or a line break would cut
/// the line it stands on and leave the store unparsable.
bool storableName(const std::string& name) {
    return name.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

/// Runs a registry call; a store too large for the memory left is a failure of
/// the call, not of the program.
template <typename Call>
RegistryStatus guarded(Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        RegistryFile::setProblem("not enough memory to read the resource store");
        return RegistryStatus::Failed;
    } catch (const std::length_error&) {
        RegistryFile::setProblem("not enough memory to read the resource store");
        return RegistryStatus::Failed;
    }
}

/// The key's section: from the snapshot for a read key, the store as it is now
/// for a write key.
bool currentSection(RegistryKey key, std::shared_ptr<const RegistryDocument>& fresh,
                    const RegistryDocument::Section*& section) {
    const RegistryDocument* document = key->snapshot.get();
    if (key->writable) {
        fresh = RegistryFile::read(key->storeFile);
        if (!fresh) return false;
        document = fresh.get();
    }
    section = document->findSection(key->root, key->path);
    return true;
}

/// Applies `change` to the key's section under the store's lock and saves the
/// result when `change` reports Ok.
template <typename Change>
RegistryStatus modifyStore(RegistryKey key, Change change) {
    if (key == nullptr || !key->writable) return RegistryStatus::Failed;
    return guarded([&] {
        RegistryFile::WriteLock lock(key->storeFile);
        if (!lock.locked()) return RegistryStatus::Failed;
        // Read afresh under the lock: the change must start from the store as
        // it is, however briefly another version stood there.
        RegistryDocument document;
        if (!RegistryFile::load(key->storeFile, document)) return RegistryStatus::Failed;
        const RegistryStatus status = change(document.section(key->root, key->path));
        if (status != RegistryStatus::Ok) return status;
        return RegistryFile::save(key->storeFile, document) ? RegistryStatus::Ok : RegistryStatus::Failed;
    });
}

}  // namespace

RegistryStatus registryOpenKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    return guarded([&] {
        std::unique_ptr<RegistryKeyData> opened(
            new RegistryKeyData{root, RegistryDocument::canonicalPath(path), RegistryFile::path(), false, nullptr});
        opened->snapshot = RegistryFile::read(opened->storeFile);
        if (!opened->snapshot) return RegistryStatus::Failed;
        if (!opened->snapshot->keyExists(root, opened->path)) return RegistryStatus::NotFound;
        key = opened.release();
        return RegistryStatus::Ok;
    });
}

RegistryStatus registryCreateKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    if (!storableName(path)) {
        RegistryFile::setProblem("a key path may not hold a zero byte or a line break");
        return RegistryStatus::Failed;
    }
    return guarded([&] {
        std::unique_ptr<RegistryKeyData> opened(new RegistryKeyData{
            root, RegistryDocument::canonicalPath(path), RegistryFile::path(), true, nullptr});
        // Creating an empty key leaves no trace until a value is set; what must
        // hold here is that the store can be locked and parsed, so that it may
        // be changed.
        {
            RegistryFile::WriteLock lock(opened->storeFile);
            if (!lock.locked() || !RegistryFile::read(opened->storeFile)) return RegistryStatus::Failed;
        }
        key = opened.release();
        return RegistryStatus::Ok;
    });
}

RegistryStatus registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                                  unsigned char* data, uint32_t& size) {
    if (key == nullptr) return RegistryStatus::Failed;
    return guarded([&] {
        std::shared_ptr<const RegistryDocument> fresh;
        const RegistryDocument::Section* section;
        if (!currentSection(key, fresh, section)) return RegistryStatus::Failed;
        const RegistryDocument::Value* value = section == nullptr ? nullptr : section->findValue(name);
        if (value == nullptr) return RegistryStatus::NotFound;
        if (value->data.size() > UINT32_MAX) return RegistryStatus::Failed;
        const uint32_t needed = static_cast<uint32_t>(value->data.size());
        type = value->type;
        if (data == nullptr) {
            size = needed;
            return RegistryStatus::Ok;
        }
        if (size < needed) {
            size = needed;
            return RegistryStatus::MoreData;
        }
        if (needed > 0) std::memcpy(data, value->data.data(), needed);
        size = needed;
        return RegistryStatus::Ok;
    });
}

RegistryStatus registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                                const unsigned char* data, uint32_t size) {
    if ((data == nullptr && size > 0) || !storableName(name)) {
        RegistryFile::setProblem("a value name may not hold a zero byte or a line break");
        return RegistryStatus::Failed;
    }
    // A value that the store holds already is not written again: the store
    // as read now has it, which is what the change would leave.
    if (key != nullptr && key->writable) {
        const std::shared_ptr<const RegistryDocument> current = RegistryFile::read(key->storeFile);
        const RegistryDocument::Section* section = current ? current->findSection(key->root, key->path) : nullptr;
        const RegistryDocument::Value* value = section != nullptr ? section->findValue(name) : nullptr;
        if (value != nullptr && value->type == type && value->data.size() == size &&
            (size == 0 || std::memcmp(value->data.data(), data, size) == 0))
            return RegistryStatus::Ok;
    }
    return modifyStore(key, [&](RegistryDocument::Section& section) {
        section.setValue(name, type, std::vector<unsigned char>(data, data + size));
        return RegistryStatus::Ok;
    });
}

RegistryStatus registryDeleteValue(RegistryKey key, const std::string& name) {
    return modifyStore(key, [&](RegistryDocument::Section& section) {
        return section.deleteValue(name) ? RegistryStatus::Ok : RegistryStatus::NotFound;
    });
}

RegistryStatus registryEnumValue(RegistryKey key, uint32_t index, std::string& name, uint32_t& type,
                                 std::vector<unsigned char>& data) {
    if (key == nullptr) return RegistryStatus::Failed;
    return guarded([&] {
        std::shared_ptr<const RegistryDocument> fresh;
        const RegistryDocument::Section* section;
        if (!currentSection(key, fresh, section)) return RegistryStatus::Failed;
        if (section == nullptr || index >= section->values().size()) return RegistryStatus::NotFound;
        const RegistryDocument::Value& v = section->values()[index];
        name = v.name;
        type = v.type;
        data = v.data;
        return RegistryStatus::Ok;
    });
}

void registryCloseKey(RegistryKey key) { delete key; }

std::string registryLocation() { return RegistryFile::path(); }

std::string registryProblem() { return RegistryFile::lastProblem(); }

}  // namespace platform
}  // namespace Brolix
