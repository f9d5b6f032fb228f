#include "bus_steps.h"

#include <cstring>

#include "commands.h"
#include "display.h"
#include "identification.h"
#include "run_state.h"

namespace orvex {

void fail_on(const Bus& bus, const char* message) {
    fail_with(message);
    if (bus.explain == nullptr) return;
    char cause[kCommandSize] = {};
    bus.explain(cause, sizeof cause);
    if (cause[0] != '\0') show_detail(cause);
}

bool answered(const Bus& bus, const Answer& answer, const char* silence) {
    if (answer.count < 0) {
        fail_on(bus, bus.bus_error);
        return false;
    }
    if (answer.count == 0 && silence != nullptr) {
        fail_on(bus, silence);
        return false;
    }
    return true;
}

Outcome identify_first(const Bus& bus) {
    const Answer first = bus.query(kCmdIdentify, AnswerKind::Identity);
    if (!answered(bus, first, bus.silence.identity)) return Outcome::NotReached;
    extract_info(first.text, kCommandSize);
    show_first_identification();
    if (bus.checks_maker && std::strcmp(identity.Make, kMakerName) != 0) {
        fail_with(kMsgUnknownUnit);
        return Outcome::WrongUnit;
    }
    if (run.ok_to_use == 0) {
        fail_with(kMsgWrongModel);
        return Outcome::WrongUnit;
    }
    return Outcome::Updated;
}

}  // namespace orvex
