// The driver's own errors, turned into what a technician checks: the Linux
// GPIB library's configuration file, the board's device file and its errno,
// the board's role on its bus, the unit's address.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gpib.h"
#include "gpib_bus.h"

namespace orvex::gpib_bus {

namespace {

// The library opens its configuration on the first call; without one that
// call fails with EARG, although an interface clear takes no argument that
// could be wrong.
void describe_configuration(char* text, std::size_t size) {
    const char* named = std::getenv(kConfigurationVariable);
    if (named != nullptr && named[0] != '\0') {
        std::snprintf(text, size, kDetailNamedConfiguration, named);
    } else {
        std::snprintf(text, size, kDetailNoConfiguration, kDefaultConfigurationFile);
    }
}

// EDVR: a system call of the driver failed; the count holds its errno, that
// of opening the board's device file when the board could not be opened.
void describe_system_error(long error, int board, char* text, std::size_t size) {
    if (error <= 0) {
        std::snprintf(text, size, kDetailSystemError, board);
        return;
    }
    char device[32] = {};
    std::snprintf(device, sizeof device, kDeviceFileFormat, board);
    const char* reason = std::strerror(static_cast<int>(error));
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            std::snprintf(text, size, kDetailNoDeviceFile, device, reason);
            break;
        case EACCES:
        case EPERM:
            std::snprintf(text, size, kDetailDeviceRefused, device, reason);
            break;
        default:
            std::snprintf(text, size, kDetailDeviceFailed, device, reason);
            break;
    }
}

}  // namespace

void describe_driver_failure(const DriverFailure& failure, int board, int address, char* text,
                             std::size_t size) {
    if (size == 0) return;
    text[0] = '\0';
    if ((failure.status & gpib::ERR) == 0) return;
    const char* name = gpib::ErrorName(failure.error);
    switch (failure.error) {
        case gpib::EARG:
            if (failure.first_call) return describe_configuration(text, size);
            break;
        case gpib::EDVR:
            return describe_system_error(failure.count, board, text, size);
        case gpib::ECIC:
        case gpib::ESAC:
            std::snprintf(text, size, kDetailNotController, board, name);
            return;
        case gpib::ENEB:
            std::snprintf(text, size, kDetailNoBoard, board);
            return;
        case gpib::ENOL:
            std::snprintf(text, size, kDetailNoListener, address, board);
            return;
        default:
            break;
    }
    if (failure.error == gpib::EABO || (failure.status & gpib::TIMO) != 0) {
        std::snprintf(text, size, kDetailNoAnswer, address, board, name);
    } else {
        std::snprintf(text, size, kDetailOtherError, name, board);
    }
}

}  // namespace orvex::gpib_bus
