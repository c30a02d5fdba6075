#include "ResourceTool.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "SystemInfo.h"
#include "platform/Registry.h"

namespace Brolix {

namespace {

const char PROGRAM[] = "brolix-resources";

const char USAGE[] =
    "Usage: brolix-resources COMMAND [ARGUMENTS]\n"
    "\n"
    "Lists, reads and changes the resources of the Brolix programs.\n"
    "\n"
    "Commands:\n"
    "  list                 every resource with its type and stored value\n"
    "  get NAME             the value of NAME as the programs read it\n"
    "                       (text with ${Other} references expanded, or a number)\n"
    "  set NAME TEXT        store TEXT as the text resource NAME\n"
    "  set-number NAME N    store N as the number resource NAME (decimal or 0x hex)\n"
    "  delete NAME          remove the resource NAME\n"
    "  help                 this text\n"
    "\n"
    "Resources are the values of the registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Brolix\\Resources,\n"
    "or of the key named by the environment variable BROLIX_ENV when it is set (empty: the\n"
    "root key).";

// Where the values are kept: a store file, or the system's registry.
const char USAGE_STORE_FILE[] =
    " The store is the file named by BROLIX_REGISTRY (default\n"
    "/etc/brolix/registry.reg).";
const char USAGE_REGISTRY[] =
    " Changing values below HKEY_LOCAL_MACHINE needs an administrator's\n"
    "rights.";

const char USAGE_END[] =
    " Names are compared without regard to case.\n"
    "\n"
    "Exit codes: 0 done, 1 wrong usage, 2 resource not found or the store could not be\n"
    "read or written.\n";

std::string keyDescription() {
    const std::string path = resourceKeyPath();
    return "HKEY_LOCAL_MACHINE" + (path.empty() ? std::string() : "\\" + path);
}

/// The store file; empty where the store is the system's registry, which
/// messages then do not name apart from the key.
std::string storeFile() { return platform::registryLocation(); }

/// The store in words, for "cannot read ...".
std::string storeWords() { return storeFile().empty() ? "the registry" : "the store"; }

/// Why the store cannot be read, in words (naming the line of a store that
/// cannot be parsed); empty when it can be read.
std::string storeProblem() {
    platform::RegistryKey root = nullptr;
    const platform::RegistryStatus status =
        platform::registryOpenKey(platform::RegistryRoot::LocalMachine, "", root);
    platform::registryCloseKey(root);
    return status == platform::RegistryStatus::Failed ? platform::registryProblem() : std::string();
}

int usageError(std::ostream& err, const std::string& problem) {
    err << PROGRAM << ": " << problem << "\n"
        << "Try 'brolix-resources help'.\n";
    return TOOL_USAGE;
}

/// Text bytes for a listing: control bytes are escaped so that one resource
/// stays on one line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        switch (c) {
            case '\0':
                out += "\\0";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 32 || c == 127) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string describeValue(const RegistryValue& value) {
    const std::vector<unsigned char>& data = value.data;
    switch (value.type) {
        case platform::REGISTRY_SZ:
        case platform::REGISTRY_EXPAND_SZ:
        case platform::REGISTRY_MULTI_SZ: {
            size_t size = data.size();
            while (size > 0 && data[size - 1] == 0) --size;
            const char* kind = value.type == platform::REGISTRY_SZ          ? "text"
                               : value.type == platform::REGISTRY_EXPAND_SZ ? "expand text"
                                                                            : "multi text";
            return std::string("(") + kind + ") " + printable(std::string(data.begin(), data.begin() + size));
        }
        case platform::REGISTRY_DWORD:
            if (data.size() == 4) {
                const uint32_t n = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                                   static_cast<uint32_t>(data[2]) << 16 |
                                   static_cast<uint32_t>(data[3]) << 24;
                return "(number) " + std::to_string(static_cast<int32_t>(n));
            }
            break;
        default:
            break;
    }
    std::string out = "(type " + std::to_string(value.type) + ")";
    for (unsigned char c : data) {
        char buffer[4];
        std::snprintf(buffer, sizeof buffer, " %02x", c);
        out += buffer;
    }
    return out;
}

int list(std::ostream& out, std::ostream& err) {
    std::vector<RegistryValue> values;
    if (listRegistryValues(resourceKeyPath(), values) != 0) {
        const std::string why = platform::registryProblem();
        const std::string problem = storeProblem();
        if (!problem.empty()) {
            err << PROGRAM << ": cannot read " << storeWords() << ": " << problem << "\n";
        } else if (storeFile().empty()) {
            err << PROGRAM << ": no resources: key " << keyDescription() << " not found or unreadable ("
                << why << ")\n";
        } else {
            err << PROGRAM << ": no resources: key " << keyDescription() << " not found, or store "
                << storeFile() << " missing or unreadable\n";
        }
        return TOOL_FAILED;
    }
    for (const RegistryValue& v : values) {
        out << (v.name.empty() ? std::string("@") : printable(v.name)) << " " << describeValue(v) << "\n";
    }
    return TOOL_OK;
}

int get(const std::string& name, std::ostream& out, std::ostream& err) {
    std::string text;
    int rc = getResource(name, text);
    if (rc == 0) {
        out << text << "\n";
        return TOOL_OK;
    }
    if (rc == 3) {
        int32_t number = 0;
        rc = getResourceNumber(name, number);
        if (rc == 0) {
            out << number << "\n";
            return TOOL_OK;
        }
        if (rc == 3) {
            err << PROGRAM << ": " << name << ": neither text nor number\n";
            return TOOL_FAILED;
        }
    }
    const std::string problem = rc == 1 ? std::string() : storeProblem();
    if (rc == 1) {
        err << PROGRAM << ": " << name << ": out of memory\n";
    } else if (!problem.empty()) {
        err << PROGRAM << ": " << name << ": cannot read " << storeWords() << ": " << problem << "\n";
    } else if (storeFile().empty()) {
        err << PROGRAM << ": " << name << ": not found or unreadable in key " << keyDescription() << "\n";
    } else {
        err << PROGRAM << ": " << name << ": not found or unreadable in key " << keyDescription()
            << " (store " << storeFile() << ")\n";
    }
    return TOOL_FAILED;
}

/// A 32-bit number in decimal (-2147483648 to 4294967295) or "0x" hex.
bool parseNumber(const std::string& text, int32_t& value) {
    if (text.empty() || text.find_first_of(" \t\n") != std::string::npos) return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == text.c_str() || *end != '\0') return false;
    if (n < INT32_MIN || n > static_cast<long long>(UINT32_MAX)) return false;
    if (hex && n < 0) return false;
    value = static_cast<int32_t>(static_cast<uint32_t>(n));
    return true;
}

int storeFailed(const std::string& name, std::ostream& err) {
    const std::string file = storeFile();
    err << PROGRAM << ": " << name << ": cannot write "
        << (file.empty() ? "key " + keyDescription() : "store " + file) << ": " << platform::registryProblem()
        << "\n";
    return TOOL_FAILED;
}

}  // namespace

int runResourceTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return usageError(err, "no command given");
    const std::string& command = args[0];
    const size_t count = args.size() - 1;

    if (command == "help" || command == "--help" || command == "-h") {
        out << USAGE << (storeFile().empty() ? USAGE_REGISTRY : USAGE_STORE_FILE) << USAGE_END;
        return TOOL_OK;
    }
    if (command == "list") {
        if (count != 0) return usageError(err, "list takes no arguments");
        return list(out, err);
    }
    if (command == "get") {
        if (count != 1) return usageError(err, "get needs exactly one NAME");
        return get(args[1], out, err);
    }
    if (command == "set") {
        if (count != 2) return usageError(err, "set needs NAME and TEXT");
        return setResource(args[1], args[2]) == 0 ? TOOL_OK : storeFailed(args[1], err);
    }
    if (command == "set-number") {
        if (count != 2) return usageError(err, "set-number needs NAME and N");
        int32_t number = 0;
        if (!parseNumber(args[2], number)) return usageError(err, "'" + args[2] + "' is not a 32-bit number");
        return setResourceNumber(args[1], number) == 0 ? TOOL_OK : storeFailed(args[1], err);
    }
    if (command == "delete") {
        if (count != 1) return usageError(err, "delete needs exactly one NAME");
        const int rc = deleteResource(args[1]);
        if (rc == 0) return TOOL_OK;
        if (rc == 2) {
            err << PROGRAM << ": " << args[1] << ": not found in key " << keyDescription() << "\n";
            return TOOL_FAILED;
        }
        return storeFailed(args[1], err);
    }
    return usageError(err, "unknown command '" + command + "'");
}

}  // namespace Brolix
