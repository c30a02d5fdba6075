/// The fuzz targets that run the builder keep every file it touches inside one
/// folder of their own. For these programs the library's one translation of its
/// paths into the host's form (platform::toNativePath, which every file-system
/// call goes through) is replaced by one that puts every path below that folder:
/// separators become "/", leading separators and "." parts are dropped, and ".."
/// parts become "__", so no name a build list holds can reach outside.
#pragma once

#include <string>

namespace Brolix {
namespace fuzz {

/// Makes a fresh folder for this process (below $TMPDIR, else /dev/shm, else
/// /tmp), named after `name`, and puts every later library path below it. The
/// file layer's pauses between retries are skipped from then on.
void enterSandbox(const std::string& name);

/// Removes everything inside the sandbox.
void clearSandbox();

/// Writes `content` to the library path `name`, plain or gzip-compressed.
void writeSandboxFile(const std::string& name, const std::string& content);
void writeSandboxGzip(const std::string& name, const std::string& content);

}  // namespace fuzz
}  // namespace Brolix
