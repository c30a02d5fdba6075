// The programs as Windows starts them. Each carries its version information and
// its manifest; with the manifest, a name beyond the system's ANSI code page
// reaches ardwen whole through its command line and the 8-bit file calls
// (without it, such characters arrive as "?"), and the check that keeps an
// entry's own XML file holds for such a folder too.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestDirectory.h"

namespace {

namespace fs = std::filesystem;

// A string value of the program's version information ("" when missing).
std::string versionText(const std::string& program, const std::string& name) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(program.c_str(), &ignored);
    if (size == 0) return std::string();
    std::vector<char> data(size);
    if (!::GetFileVersionInfoA(program.c_str(), 0, size, data.data())) return std::string();
    void* value = nullptr;
    UINT length = 0;
    const std::string query = "\\StringFileInfo\\040904B0\\" + name;
    if (!::VerQueryValueA(data.data(), query.c_str(), &value, &length) || length == 0) return std::string();
    return std::string(static_cast<const char*>(value));
}

// The program's manifest resource as text ("" when it has none).
std::string manifestOf(const std::string& program) {
    const HMODULE module =
        ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) return std::string();
    std::string text;
    const HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    const HGLOBAL loaded = found != nullptr ? ::LoadResource(module, found) : nullptr;
    if (loaded != nullptr)
        text.assign(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, found));
    ::FreeLibrary(module);
    return text;
}

TEST(ProgramResourcesTest, EachProgramCarriesItsVersionAndManifest) {
    const std::vector<std::pair<std::string, std::string>> programs = {
        {ARDWEN_PROGRAM, "ardwen"}, {RESOURCES_PROGRAM, "brolix-resources"},
        {LOGRECEIVER_PROGRAM, "brolix-logreceiver"}};
    for (const auto& program : programs) {
        EXPECT_EQ(versionText(program.first, "ProductVersion"), BROLIX_VERSION) << program.second;
        EXPECT_EQ(versionText(program.first, "OriginalFilename"), program.second + ".exe");
        EXPECT_FALSE(versionText(program.first, "FileDescription").empty()) << program.second;
        const std::string manifest = manifestOf(program.first);
        EXPECT_NE(manifest.find(">UTF-8</activeCodePage>"), std::string::npos) << program.second;
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos) << program.second;
    }
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a program with a command line of wide characters, as a shell would;
// its exit code, or -1 when it could not be run.
int run(const std::wstring& commandLine) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

TEST(ProgramResourcesTest, ArdwenTakesNamesBeyondTheAnsiCodePage) {
    Brolix::test::TestDirectory top;
    // "a" with macron and the euro sign: no single-byte code page has both.
    const fs::path folder = fs::path(top.path()) / fs::path(L"\u0101\u20ac");
    ASSERT_TRUE(fs::create_directory(folder));
    ASSERT_TRUE(fs::create_directory(folder / "Log"));
    const std::string xml =
        "<Configuration><Object><Name>N</Name><Value type=\"t\">v</Value></Object></Configuration>";
    writeFile(folder / "a.xml", xml);
    writeFile(folder / "build.lst", "\"out.conf\" { \"a.xml\" } \"a.xml\" { \"a.xml\" }");
    const std::wstring here = folder.wstring();
    const std::wstring program = fs::path(ARDWEN_PROGRAM).wstring();
    // One configuration file is not written (exit 7): the entry's own XML file.
    EXPECT_EQ(run(L"\"" + program + L"\" \"--installdir=" + here + L"\" \"" + here + L"\\build.lst\""), 7);
    EXPECT_EQ(readFile(folder / "out.conf"), "N(t)=\"v\"{}\n");
    EXPECT_EQ(readFile(folder / "a.xml"), xml);
}

}  // namespace
