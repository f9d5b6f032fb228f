#include "settings.h"

#include <sys/un.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "driver_constants.h"
#include "gpib_wire.h"

namespace standin {
namespace {

constexpr const char* kSocketSetting = "ORVEX_GPIB_SIM";
constexpr const char* kTimeScaleSetting = "ORVEX_GPIB_TIME_SCALE";
constexpr const char* kFirstCallFaultSetting = "ORVEX_GPIB_FIRST_CALL_FAILS";
constexpr double kDefaultTimeScale = 1.0;

// Read without the C locale: a host program may have switched it to one
// with a decimal comma.
double TimeScale() {
    const char* text = std::getenv(kTimeScaleSetting);
    if (text == nullptr) return kDefaultTimeScale;
    double scale = 0.0;
    const char* last = text + std::strlen(text);
    const auto [end, error] = std::from_chars(text, last, scale);
    if (error != std::errc{} || end != last || !(scale > 0.0) || !std::isfinite(scale)) {
        return kDefaultTimeScale;
    }
    return scale;
}

std::optional<int> WholeNumber(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> ErrorCode(std::string_view text) {
    for (const ErrorName& entry : kErrorNames)
        if (text == entry.name) return entry.code;
    return WholeNumber(text);
}

}  // namespace

std::optional<std::string> SocketPathForBoard(int board) {
    const char* setting = std::getenv(kSocketSetting);
    if (setting == nullptr || setting[0] == '\0') return std::nullopt;
    std::string path = gpib_wire::socketPathFor(setting, board);
    if (path.size() >= sizeof(sockaddr_un::sun_path)) return std::nullopt;
    return path;
}

std::uint32_t ScaledTimeout_ms(int timeoutCode) {
    if (!IsTimeoutCode(timeoutCode) || timeoutCode == kTimeoutNone) return 0;
    const double scaled_ms =
        static_cast<double>(kTimeoutMicroseconds[static_cast<std::size_t>(timeoutCode)]) * TimeScale() /
        1000.0;
    constexpr double kLongest_ms = std::numeric_limits<std::uint32_t>::max();
    if (scaled_ms >= kLongest_ms) return std::numeric_limits<std::uint32_t>::max();
    return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(std::ceil(scaled_ms)));
}

std::optional<CallFault> FirstCallFault() {
    const char* setting = std::getenv(kFirstCallFaultSetting);
    if (setting == nullptr || setting[0] == '\0') return std::nullopt;
    const std::string_view text(setting);
    const std::size_t comma = text.find(',');
    const std::optional<int> error = ErrorCode(text.substr(0, comma));
    if (!error) return std::nullopt;
    if (comma == std::string_view::npos) return CallFault{*error, 0};
    const std::optional<int> count = WholeNumber(text.substr(comma + 1));
    if (!count) return std::nullopt;
    return CallFault{*error, *count};
}

}  // namespace standin
