// The simulator's command line.
#pragma once

#include "unit_config.h"

#include <QString>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvex::sim {

inline constexpr int kDefaultComNumber = 1;
inline constexpr int kLanDefaultPort = 5025;
inline constexpr const char* kGpibEnvironmentVariable = "ORVEX_GPIB_SIM";

struct SimOptions {
    UnitConfig unit;
    std::optional<std::filesystem::path> serialDirectory;
    int comNumber = kDefaultComNumber;
    std::optional<std::string> lanAddress;
    int lanPort = kLanDefaultPort;
    std::optional<std::string> gpibPattern;
    int gpibBoard = 0;
    int gpibAddress = 6;
    QString recordPath;
    QString flashPath;
};

struct ParsedOptions {
    std::optional<SimOptions> options;
    std::string error;  // set when options is empty and help is false
    bool help = false;
};

// `gpibFromEnvironment` is the value of ORVEX_GPIB_SIM, if set: the default
// socket pattern unless --gpib or --no-gpib is given.
ParsedOptions parseOptions(const std::vector<std::string>& args,
                           std::optional<std::string> gpibFromEnvironment);

std::string usageText();

}  // namespace orvex::sim
