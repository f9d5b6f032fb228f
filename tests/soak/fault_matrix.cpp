#include "fault_matrix.h"

#include <cmath>

#include "commands.h"
#include "gpib_bus.h"
#include "lan_bus.h"
#include "rs232_bus.h"

namespace soak {
namespace {

namespace rs = orvex::rs232;
namespace ln = orvex::lan;
namespace gb = orvex::gpib_bus;
using O = orvex::Outcome;

constexpr const char* kBlank = "";
constexpr const char* kReplyKinds[] = {"idn", "stat", "prg", "erase", "test"};

}  // namespace

const std::vector<Fault>& fault_matrix() {
    static const std::vector<Fault> faults = {
        // Silence at each step that awaits a reply.
        {"silent: identity",
         {"--silent", "idn@1"},
         Expect{rs::kMsgNoResponse, O::NotReached},
         Expect{ln::kMsgIdentificationFailed, O::NotReached},
         Expect{gb::kMsgNotResponding, O::NotReached}},
        {"silent: password state",
         {"--silent", "stat@1"},
         Expect{rs::kMsgNoResponse, O::NotReached},
         Expect{ln::kMsgPasswordFailed, O::NotReached},
         Expect{gb::kMsgNotResponding, O::NotReached}},
        // Over RS-232 a unit that does not enter programming mode is given back without a word.
        {"silent: program mode",
         {"--silent", "prg@1"},
         Expect{kBlank, O::NotReached},
         Expect{ln::kMsgNotInProgramMode, O::NotReached},
         Expect{gb::kMsgNotResponding, O::NotReached}},
        {"silent: erase",
         {"--silent", "erase@1"},
         Expect{orvex::kMsgEraseFailed, O::FailedAfterErase},
         Expect{orvex::kMsgEraseFailed, O::FailedAfterErase},
         Expect{gb::kMsgNotResponding, O::FailedAfterErase}},
        // GPIB sends records without reading anything back.
        {"silent: record acknowledgment",
         {"--no-ack", "5"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         Expect{ln::kMsgDataToFlashFailed, O::FailedAfterErase},
         std::nullopt},
        {"silent: code test answer",
         {"--silent", "test@1"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         Expect{ln::kMsgCodeTestFailed, O::FailedAfterErase},
         Expect{gb::kMsgNotResponding, O::FailedAfterErase}},
        {"silent: second identity",
         {"--silent", "idn@2"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         Expect{ln::kMsgSecondIdentificationFailed, O::FailedAfterErase},
         Expect{gb::kMsgNotResponding, O::FailedAfterErase}},
        // Wrong identities. Over RS-232 only family and revision are checked.
        {"wrong identity: family",
         {"--family", "ZR"},
         Expect{orvex::kMsgWrongModel, O::WrongUnit},
         Expect{orvex::kMsgWrongModel, O::WrongUnit},
         Expect{orvex::kMsgWrongModel, O::WrongUnit}},
        {"wrong identity: maker",
         {"--maker", "ACME"},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kMsgUnknownUnit, O::WrongUnit},
         Expect{orvex::kMsgUnknownUnit, O::WrongUnit}},
        {"wrong identity: old revision",
         {"--revision", "V7.90"},
         Expect{orvex::kMsgWrongModel, O::WrongUnit},
         Expect{orvex::kMsgWrongModel, O::WrongUnit},
         Expect{orvex::kMsgWrongModel, O::WrongUnit}},
        // The refusal shows in its own message, beside Messages.
        {"password refused",
         {},
         Expect{rs::kMsgBlank, O::PasswordRefused},
         Expect{kBlank, O::PasswordRefused},
         Expect{kBlank, O::PasswordRefused},
         "WRONG"},
        // The unit's refusal is shown in its own words.
        {"lock refused",
         {"--lock", "deny"},
         std::nullopt,
         Expect{ln::kLockDenied, O::NotReached},
         std::nullopt},
        {"lock unanswered",
         {"--lock", "silent"},
         std::nullopt,
         Expect{ln::kMsgNoLock, O::NotReached},
         std::nullopt},
        // An erase that reports an error programs nothing: the run goes on to
        // the second identification, but the unit needs another run.
        {"erase refused",
         {"--erase-reply", "1\\r\\n"},
         Expect{kBlank, O::FailedAfterErase},
         Expect{kBlank, O::FailedAfterErase},
         Expect{kBlank, O::FailedAfterErase}},
        {"erase refused, second identification reads a new revision",
         {"--erase-reply", "1\\r\\n", "--boot-revision", "V8.30"},
         Expect{kBlank, O::FailedAfterErase},
         Expect{kBlank, O::FailedAfterErase},
         Expect{kBlank, O::FailedAfterErase}},
        {"erase answer empty",
         {"--erase-reply", "\\n"},
         Expect{orvex::kMsgEraseFailed, O::FailedAfterErase},
         Expect{kBlank, O::FailedAfterErase},
         Expect{orvex::kMsgEraseFailed, O::FailedAfterErase}},
        // The unit refuses one record: the run goes on, the unit keeps its old firmware.
        {"NAK for a record",
         {"--nak", "5"},
         Expect{kBlank, O::Unchanged},
         Expect{kBlank, O::Unchanged},
         Expect{kBlank, O::Unchanged}},
        {"link dropped while programming",
         {"--drop-after", "5"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         Expect{ln::kMsgDataToFlashFailed, O::FailedAfterErase},
         Expect{gb::kMsgNotResponding, O::FailedAfterErase}},
        // The port disappears, the connection is reset, the board's socket goes away.
        {"port, connection or board vanishes",
         {"--drop-after", "5", "--serial-drop", "close", "--lan-drop", "reset", "--gpib-drop", "vanish"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         Expect{ln::kMsgDataToFlashFailed, O::FailedAfterErase},
         Expect{gb::kMsgNotResponding, O::FailedAfterErase}},
        {"RS-232 adapter resets while programming",
         {"--drop-after", "5", "--serial-drop", "reset"},
         Expect{rs::kMsgNoResponse, O::FailedAfterErase},
         std::nullopt,
         std::nullopt},
        // Replies of odd shapes.
        {"program-mode reply too long",
         {"--prg-reply", "READYY\\r\\n"},
         Expect{kBlank, O::NotReached},
         Expect{orvex::kMsgSettingUp, O::NotReached},
         Expect{orvex::kOkTest, O::Updated}},
        {"oversized identity (1000 bytes)",
         {"--idn-length", "1000"},
         Expect{kBlank, O::NotReached},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated}},
        {"NUL byte before the line end",
         {"--nul", "idn"},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated}},
        {"NUL byte leading the identity",
         {"--nul", "idn@0"},
         Expect{orvex::kMsgWrongModel, O::WrongUnit},
         Expect{ln::kMsgIdentificationFailed, O::NotReached},
         Expect{orvex::kMsgUnknownUnit, O::WrongUnit}},
        {"replies split across reads",
         {"--split", "idn", "--split", "stat", "--split", "erase", "--split-gap-ms", "5"},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated}},
        {"slow unit, within its time-outs",
         {},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated},
         Expect{orvex::kOkTest, O::Updated},
         nullptr,
         true},
    };
    return faults;
}

QStringList slow_unit_args(double timeout_s, double share) {
    QStringList args;
    const long delay_ms = std::lround(timeout_s * share * 1000.0);
    for (const char* kind : kReplyKinds) args << "--delay" << QStringLiteral("%1=%2").arg(kind).arg(delay_ms);
    return args;
}

const char* outcome_name(orvex::Outcome outcome) {
    switch (outcome) {
        case O::NotRun:
            return "not run";
        case O::Updated:
            return "updated";
        case O::Unchanged:
            return "unchanged";
        case O::InputRefused:
            return "input refused";
        case O::NotReached:
            return "not reached";
        case O::WrongUnit:
            return "wrong unit";
        case O::PasswordRefused:
            return "password refused";
        case O::FailedAfterErase:
            return "failed after erase";
        case O::Interrupted:
            return "interrupted";
    }
    return "?";
}

const char* bus_name(BusId bus) {
    switch (bus) {
        case BusId::Rs232:
            return "RS-232";
        case BusId::Lan:
            return "LAN";
        case BusId::Gpib:
            return "GPIB";
    }
    return "?";
}

}  // namespace soak
