// bench_xmlload: loads XML files with TinyXML and does nothing else.
//
// This is the floor the builder is measured against: the same library call the
// builder makes for each XML file (a document named by the file, loaded with the
// encoding detected from the file), the document released afterwards, and no
// other work. Arguments are file names; an argument "@list" names a file that
// holds one file name per line. "--untracked" turns off the library's row and
// column tracking (tab size 0), which the builder does not need, so that the
// builder can also be compared with the cheapest load the library offers.
// Exit 0 when every file loaded, 1 when one did not (with the library's
// description on standard error), 2 on bad usage.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <tinyxml.h>

namespace {

bool loadOne(const std::string& path, bool untracked) {
    TiXmlDocument document(path);
    if (untracked) document.SetTabSize(0);
    if (!document.LoadFile()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), document.ErrorDesc());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> paths;
    bool untracked = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument(argv[i]);
        if (argument == "--untracked") {
            untracked = true;
        } else if (argument.size() > 1 && argument[0] == '@') {
            std::ifstream list(argument.substr(1));
            if (!list) {
                std::fprintf(stderr, "cannot read the list %s\n", argument.c_str() + 1);
                return 2;
            }
            std::string line;
            while (std::getline(list, line)) {
                if (!line.empty()) paths.push_back(line);
            }
        } else {
            paths.push_back(argument);
        }
    }
    if (paths.empty()) {
        std::fprintf(stderr, "usage: bench_xmlload [--untracked] FILE... | @LIST\n");
        return 2;
    }
    for (const std::string& path : paths) {
        if (!loadOne(path, untracked)) return 1;
    }
    return 0;
}
