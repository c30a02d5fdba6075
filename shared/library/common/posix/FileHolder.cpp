// Linux has no record of who holds a file open that would name the programs of
// other accounts; the file layer's messages do without a name here.
#include "platform/FileSystem.h"

namespace Brolix {
namespace platform {

std::string fileHolder(const std::string&) { return std::string(); }

}  // namespace platform
}  // namespace Brolix
