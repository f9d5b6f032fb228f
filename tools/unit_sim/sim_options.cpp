#include "sim_options.h"

#include "text_escape.h"

#include <algorithm>
#include <charconv>
#include <functional>

namespace orvex::sim {
namespace {

using Error = std::optional<std::string>;
using Handler = std::function<Error(SimOptions&, std::string_view)>;

struct OptionEntry {
    const char* name;
    const char* value;  // nullptr: a flag without value
    const char* help;
    Handler apply;
};

template <typename Number>
std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

Error integerInto(int& target, std::string_view text, int low, int high, const char* what) {
    const auto value = number<int>(text);
    if (!value || *value < low || *value > high) {
        return std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
    }
    target = *value;
    return std::nullopt;
}

Error millisecondsInto(std::chrono::milliseconds& target, std::string_view text, const char* what) {
    int value = 0;
    if (auto error = integerInto(value, text, 0, 3'600'000, what)) return error;
    target = std::chrono::milliseconds(value);
    return std::nullopt;
}

Error bytesInto(std::string& target, std::string_view text) {
    auto bytes = text::unescapeBytes(text);
    if (!bytes) return "malformed escape in \"" + std::string(text) + "\" (use \\r \\n \\t \\\\ \\xNN)";
    target = std::move(*bytes);
    return std::nullopt;
}

Error kindInto(ReplyKind& target, std::string_view name) {
    const auto kind = replyKindFromName(name);
    if (!kind)
        return "unknown reply kind \"" + std::string(name) + "\" (lock, idn, stat, prg, erase, record, test)";
    target = *kind;
    return std::nullopt;
}

Error silence(SimOptions& o, std::string_view text) {
    Silence entry;
    std::string_view name = text;
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        name = text.substr(0, at);
        if (auto error =
                integerInto(entry.occurrence, text.substr(at + 1), 1, 1'000'000'000, "--silent occurrence")) {
            return error;
        }
    } else if (text.ends_with(":once")) {
        name = text.substr(0, text.size() - 5);
        entry.occurrence = 1;
    }
    if (auto error = kindInto(entry.kind, name)) return error;
    o.unit.silences.push_back(entry);
    return std::nullopt;
}

Error delay(SimOptions& o, std::string_view text) {
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) return "--delay wants KIND=MS or all=MS";
    std::chrono::milliseconds value{};
    if (auto error = millisecondsInto(value, text.substr(equals + 1), "--delay milliseconds")) return error;
    const std::string_view name = text.substr(0, equals);
    if (name == "all") {
        o.unit.allRepliesDelay = value;
        return std::nullopt;
    }
    ReplyKind kind{};
    if (auto error = kindInto(kind, name)) return error;
    o.unit.replyDelays[kind] = value;
    return std::nullopt;
}

Error split(SimOptions& o, std::string_view text) {
    std::string_view name = text;
    int at = 0;
    if (const auto mark = text.find('@'); mark != std::string_view::npos) {
        name = text.substr(0, mark);
        if (auto error = integerInto(at, text.substr(mark + 1), 1, 1'000'000, "--split byte count"))
            return error;
    }
    ReplyKind kind{};
    if (auto error = kindInto(kind, name)) return error;
    o.unit.splitReplies[kind] = static_cast<std::size_t>(at);
    return std::nullopt;
}

// One of a few named values.
template <typename Value>
Error choiceInto(Value& target, std::string_view text,
                 std::initializer_list<std::pair<std::string_view, Value>> choices, const char* error) {
    for (const auto& [name, value] : choices) {
        if (text == name) {
            target = value;
            return std::nullopt;
        }
    }
    return error;
}

Error nul(SimOptions& o, std::string_view text) {
    std::string_view name = text;
    std::optional<std::size_t> at;
    if (const auto mark = text.find('@'); mark != std::string_view::npos) {
        name = text.substr(0, mark);
        int bytes = 0;
        if (auto error = integerInto(bytes, text.substr(mark + 1), 0, 1'000'000, "--nul byte count"))
            return error;
        at = static_cast<std::size_t>(bytes);
    }
    ReplyKind kind{};
    if (auto error = kindInto(kind, name)) return error;
    o.unit.nulReplies[kind] = at;
    return std::nullopt;
}

const std::vector<OptionEntry>& optionTable() {
    static const std::vector<OptionEntry> table = {
        {"--serial-dir", "DIR", "serve RS-232 on a pseudo-terminal linked as DIR/COMn",
         [](SimOptions& o, std::string_view v) -> Error {
             o.serialDirectory = std::filesystem::path(std::string(v));
             return std::nullopt;
         }},
        {"--com", "N", "COM port number of the link (default 1)",
         [](SimOptions& o, std::string_view v) { return integerInto(o.comNumber, v, 1, 99, "--com"); }},
        {"--lan", "ADDRESS", "serve LAN on ADDRESS (a 127.x.y.z loopback address)",
         [](SimOptions& o, std::string_view v) -> Error {
             o.lanAddress = std::string(v);
             return std::nullopt;
         }},
        {"--lan-port", "PORT", "LAN port (default 5025; 0 picks a free one)",
         [](SimOptions& o, std::string_view v) { return integerInto(o.lanPort, v, 0, 65535, "--lan-port"); }},
        {"--gpib", "PATTERN", "serve GPIB on the socket PATTERN, %d = board (default $ORVEX_GPIB_SIM)",
         [](SimOptions& o, std::string_view v) -> Error {
             o.gpibPattern = std::string(v);
             return std::nullopt;
         }},
        {"--no-gpib", nullptr, "no GPIB even when ORVEX_GPIB_SIM is set",
         [](SimOptions& o, std::string_view) -> Error {
             o.gpibPattern.reset();
             return std::nullopt;
         }},
        {"--gpib-board", "B", "GPIB board number (default 0)",
         [](SimOptions& o, std::string_view v) { return integerInto(o.gpibBoard, v, 0, 7, "--gpib-board"); }},
        {"--gpib-address", "A", "primary GPIB address of the unit (default 6)",
         [](SimOptions& o, std::string_view v) {
             return integerInto(o.gpibAddress, v, 1, 30, "--gpib-address");
         }},
        {"--record", "FILE", "write the record of what was received (JSON) to FILE",
         [](SimOptions& o, std::string_view v) -> Error {
             o.recordPath = QString::fromUtf8(v.data(), static_cast<qsizetype>(v.size()));
             return std::nullopt;
         }},
        {"--flash", "FILE", "write the flash image (Intel HEX) to FILE at every EXIT and at shutdown",
         [](SimOptions& o, std::string_view v) -> Error {
             o.flashPath = QString::fromUtf8(v.data(), static_cast<qsizetype>(v.size()));
             return std::nullopt;
         }},
        {"--time-scale", "X", "multiply the unit's own delays by X (default 1)",
         [](SimOptions& o, std::string_view v) -> Error {
             const auto value = number<double>(v);
             if (!value || !(*value > 0.0) || *value > 1000.0) return "--time-scale must be a number above 0";
             o.unit.timeScale = *value;
             return std::nullopt;
         }},
        {"--maker", "TEXT", "maker in the identification (default ORVEX)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.maker, v); }},
        {"--family", "TEXT", "family code (default ZRA)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.family, v); }},
        {"--model", "TEXT", "model (default 12-34)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.model, v); }},
        {"--date", "TEXT", "calibration date (default 01/01/2010)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.calibrationDate, v); }},
        {"--serial-number", "TEXT", "serial number (default A123)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.serialNumber, v); }},
        {"--revision", "TEXT", "firmware revision before the update (default V8.10)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.identity.revision, v); }},
        {"--new-revision", "TEXT", "revision after a complete image and EXIT (default V8.20)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.newRevision, v); }},
        {"--boot-revision", "TEXT",
         "revision reported after every EXIT from programming mode, programmed or not (boot code that names "
         "its own)",
         [](SimOptions& o, std::string_view v) {
             o.unit.bootRevision.emplace();
             return bytesInto(*o.unit.bootRevision, v);
         }},
        {"--idn-reply", "TEXT", "the whole identification reply instead of the fields",
         [](SimOptions& o, std::string_view v) -> Error {
             std::string text;
             if (auto error = bytesInto(text, v)) return error;
             o.unit.identifyReply = std::move(text);
             return std::nullopt;
         }},
        {"--idn-length", "N", "pad the identification reply to N bytes with a seventh field",
         [](SimOptions& o, std::string_view v) -> Error {
             int length = 0;
             if (auto error = integerInto(length, v, 0, 65536, "--idn-length")) return error;
             o.unit.identifyLength = static_cast<std::size_t>(length);
             return std::nullopt;
         }},
        {"--password", "TEXT", "password the unit expects (default MORVANTE)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.password, v); }},
        {"--lock", "POLICY", "LAN lock requests: grant (default), deny or silent",
         [](SimOptions& o, std::string_view v) -> Error {
             if (v == "grant")
                 o.unit.lock = LockPolicy::grant;
             else if (v == "deny")
                 o.unit.lock = LockPolicy::deny;
             else if (v == "silent")
                 o.unit.lock = LockPolicy::silent;
             else
                 return "--lock must be grant, deny or silent";
             return std::nullopt;
         }},
        {"--lock-reply", "TEXT", "text of a granted lock (default <LOCK GRANTED>\\r\\n)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.lockGrantedReply, v); }},
        {"--prg-reply", "TEXT", "reply to DIAG:PRG (default READY\\r\\n)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.programmingReply, v); }},
        {"--erase-reply", "TEXT", "reply to ERASE (default 0\\r\\n; \\n alone is an empty reply)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.eraseReply, v); }},
        {"--erase-ms", "MS", "time the erase takes before its reply (default 100)",
         [](SimOptions& o, std::string_view v) {
             return millisecondsInto(o.unit.eraseTime, v, "--erase-ms");
         }},
        {"--test-reply", "TEXT", "reply to a code test line (default PASS\\r\\n)",
         [](SimOptions& o, std::string_view v) { return bytesInto(o.unit.codeTestReply, v); }},
        {"--ack-without-line-end", nullptr, "LAN record acknowledgments without CR LF (OK, ERR)",
         [](SimOptions& o, std::string_view) -> Error {
             o.unit.lanAckLineEnd = false;
             return std::nullopt;
         }},
        {"--silent", "KIND[@N]",
         "no reply of KIND, always or only its N-th time (KIND:once = @1); repeatable", silence},
        {"--no-ack", "N", "no acknowledgment for the N-th record (same as --silent record@N); repeatable",
         [](SimOptions& o, std::string_view v) { return silence(o, "record@" + std::string(v)); }},
        {"--delay", "KIND=MS", "delay replies of KIND (or all) by MS; repeatable", delay},
        {"--split", "KIND[@BYTES]", "send replies of KIND in two writes, split at BYTES (default: middle)",
         split},
        {"--nul", "KIND[@BYTES]",
         "put a NUL byte into replies of KIND after BYTES (default: before the line end)", nul},
        {"--nak", "N", "refuse the N-th record whatever it holds (NAK where the bus answers); repeatable",
         [](SimOptions& o, std::string_view v) -> Error {
             int record = 0;
             if (auto error = integerInto(record, v, 1, 1'000'000'000, "--nak")) return error;
             o.unit.nakRecords.push_back(record);
             return std::nullopt;
         }},
        {"--split-gap-ms", "MS", "pause between the two parts of a split reply (default 20, not scaled)",
         [](SimOptions& o, std::string_view v) {
             return millisecondsInto(o.unit.splitGap, v, "--split-gap-ms");
         }},
        {"--drop-after", "N", "the link drops once the N-th record is acknowledged",
         [](SimOptions& o, std::string_view v) -> Error {
             int records = 0;
             if (auto error = integerInto(records, v, 1, 1'000'000'000, "--drop-after")) return error;
             o.unit.dropAfterRecords = records;
             return std::nullopt;
         }},
        {"--serial-drop", "MODE",
         "how the serial link drops: silent (default, stops answering), close (the pty goes away) or\n"
         "                             reset (below)",
         [](SimOptions& o, std::string_view v) -> Error {
             if (v == "silent")
                 o.unit.serialDrop = SerialDrop::silent;
             else if (v == "close")
                 o.unit.serialDrop = SerialDrop::closePort;
             else if (v == "reset")
                 o.unit.serialDrop = SerialDrop::adapterReset;
             else
                 return "--serial-drop must be silent, close or reset";
             return std::nullopt;
         }},
        {"--lan-drop", "MODE", "how the LAN link drops: close (default) or reset (the peer gets a reset)",
         [](SimOptions& o, std::string_view v) {
             return choiceInto(o.unit.lanDrop, v, {{"close", LanDrop::close}, {"reset", LanDrop::reset}},
                               "--lan-drop must be close or reset");
         }},
        {"--gpib-drop", "MODE",
         "how the GPIB link drops: silent (default, no listener) or vanish (the board's socket goes away)",
         [](SimOptions& o, std::string_view v) {
             return choiceInto(o.unit.gpibDrop, v,
                               {{"silent", GpibDrop::silent}, {"vanish", GpibDrop::vanish}},
                               "--gpib-drop must be silent or vanish");
         }},
    };
    return table;
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args,
                           std::optional<std::string> gpibFromEnvironment) {
    SimOptions options;
    options.gpibPattern = std::move(gpibFromEnvironment);
    const auto& table = optionTable();
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") return {std::nullopt, {}, true};
        std::optional<std::string_view> inlineValue;
        if (const auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
            inlineValue = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        const auto option =
            std::find_if(table.begin(), table.end(), [&](const OptionEntry& s) { return arg == s.name; });
        if (option == table.end()) return {std::nullopt, "unknown option " + std::string(arg)};
        std::string_view value;
        if (option->value) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return {std::nullopt, std::string(option->name) + " needs a value " + option->value};
            }
        } else if (inlineValue) {
            return {std::nullopt, std::string(option->name) + " takes no value"};
        }
        if (auto error = option->apply(options, value)) return {std::nullopt, *error};
    }
    if (options.gpibPattern && options.gpibPattern->empty()) options.gpibPattern.reset();
    if (!options.serialDirectory && !options.lanAddress && !options.gpibPattern) {
        return {std::nullopt, "no endpoint: give --serial-dir, --lan or --gpib"};
    }
    return {std::move(options), {}};
}

std::string usageText() {
    std::string text =
        "usage: orvex-unit-sim [options]            emulate one unit on the buses given\n"
        "       orvex-unit-sim verify FLASH HEX     exit 0 when FLASH holds exactly the data of HEX\n"
        "       orvex-unit-sim make-hex --records N --out FILE [--data-bytes B] [--base ADDR]\n"
        "                      [--line-end crlf|lf] [--test-lines K] [--seed S]\n"
        "options:\n";
    for (const auto& option : optionTable()) {
        std::string left =
            std::string("  ") + option.name + (option.value ? std::string(" ") + option.value : "");
        if (left.size() < 28) left.append(28 - left.size(), ' ');
        text += left + " " + option.help + "\n";
    }
    text +=
        "KIND is one of lock, idn, stat, prg, erase, record, test (records count from 1 since start-up).\n"
        "TEXT may hold \\r \\n \\t \\\\ and \\xNN.\n"
        "--serial-drop reset: the RS-232 adapter resets; its pty goes away, about 100 ms later a new pty\n"
        "takes the COM link (the link is replaced) and the unit carries on: it keeps its flash and its\n"
        "programming mode and takes records again.\n"
        "Prints one line \"ready serial=PATH lan=ADDRESS:PORT gpib=PATH\" once every endpoint listens;\n"
        "SIGTERM or SIGINT writes the files, removes the link and the socket and exits 0.\n"
        "Exit codes: 2 bad command line, 3 an endpoint could not be opened.\n";
    return text;
}

}  // namespace orvex::sim
