// One bus on which the emulated unit can be reached. Each transport turns its
// bus's bytes into lines for the UnitCore and delivers the replies the way its
// bus does.
#pragma once

#include <optional>
#include <string>

namespace orvex::sim {

class Transport {
public:
    virtual ~Transport() = default;

    // Starts listening; an error text when the endpoint cannot be set up.
    virtual std::optional<std::string> open() = 0;
    // How the ready line names the endpoint, e.g. "serial=/tmp/d/COM1".
    virtual std::string endpoint() const = 0;
    // Stops serving and removes what open() created in the file system.
    virtual void close() = 0;
};

}  // namespace orvex::sim
