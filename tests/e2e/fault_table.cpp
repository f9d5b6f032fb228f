// Every fault a unit or a bench can show, once, and what each bus makes of
// it: the Messages text, the outcome in the update record, the last step the
// unit heard, and a part of the detail line, all as the operator reads them.
#include "fault_table.h"

namespace orvex::test {
namespace {

// Delays of every reply, in the unit's own milliseconds: 40 % of LAN's 4 s
// reply wait, and 40 % of the 10 s that RS-232 and GPIB give a reply.
const QStringList kSlowForLan = {"--delay",  "idn=1600", "--delay",    "stat=1600", "--delay",
                                 "prg=1600", "--delay",  "erase=1600", "--delay",   "test=1600"};
const QStringList kSlowForTenSeconds = {"--delay",  "idn=4000", "--delay",    "stat=4000", "--delay",
                                        "prg=4000", "--delay",  "erase=4000", "--delay",   "test=4000"};

// What the detail line says of a unit that went silent, and of a refused erase.
const char* const kSerialSilent = "/ports/COM1) did not answer";
const char* const kLanSilent = "did not answer within 4 s";
const char* const kGpibSilent = "the unit at address 6 on GPIB0 did not answer in time (EABO)";

const Cell kUpdated = {"OK TEST", "updated", "second *IDN?", ""};
const Cell kWrongModel = {"Wrong Model/Revision", "wrong-unit", "*IDN?", ""};
const Cell kUnknownUnit = {"Unknown Unit", "wrong-unit", "*IDN?", ""};
const Cell kLockDenied = {"<DENIED LOCK>\r\n", "not-reached", "lock",
                          "the unit refused the lock: another client holds it"};
const Cell kEraseRefused = {"", "failed-after-erase", "second *IDN?",
                            "nothing was programmed; run the update again"};
const Cell kRecordRefused = {"", "unchanged", "second *IDN?", ""};
const Cell kSerialDropped = {"Unit Failed To Respond", "failed-after-erase", "records", ""};
const Cell kLanDropped = {"Data to Flash Failed", "failed-after-erase", "records", ""};
const Cell kGpibDropped = {"Unit Not Responding", "failed-after-erase", "records", ""};
const Cell kNotProgramming = {"", "not-reached", "DIAG:PRG", ""};
const Cell kSettingUp = {"Setting Up - Please Wait", "not-reached", "DIAG:PRG", ""};
const Cell kPasswordRefused = {"", "password-refused", ":syst:pass:stat?", ""};
const Cell kNoPort = {"Failed To Get Com Port", "not-reached", "", ""};
const Cell kNoUnit = {"Unit Not Responding", "not-reached", "", ""};

Cell with_detail(Cell cell, const char* detail) {
    cell.detail = detail;
    return cell;
}

Cell with_message(Cell cell, const char* message) {
    cell.message = message;
    return cell;
}

// A bench on one bus that keeps the unit from being reached.
FaultRow bench(const char* name, Bus bus, const Cell& cell, Setup setup) {
    FaultRow row{name, {}, {}, {}, {}, false, setup};
    (bus == Bus::Rs232 ? row.rs232 : bus == Bus::Lan ? row.lan : row.gpib) = cell;
    // A COM1 link the bench changed leads nowhere for the good run: a fresh unit.
    row.stays = setup == Setup::NoPort || setup == Setup::PortGone || setup == Setup::PortForbidden;
    return row;
}

// The GPIB driver's first call fails as `fault` says ("EDVR,2": the error and the errno).
FaultRow driver(const char* name, const char* fault, const char* detail, Setup setup = Setup::DriverFails) {
    return {name, {}, {}, {}, with_detail(kNoUnit, detail), false, setup, fault};
}

}  // namespace

// One row a fault: its name, the unit's options, then RS-232, LAN and GPIB.
// clang-format off
const std::vector<FaultRow>& fault_table() {
    static const std::vector<FaultRow> rows = {
        // Silence at each step that awaits a reply. Over RS-232 a unit that
        // does not enter programming mode is given back without a word.
        {"silent: identification", {"--silent", "idn@1"},
         Cell{"Unit Failed To Respond", "not-reached", "*IDN?", kSerialSilent},
         Cell{"Identification Failed", "not-reached", "*IDN?", kLanSilent},
         Cell{"Unit Not Responding", "not-reached", "*IDN?", kGpibSilent}},
        {"silent: password state", {"--silent", "stat@1"},
         Cell{"Unit Failed To Respond", "not-reached", ":syst:pass:stat?", kSerialSilent},
         Cell{"Password Failed", "not-reached", ":syst:pass:stat?", kLanSilent},
         Cell{"Unit Not Responding", "not-reached", ":syst:pass:stat?", kGpibSilent}},
        {"silent: programming mode", {"--silent", "prg@1"}, Cell{"", "not-reached", "DIAG:PRG", ""},
         Cell{"Not In Program Mode", "not-reached", "DIAG:PRG", kLanSilent},
         Cell{"Unit Not Responding", "not-reached", "DIAG:PRG", kGpibSilent}},
        {"silent: erase", {"--silent", "erase@1"},
         Cell{"Erase Failed", "failed-after-erase", "ERASE", kSerialSilent},
         Cell{"Erase Failed", "failed-after-erase", "ERASE", kLanSilent},
         Cell{"Unit Not Responding", "failed-after-erase", "ERASE", kGpibSilent}},
        // GPIB sends records without reading anything back.
        {"silent: record acknowledgment", {"--no-ack", "5"},
         Cell{"Unit Failed To Respond", "failed-after-erase", "records", ""},
         Cell{"Data to Flash Failed", "failed-after-erase", "records", ""}, {}},
        {"silent: code test answer", {"--silent", "test@1"},
         Cell{"Unit Failed To Respond", "failed-after-erase", "records", ""},
         Cell{"Code Test Failed", "failed-after-erase", "records", ""},
         Cell{"Unit Not Responding", "failed-after-erase", "records", ""}},
        // The unit took its new firmware: the good run meets a fresh unit.
        {"silent: second identification", {"--silent", "idn@2"},
         Cell{"Unit Failed To Respond", "failed-after-erase", "second *IDN?", kSerialSilent},
         Cell{"Second Identification Failed", "failed-after-erase", "second *IDN?", kLanSilent},
         Cell{"Unit Not Responding", "failed-after-erase", "second *IDN?", kGpibSilent}, true},
        {"silent throughout", {"--silent", "idn"},
         Cell{"Unit Failed To Respond", "not-reached", "*IDN?", kSerialSilent},
         Cell{"Identification Failed", "not-reached", "*IDN?", kLanSilent},
         Cell{"Unit Not Responding", "not-reached", "*IDN?", kGpibSilent}, true},
        // Wrong identities. Over RS-232 only family and revision are checked.
        {"wrong family", {"--family", "ZR"}, kWrongModel, kWrongModel, kWrongModel, true},
        {"other maker", {"--maker", "ACME"}, kUpdated, kUnknownUnit, kUnknownUnit, true},
        {"revision too old", {"--revision", "V7.90"}, kWrongModel, kWrongModel, kWrongModel, true},
        {"NUL leading the identification", {"--nul", "idn@0"}, kWrongModel,
         Cell{"Identification Failed", "not-reached", "*IDN?", kLanSilent}, kUnknownUnit, true},
        // The refusal shows in its own message beside Messages; RS-232 blanks Messages.
        {"password refused", {}, with_message(kPasswordRefused, "            "),
         kPasswordRefused, kPasswordRefused,
         false, Setup::Password, "WRONG"},
        // A "?" makes the unlock a query on GPIB: its read waits out the board's time-out.
        {"password with a question mark", {}, with_message(kPasswordRefused, "            "),
         kPasswordRefused,
         Cell{"Unit Not Responding", "not-reached", "unlock", kGpibSilent}, false, Setup::Password, "AB?CD"},
        // The unit's refusal is shown in its own words.
        {"lock refused", {"--lock", "deny"}, {}, kLockDenied, {}, true},
        {"lock held by another client, denial in two segments", {"--split", "lock", "--split-gap-ms", "5"},
         {}, kLockDenied, {}, false, Setup::LockHeld},
        {"lock unanswered", {"--lock", "silent"}, {},
         Cell{"Unable to Get a LOCK", "not-reached", "lock", "the unit did not answer the lock request"}, {},
         true},
        // A refused erase programs nothing, whatever the unit says after EXIT.
        {"erase refused", {"--erase-reply", "1\\r\\n"},
         with_detail(kEraseRefused, "the unit refused the erase (it answered \"1\\r\"): nothing was"),
         with_detail(kEraseRefused, "the unit refused the erase (it answered \"1\\r\\n\"): nothing was"),
         with_detail(kEraseRefused, "the unit refused the erase (it answered \"1\\r\"): nothing was"), true},
        {"erase refused, a new revision after EXIT", {"--erase-reply", "1\\r\\n", "--boot-revision", "V8.30"},
         kEraseRefused, kEraseRefused, kEraseRefused, true},
        // LAN keeps the line end, so an empty answer is an answer, and not "0".
        {"erase answer empty", {"--erase-reply", "\\n"},
         Cell{"Erase Failed", "failed-after-erase", "ERASE", kSerialSilent},
         with_detail(kEraseRefused, "(it answered \"\\n\"): nothing was programmed"),
         Cell{"Erase Failed", "failed-after-erase", "ERASE", ""}, true},
        // The unit refuses one record: the run goes on, the unit keeps its old firmware.
        {"record refused", {"--nak", "5"}, kRecordRefused, kRecordRefused, kRecordRefused, true},
        {"link dropped while programming", {"--drop-after", "5"}, kSerialDropped, kLanDropped, kGpibDropped,
         true},
        {"port, connection or board vanishes while programming",
         {"--drop-after", "5", "--serial-drop", "close", "--lan-drop", "reset", "--gpib-drop", "vanish"},
         with_detail(kSerialDropped, "the serial port failed while programming (error -6)"), kLanDropped,
         kGpibDropped, true},
        {"adapter resets while programming", {"--drop-after", "5", "--serial-drop", "reset"},
         with_detail(kSerialDropped, "the serial port failed while programming (error -6)"), {}, {}, true},
        // Programming mode is acknowledged by "READY\r\n": 6 bytes before the
        // line feed on RS-232, 6 or 7 with the line end on LAN; GPIB does not count.
        {"programming-mode reply of RDY", {"--prg-reply", "RDY\\r\\n"}, kNotProgramming, kSettingUp, kUpdated,
         true},
        {"programming-mode reply of READ", {"--prg-reply", "READ\\r\\n"}, kNotProgramming, kUpdated, kUpdated,
         true},
        {"programming-mode reply of READYY", {"--prg-reply", "READYY\\r\\n"}, kNotProgramming, kSettingUp,
         kUpdated, true},
        // RS-232 reads 256 bytes of it: the rest is taken for the password state.
        {"identification of 1000 bytes", {"--idn-length", "1000"}, kNotProgramming, kUpdated, kUpdated, true},
        // Replies of odd shapes that must not stop a run.
        {"NUL byte before the line end", {"--nul", "idn"}, kUpdated, kUpdated, kUpdated, true},
        {"replies split across reads",
         {"--split", "idn", "--split", "stat", "--split", "erase", "--split-gap-ms", "5"},
         kUpdated, kUpdated, kUpdated, true},
        {"replies within 40 % of LAN's time-out", kSlowForLan, kUpdated, kUpdated, kUpdated, true},
        {"replies within 40 % of a 10 s time-out", kSlowForTenSeconds, kUpdated, {}, kUpdated, true},
        // Benches that reach no unit; the detail line says why.
        bench("COM1 names nothing", Bus::Rs232, with_detail(kNoPort, "no such port"), Setup::NoPort),
        bench("COM1 names a device that is gone", Bus::Rs232, with_detail(kNoPort, "no such port"),
              Setup::PortGone),
        bench("COM1 may not be opened", Bus::Rs232, with_detail(kNoPort, "dialout"), Setup::PortForbidden),
        bench("COM1 held by another program", Bus::Rs232, with_detail(kNoPort, "busy"), Setup::PortBusy),
        bench("nothing listens at the address", Bus::Lan,
              Cell{"Failed To Connect", "not-reached", "", "refused"}, Setup::NoListener),
        bench("no such board", Bus::Gpib, with_detail(kNoUnit, "no GPIB board GPIB3 (ENEB)"),
              Setup::OtherBoard),
        bench("nobody at the address", Bus::Gpib,
              with_detail(kNoUnit, "no listener at address 7 on GPIB0 (ENOL)"), Setup::OtherAddress),
        bench("the driver reaches no board", Bus::Gpib, with_detail(kNoUnit, "no GPIB board GPIB0 (ENEB)"),
              Setup::NoBoardSocket),
        // The driver fails its very first call as the Linux GPIB library does
        // on a bench not yet set up: the detail line says what to fix.
        driver("EARG: no configuration file", "EARG", "the GPIB library could not open its configuration "
               "file /etc/gpib.conf (EARG): create it, or name another in IB_CONFIG"),
        driver("EARG: the configuration file IB_CONFIG names", "EARG", "the GPIB library could not open its "
               "configuration file /opt/bench/gpib.conf, named by IB_CONFIG (EARG)", Setup::IbConfig),
        driver("EDVR: no device file", "EDVR,2",
               "/dev/gpib0: No such file or directory (EDVR): load the GPIB kernel module and run "
               "gpib_config"),
        driver("EDVR: device file not allowed", "EDVR,13", "/dev/gpib0: Permission denied (EDVR): the user "
               "needs access to it, usually as a member of the gpib group"),
        driver("EDVR: another system error", "EDVR,5", "/dev/gpib0: Input/output error (EDVR)"),
        driver("EDVR without an errno", "EDVR", "the GPIB driver reported a system error on GPIB0 (EDVR)"),
        driver("ECIC: not controller-in-charge", "ECIC",
               "GPIB0 cannot control its bus (ECIC): it must be the bus's system controller"),
        driver("ESAC: not system controller", "ESAC",
               "GPIB0 cannot control its bus (ESAC): it must be the bus's system controller"),
        driver("ENEB: no board", "ENEB",
               "no GPIB board GPIB0 (ENEB): is it configured, and has gpib_config run?"),
        driver("ENOL: no listener", "ENOL",
               "no listener at address 6 on GPIB0 (ENOL): check the unit's address, power and cable"),
        driver("EABO: time-out", "EABO", kGpibSilent),
        driver("any other driver error", "EBUS", "the GPIB driver reported EBUS on GPIB0"),
    };
    return rows;
}
// clang-format on

}  // namespace orvex::test
