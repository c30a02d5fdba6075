// The registry as one REGEDIT4 text file.
//
// Layout of the store:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Brolix\Resources]
//   "InstallDir"="/opt/brolix/"
//   "ArdwenDebugLevel"=dword:00000005
//   "Expanded"=hex(2):24,7b,41,7d
//   "Many"=hex(7):61,00,62,00,00
//   "Raw"=hex:01,02
//   @="the key's unnamed value"
//
// Quoted texts escape only the backslash and the double quote. Texts with a zero
// byte, a carriage return or a line feed are kept as hex(1) so that their bytes
// survive exactly. Hex lists may continue on the next line after a trailing
// backslash; lines starting with ';' are comments and stay with the entry they
// precede. Anything else (deletion entries, unknown roots, unknown escapes,
// stray text) makes the file unparsable; such a file is reported as a failure
// and never rewritten.
//
// Durability and concurrency: a change takes an exclusive flock on
// "<store>.lock", reads and parses the store afresh, writes the new content to a
// temporary file beside it, fsyncs it, renames it over the store and fsyncs the
// directory. Readers take a shared lock when the lock file exists; since the
// store is only ever replaced by rename, a reader sees one whole version even
// without it. A symbolic link to the store is followed, so the target is
// replaced rather than the link.

#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/NativePath.h"

namespace Brolix {
namespace platform {

namespace {

const char DEFAULT_STORE[] = "/etc/brolix/registry.reg";
const char HEADER[] = "REGEDIT4";

struct RootName {
    RegistryRoot root;
    const char* name;
};

const RootName ROOT_NAMES[] = {
    {RegistryRoot::ClassesRoot, "HKEY_CLASSES_ROOT"},
    {RegistryRoot::CurrentConfig, "HKEY_CURRENT_CONFIG"},
    {RegistryRoot::CurrentUser, "HKEY_CURRENT_USER"},
    {RegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE"},
    {RegistryRoot::Users, "HKEY_USERS"},
};

struct Value {
    std::string name;
    uint32_t type = REGISTRY_NONE;
    std::vector<unsigned char> data;
    std::vector<std::string> comments;  // comment lines standing before the value
};

struct Section {
    RegistryRoot root = RegistryRoot::LocalMachine;
    std::string path;  // key names below the root, backslash-separated, no empty names
    std::vector<Value> values;
    std::vector<std::string> comments;
};

struct Store {
    std::vector<Section> sections;
    std::vector<std::string> trailingComments;
};

// ---- names ----

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

/// Drops empty key names, so "A\\B\" and "A\B" name the same key.
std::string canonicalPath(const std::string& path) {
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) {
            if (!out.empty()) out += '\\';
            out.append(path, start, end - start);
        }
        start = end + 1;
    }
    return out;
}

const char* rootName(RegistryRoot root) {
    for (const RootName& r : ROOT_NAMES) {
        if (r.root == root) return r.name;
    }
    return "";
}

bool rootByName(const std::string& name, RegistryRoot& root) {
    for (const RootName& r : ROOT_NAMES) {
        if (sameName(name, r.name)) {
            root = r.root;
            return true;
        }
    }
    return false;
}

Section* findSection(Store& store, RegistryRoot root, const std::string& path) {
    for (Section& s : store.sections) {
        if (s.root == root && sameName(s.path, path)) return &s;
    }
    return nullptr;
}

/// A key exists when it has a section of its own or a descendant has one; a root
/// always exists.
bool keyExists(const Store& store, RegistryRoot root, const std::string& path) {
    if (path.empty()) return true;
    for (const Section& s : store.sections) {
        if (s.root != root || s.path.size() < path.size()) continue;
        if (!sameName(s.path.substr(0, path.size()), path)) continue;
        if (s.path.size() == path.size() || s.path[path.size()] == '\\') return true;
    }
    return false;
}

Value* findValue(Section& section, const std::string& name) {
    for (Value& v : section.values) {
        if (sameName(v.name, name)) return &v;
    }
    return nullptr;
}

// ---- parsing ----

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& text) {
    size_t b = 0;
    size_t e = text.size();
    while (b < e && (isSpace(text[b]) || text[b] == '\r')) ++b;
    while (e > b && (isSpace(text[e - 1]) || text[e - 1] == '\r')) --e;
    return text.substr(b, e - b);
}

/// Reads a quoted text starting at `pos` (on the opening quote); leaves `pos`
/// after the closing quote.
bool parseQuoted(const std::string& line, size_t& pos, std::string& out) {
    if (pos >= line.size() || line[pos] != '"') return false;
    out.clear();
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c == '\\') {
            if (++pos >= line.size()) return false;
            c = line[pos];
            if (c != '\\' && c != '"') return false;
        }
        out += c;
    }
    return false;
}

/// Comma-separated two-digit hex bytes; an empty list is allowed.
bool parseHexList(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    const std::string list = trim(text);
    if (list.empty()) return true;
    size_t pos = 0;
    for (;;) {
        while (pos < list.size() && isSpace(list[pos])) ++pos;
        if (pos + 1 >= list.size()) return false;
        const int hi = hexDigit(list[pos]);
        const int lo = hexDigit(list[pos + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
        pos += 2;
        while (pos < list.size() && isSpace(list[pos])) ++pos;
        if (pos == list.size()) return true;
        if (list[pos] != ',') return false;
        ++pos;
    }
}

bool parseData(const std::string& text, Value& value) {
    if (!text.empty() && text[0] == '"') {
        size_t pos = 0;
        std::string s;
        if (!parseQuoted(text, pos, s) || pos != text.size()) return false;
        value.type = REGISTRY_SZ;
        value.data.assign(s.begin(), s.end());
        return true;
    }
    if (text.compare(0, 6, "dword:") == 0) {
        const std::string digits = text.substr(6);
        if (digits.empty() || digits.size() > 8) return false;
        uint32_t number = 0;
        for (char c : digits) {
            const int d = hexDigit(c);
            if (d < 0) return false;
            number = number * 16 + static_cast<uint32_t>(d);
        }
        value.type = REGISTRY_DWORD;
        value.data = {static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                      static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
        return true;
    }
    if (text.compare(0, 4, "hex:") == 0) {
        value.type = REGISTRY_BINARY;
        return parseHexList(text.substr(4), value.data);
    }
    if (text.compare(0, 4, "hex(") == 0) {
        const size_t close = text.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12) return false;
        uint32_t type = 0;
        for (size_t i = 4; i < close; ++i) {
            const int d = hexDigit(text[i]);
            if (d < 0) return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        value.type = type;
        return parseHexList(text.substr(close + 2), value.data);
    }
    return false;
}

/// Splits the file into logical lines: line ends may be "\n" or "\r\n", and a
/// line ending in a backslash outside quotes (a continued hex list) is joined
/// with the next one.
std::vector<std::string> logicalLines(const std::string& content) {
    std::vector<std::string> lines;
    std::string current;
    bool continuing = false;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (continuing) line = trim(line);
        current += line;
        const std::string t = trim(current);
        // Only hex lists continue; a quoted text ending in an escaped backslash does not.
        continuing = !t.empty() && t.back() == '\\' && t.find("=hex") != std::string::npos && t[0] != ';' &&
                     t[0] != '[';
        if (continuing) {
            current = t.substr(0, t.size() - 1);
        } else {
            lines.push_back(current);
            current.clear();
        }
    }
    if (continuing) lines.push_back(current);
    return lines;
}

bool parseStore(const std::string& content, Store& store) {
    store = Store();
    std::vector<std::string> lines = logicalLines(content);
    size_t i = 0;
    // A UTF-8 byte-order mark before the header is tolerated.
    if (!lines.empty() && lines[0].compare(0, 3, "\xEF\xBB\xBF") == 0) lines[0].erase(0, 3);
    while (i < lines.size() && trim(lines[i]).empty()) ++i;
    if (i == lines.size()) return true;  // an empty file is an empty registry
    if (trim(lines[i]) != HEADER) return false;
    ++i;

    Section* section = nullptr;
    std::vector<std::string> comments;
    for (; i < lines.size(); ++i) {
        const std::string line = trim(lines[i]);
        if (line.empty()) continue;
        if (line[0] == ';') {
            comments.push_back(line);
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3 || line[1] == '-') return false;
            const std::string full = line.substr(1, line.size() - 2);
            const size_t sep = full.find('\\');
            RegistryRoot root;
            if (!rootByName(full.substr(0, sep), root)) return false;
            const std::string path =
                sep == std::string::npos ? std::string() : canonicalPath(full.substr(sep));
            section = findSection(store, root, path);
            if (section == nullptr) {
                store.sections.push_back(Section());
                section = &store.sections.back();
                section->root = root;
                section->path = path;
            }
            section->comments.insert(section->comments.end(), comments.begin(), comments.end());
            comments.clear();
            continue;
        }
        if (section == nullptr) return false;
        Value value;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!parseQuoted(line, pos, value.name)) {
            return false;
        }
        while (pos < line.size() && isSpace(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') return false;
        ++pos;
        while (pos < line.size() && isSpace(line[pos])) ++pos;
        if (!parseData(line.substr(pos), value)) return false;
        value.comments.swap(comments);
        if (Value* existing = findValue(*section, value.name)) {
            existing->type = value.type;
            existing->data.swap(value.data);
        } else {
            section->values.push_back(std::move(value));
        }
    }
    store.trailingComments.swap(comments);
    return true;
}

// ---- writing ----

const char HEX[] = "0123456789abcdef";

std::string quoted(const std::string& text) {
    std::string out("\"");
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

bool quotable(const std::vector<unsigned char>& data) {
    for (unsigned char c : data) {
        if (c == 0 || c == '\r' || c == '\n') return false;
    }
    return true;
}

/// "hex:" or "hex(N):" and the bytes, wrapped to lines of about 80 columns.
std::string hexData(uint32_t type, const std::vector<unsigned char>& data, size_t column) {
    std::string out;
    if (type == REGISTRY_BINARY) {
        out = "hex:";
    } else {
        out = "hex(";
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(type));
        out += buffer;
        out += "):";
    }
    column += out.size();
    for (size_t i = 0; i < data.size(); ++i) {
        out += HEX[data[i] >> 4];
        out += HEX[data[i] & 15];
        column += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++column;
            if (column > 76) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string formatStore(const Store& store) {
    std::string out(HEADER);
    out += "\n\n";
    for (const Section& s : store.sections) {
        for (const std::string& c : s.comments) out += c + "\n";
        out += "[";
        out += rootName(s.root);
        if (!s.path.empty()) out += "\\" + s.path;
        out += "]\n";
        for (const Value& v : s.values) {
            for (const std::string& c : v.comments) out += c + "\n";
            std::string line = v.name.empty() ? std::string("@") : quoted(v.name);
            line += '=';
            if (v.type == REGISTRY_SZ && quotable(v.data)) {
                line += quoted(std::string(v.data.begin(), v.data.end()));
            } else if (v.type == REGISTRY_DWORD && v.data.size() == 4) {
                char buffer[16];
                const uint32_t number =
                    static_cast<uint32_t>(v.data[0]) | static_cast<uint32_t>(v.data[1]) << 8 |
                    static_cast<uint32_t>(v.data[2]) << 16 | static_cast<uint32_t>(v.data[3]) << 24;
                std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(number));
                line += buffer;
            } else {
                line += hexData(v.type, v.data, line.size());
            }
            out += line + "\n";
        }
        out += "\n";
    }
    for (const std::string& c : store.trailingComments) out += c + "\n";
    return out;
}

// ---- the file ----

std::string storePath() {
    const char* env = std::getenv("BROLIX_REGISTRY");
    std::string path = (env != nullptr && *env != '\0') ? std::string(env) : std::string(DEFAULT_STORE);
    path = toNativePath(path);
    // Follow a symbolic link so that the file it points to is the one replaced.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
    return path;
}

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

/// Holds an flock on "<store>.lock" for its lifetime.
class StoreLock {
public:
    StoreLock(const std::string& store, bool exclusive) {
        const std::string lockPath = store + ".lock";
        if (exclusive) {
            m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (m_fd < 0 && errno == ENOENT) {
                makeDirectories(directoryOf(store));
                m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            }
        } else {
            m_fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
        }
        if (m_fd < 0) return;
        int rc;
        do {
            rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        m_locked = rc == 0;
    }
    ~StoreLock() {
        if (m_fd >= 0) ::close(m_fd);  // closing the description drops the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    bool locked() const { return m_locked; }

private:
    static void makeDirectories(const std::string& dir) {
        if (dir.empty() || dir == "/" || dir == ".") return;
        struct stat st;
        if (::stat(dir.c_str(), &st) == 0) return;
        makeDirectories(directoryOf(dir));
        ::mkdir(dir.c_str(), 0755);
    }

    int m_fd = -1;
    bool m_locked = false;
};

/// Reads the store; a missing file is an empty registry.
bool loadStore(const std::string& path, Store& store) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        store = Store();
        return errno == ENOENT;
    }
    std::string content;
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok && parseStore(content, store);
}

bool writeAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

/// Replaces the store with `store` through a flushed temporary file and rename.
bool saveStore(const std::string& path, const Store& store) {
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return false;
    mode_t mode = 0644;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
    const bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, formatStore(store)) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

/// Names that the text form can hold: a zero byte or a line break would cut
/// the line it stands on and leave the store unparsable.
bool storableName(const std::string& name) {
    return name.find_first_of(std::string("\0\r\n", 3)) == std::string::npos;
}

}  // namespace

struct RegistryKeyData {
    RegistryRoot root;
    std::string path;
    std::string storeFile;
    bool writable;
    Store snapshot;  // read keys: the store as it was when the key was opened
};

namespace {

/// The values of the key: from the snapshot for a read key, afresh for a write key.
bool currentSection(RegistryKey key, Store& fresh, const Section*& section) {
    section = nullptr;
    const Store* store = &key->snapshot;
    if (key->writable) {
        StoreLock lock(key->storeFile, false);
        if (!loadStore(key->storeFile, fresh)) return false;
        store = &fresh;
    }
    for (const Section& s : store->sections) {
        if (s.root == key->root && sameName(s.path, key->path)) section = &s;
    }
    return true;
}

/// Applies `change` to the store under the exclusive lock and saves the result
/// when `change` reports Ok.
template <typename Change>
RegistryStatus modifyStore(RegistryKey key, Change change) {
    if (key == nullptr || !key->writable) return RegistryStatus::Failed;
    StoreLock lock(key->storeFile, true);
    if (!lock.locked()) return RegistryStatus::Failed;
    Store store;
    if (!loadStore(key->storeFile, store)) return RegistryStatus::Failed;
    Section* section = findSection(store, key->root, key->path);
    if (section == nullptr) {
        store.sections.push_back(Section());
        section = &store.sections.back();
        section->root = key->root;
        section->path = key->path;
    }
    const RegistryStatus status = change(*section);
    if (status != RegistryStatus::Ok) return status;
    return saveStore(key->storeFile, store) ? RegistryStatus::Ok : RegistryStatus::Failed;
}

}  // namespace

RegistryStatus registryOpenKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    RegistryKey opened =
        new (std::nothrow) RegistryKeyData{root, canonicalPath(path), storePath(), false, Store()};
    if (opened == nullptr) return RegistryStatus::Failed;
    bool loaded;
    {
        StoreLock lock(opened->storeFile, false);
        loaded = loadStore(opened->storeFile, opened->snapshot);
    }
    if (!loaded) {
        delete opened;
        return RegistryStatus::Failed;
    }
    if (!keyExists(opened->snapshot, root, opened->path)) {
        delete opened;
        return RegistryStatus::NotFound;
    }
    key = opened;
    return RegistryStatus::Ok;
}

RegistryStatus registryCreateKey(RegistryRoot root, const std::string& path, RegistryKey& key) {
    key = nullptr;
    if (!storableName(path)) return RegistryStatus::Failed;
    RegistryKey opened =
        new (std::nothrow) RegistryKeyData{root, canonicalPath(path), storePath(), true, Store()};
    if (opened == nullptr) return RegistryStatus::Failed;
    // Creating an empty key leaves no trace until a value is set; what must hold
    // here is that the store can be locked and parsed, so that it may be changed.
    Store current;
    bool usable;
    {
        StoreLock lock(opened->storeFile, true);
        usable = lock.locked() && loadStore(opened->storeFile, current);
    }
    if (!usable) {
        delete opened;
        return RegistryStatus::Failed;
    }
    key = opened;
    return RegistryStatus::Ok;
}

RegistryStatus registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                                  unsigned char* data, uint32_t& size) {
    if (key == nullptr) return RegistryStatus::Failed;
    Store fresh;
    const Section* section;
    if (!currentSection(key, fresh, section)) return RegistryStatus::Failed;
    if (section == nullptr) return RegistryStatus::NotFound;
    for (const Value& v : section->values) {
        if (!sameName(v.name, name)) continue;
        if (v.data.size() > UINT32_MAX) return RegistryStatus::Failed;
        const uint32_t needed = static_cast<uint32_t>(v.data.size());
        type = v.type;
        if (data == nullptr) {
            size = needed;
            return RegistryStatus::Ok;
        }
        if (size < needed) {
            size = needed;
            return RegistryStatus::MoreData;
        }
        if (needed > 0) std::memcpy(data, v.data.data(), needed);
        size = needed;
        return RegistryStatus::Ok;
    }
    return RegistryStatus::NotFound;
}

RegistryStatus registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                                const unsigned char* data, uint32_t size) {
    if ((data == nullptr && size > 0) || !storableName(name)) return RegistryStatus::Failed;
    return modifyStore(key, [&](Section& section) {
        Value* value = findValue(section, name);
        if (value == nullptr) {
            section.values.push_back(Value());
            value = &section.values.back();
            value->name = name;
        }
        value->type = type;
        value->data.assign(data, data + size);
        return RegistryStatus::Ok;
    });
}

RegistryStatus registryDeleteValue(RegistryKey key, const std::string& name) {
    return modifyStore(key, [&](Section& section) {
        for (size_t i = 0; i < section.values.size(); ++i) {
            if (sameName(section.values[i].name, name)) {
                section.values.erase(section.values.begin() + static_cast<std::ptrdiff_t>(i));
                return RegistryStatus::Ok;
            }
        }
        return RegistryStatus::NotFound;
    });
}

RegistryStatus registryEnumValue(RegistryKey key, uint32_t index, std::string& name, uint32_t& type,
                                 std::vector<unsigned char>& data) {
    if (key == nullptr) return RegistryStatus::Failed;
    Store fresh;
    const Section* section;
    if (!currentSection(key, fresh, section)) return RegistryStatus::Failed;
    if (section == nullptr || index >= section->values.size()) return RegistryStatus::NotFound;
    const Value& v = section->values[index];
    name = v.name;
    type = v.type;
    data = v.data;
    return RegistryStatus::Ok;
}

void registryCloseKey(RegistryKey key) { delete key; }

std::string registryLocation() { return storePath(); }

}  // namespace platform
}  // namespace Brolix
