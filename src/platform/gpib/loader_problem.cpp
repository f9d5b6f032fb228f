// Why the driver library cannot be used, kept for the window's detail line,
// and the driver's names of its error codes.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "binding_state.h"
#include "gpib.h"

namespace gpib {
namespace detail {
namespace {

std::mutex g_problem_mutex;
std::string g_problem;

}  // namespace

void SetLoaderProblem(std::string text) {
    std::lock_guard hold(g_problem_mutex);
    g_problem = std::move(text);
}

}  // namespace detail

int LoaderProblemText(char* text, std::size_t size) {
    if (text == nullptr || size == 0) return -1;
    std::lock_guard hold(detail::g_problem_mutex);
    const std::size_t length = std::min(size - 1, detail::g_problem.size());
    std::memcpy(text, detail::g_problem.data(), length);
    text[length] = '\0';
    return static_cast<int>(length);
}

const char* ErrorName(int error) {
    // The published names of the driver's error codes.
    static constexpr std::array<std::pair<int, const char*>, 22> kNames = {{
        {EDVR, "EDVR"}, {ECIC, "ECIC"}, {ENOL, "ENOL"}, {EADR, "EADR"}, {EARG, "EARG"}, {ESAC, "ESAC"},
        {EABO, "EABO"}, {ENEB, "ENEB"}, {EDMA, "EDMA"}, {EOIP, "EOIP"}, {ECAP, "ECAP"}, {EFSO, "EFSO"},
        {EBUS, "EBUS"}, {ESTB, "ESTB"}, {ESRQ, "ESRQ"}, {ETAB, "ETAB"}, {ELCK, "ELCK"}, {EARM, "EARM"},
        {EHDL, "EHDL"}, {EWIP, "EWIP"}, {ERST, "ERST"}, {EPWR, "EPWR"},
    }};
    const auto found = std::find_if(kNames.begin(), kNames.end(),
                                    [error](const auto& entry) { return entry.first == error; });
    return found != kNames.end() ? found->second : "E?";
}

}  // namespace gpib
