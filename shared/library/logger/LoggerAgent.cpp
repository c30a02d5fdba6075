#include "LoggerAgent.h"

namespace Brolix {

LoggerAgent::~LoggerAgent() = default;

bool LoggerAgent::isReady() { return true; }

}  // namespace Brolix
