#include "IPC.h"

namespace Brolix {

IPC::~IPC() = default;

}  // namespace Brolix
