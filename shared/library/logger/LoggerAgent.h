/// LoggerAgent is the end of the logging chain: it receives finished log-file
/// lines from the messenger and puts them somewhere. The messenger owns its agent
/// through a SmartPointer; an agent is used for the life of the messenger.
#pragma once

#include <string>

namespace Brolix {

class LoggerAgent {
public:
    virtual ~LoggerAgent();

    /// Where the agent writes, as a text a person can follow ("file:///...").
    virtual std::string location() const = 0;
    /// Whether the agent can take lines; an agent is ready unless it says otherwise.
    virtual bool isReady();
    /// Appends one line (without its line end). True when the line was stored.
    virtual bool write(const std::string& line) = 0;
};

}  // namespace Brolix
