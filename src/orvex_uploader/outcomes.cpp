#include "outcomes.h"

#include <string>

namespace orvex {
namespace {

constexpr std::size_t kCodeWidth = 5;  // exit codes right-aligned in --help

constexpr OutcomeInfo kOutcomes[] = {
    {Outcome::Updated, "updated", 0, "updated: the revision changed (\"OK TEST\")", "OK TEST"},
    {Outcome::Unchanged, "unchanged", 1, "the run went through, but the revision did not change",
     "Revision unchanged"},
    {Outcome::InputRefused, "input-refused", 2,
     "the HEX file, its path or the password was refused before the unit was touched", "File Error"},
    {Outcome::NotReached, "not-reached", 3,
     "the unit was not reached (port, driver, connection, lock, no answer before the erase)",
     "Unit not reached", true},
    {Outcome::WrongUnit, "wrong-unit", 4, "wrong unit, model or revision", "Wrong Model/Revision"},
    {Outcome::PasswordRefused, "password-refused", 5, "the password was refused", "ERROR - Wrong Password"},
    {Outcome::FailedAfterErase, "failed-after-erase", 6, "failed after the erase: the unit needs another run",
     "Failed after erase", true},
    {Outcome::Interrupted, "interrupted", kExitInterrupted,
     "interrupted: a signal before the erase, or a second one after it", "Interrupted"},
    // START ran nothing: no bus was chosen, so no unit was reached.
    {Outcome::NotRun, "not-run", 3, nullptr, "No update ran"},
};

}  // namespace

const OutcomeInfo& outcome_info(Outcome outcome) {
    for (const OutcomeInfo& info : kOutcomes)
        if (info.outcome == outcome) return info;
    return kOutcomes[std::size(kOutcomes) - 1];
}

std::string exit_code_line(int exit_code, const char* meaning) {
    const std::string code = std::to_string(exit_code);
    const std::size_t pad = code.size() < kCodeWidth ? kCodeWidth - code.size() : 0;
    return std::string(pad, ' ') + code + "  " + meaning + '\n';
}

const char* exit_code_help() {
    static const std::string text = [] {
        std::string lines = "Exit status of --batch:\n";
        const auto line = [&lines](int exit_code, const char* meaning) {
            lines += exit_code_line(exit_code, meaning);
        };
        std::string mended;
        for (const OutcomeInfo& info : kOutcomes) {
            if (info.meaning == nullptr || info.exit_code >= kExitUsage) continue;
            line(info.exit_code, info.meaning);
            if (info.another_run_may_mend)
                mended += (mended.empty() ? "" : " or ") + std::to_string(info.exit_code);
        }
        line(kExitUsage, "usage error: a bad option or resource, an unreadable password file");
        line(kExitInterrupted, outcome_info(Outcome::Interrupted).meaning);
        lines += "With --retries, only a run that ends with status " + mended + " is run again.\n";
        return lines;
    }();
    return text.c_str();
}

}  // namespace orvex
