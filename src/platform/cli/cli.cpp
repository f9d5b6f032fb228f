#include "cli.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <QtGlobal>

#include <charconv>

namespace cli {
namespace {

constexpr char kProgramName[] = "orvex-uploader";
constexpr char kHeadlessPlatform[] = "offscreen";

QCommandLineOption hidden(QCommandLineOption option) {
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

// The whole text as a number, whatever the user's locale says.
template <typename Number>
std::optional<Number> number(const QString& text) {
    const std::string bytes = text.toStdString();
    Number value{};
    const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
    if (error != std::errc() || end != bytes.data() + bytes.size()) return std::nullopt;
    return value;
}

std::optional<double> positive_number(const QString& text) {
    const auto value = number<double>(text);
    if (!value || !(*value > 0.0)) return std::nullopt;
    return value;
}

Options usage_error(const QString& text) {
    Options options;
    options.mode = Mode::UsageError;
    options.text = text.toStdString();
    return options;
}

}  // namespace

Options Parse(int argc, char** argv, const char* version, const char* epilogue) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Loads an Intel HEX firmware file into a unit of the Orvex family over RS-232, GPIB or LAN.\n"
        "Without options it opens its window; --batch updates one unit without one, --identify only\n"
        "tells which unit answers there, --history shows the update record.");
    const QCommandLineOption batch("batch", "Update the unit at RESOURCE with FILE, without a window.");
    const QCommandLineOption identify(
        "identify",
        "Identify the unit at RESOURCE (model, serial number, revision, whether it would be "
        "updated) without a window, sending it nothing but its identification query.");
    const QCommandLineOption json(
        "json", "Batch and identify: print the result as one JSON object; history: the record's lines.");
    const QCommandLineOption record(
        "record", "Append the update record to PATH instead of the default; history: read it there.", "PATH");
    const QCommandLineOption password_file(
        "password-file", "Batch: the unit's password is the first line of PATH (else $ORVEX_PASSWORD).",
        "PATH");
    const QCommandLineOption retries(
        "retries",
        QStringLiteral("Batch: run the update again, up to N more times (0 to %1, "
                       "default 0), when the unit was not reached or the run "
                       "failed after the erase.")
            .arg(kMaxRetries),
        "N");
    const QCommandLineOption retry_pause(
        "retry-pause",
        QStringLiteral("Batch: wait S seconds before each such run again (default %1; decimals allowed).")
            .arg(kDefaultRetryPause_s),
        "S");
    const QCommandLineOption history(
        "history",
        "Print the update record, newest run first, one line each; with a SERIAL number or a RESOURCE "
        "only that unit's runs.");
    const QCommandLineOption list_ports("list-ports", "List the serial ports and the COMn names they go by.");
    const QCommandLineOption time_scale = hidden(QCommandLineOption("time-scale", "tests only", "X"));
    parser.addOptions({batch, identify, history, json, record, password_file, retries, retry_pause,
                       list_ports, time_scale});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version_option = parser.addVersionOption();
    parser.addPositionalArgument(
        "RESOURCE", "Batch, identify and history: the unit, e.g. ASRL1::INSTR or GPIB0::6::INSTR.");
    parser.addPositionalArgument("FILE", "Batch: the Intel HEX file.");

    if (!parser.parse(arguments)) return usage_error(parser.errorText());

    Options options;
    if (parser.isSet(help)) {
        options.mode = Mode::Help;
        options.text = (parser.helpText().replace(QLatin1String("<executable_name>"), kProgramName) +
                        QLatin1Char('\n') + QString::fromUtf8(epilogue))
                           .toStdString();
        return options;
    }
    if (parser.isSet(version_option)) {
        options.mode = Mode::Version;
        options.text = std::string(kProgramName) + ' ' + version;
        return options;
    }
    options.json = parser.isSet(json);
    if (parser.isSet(record)) options.record_path = parser.value(record).toStdString();
    if (parser.isSet(password_file)) options.password_file = parser.value(password_file).toStdString();
    if (parser.isSet(time_scale)) {
        options.time_scale = positive_number(parser.value(time_scale));
        if (!options.time_scale) return usage_error("--time-scale wants a number above 0");
    }

    const bool retrying = parser.isSet(retries) || parser.isSet(retry_pause);
    if (parser.isSet(retries)) {
        const auto count = number<int>(parser.value(retries));
        if (!count || *count < 0 || *count > kMaxRetries)
            return usage_error(QStringLiteral("--retries wants a number from 0 to %1").arg(kMaxRetries));
        options.retries = *count;
    }
    if (parser.isSet(retry_pause)) {
        const auto pause = number<double>(parser.value(retry_pause));
        if (!pause || !(*pause >= 0.0) || *pause > kMaxRetryPause_s)
            return usage_error(
                QStringLiteral("--retry-pause wants seconds from 0 to %1").arg(kMaxRetryPause_s));
        options.retry_pause_s = *pause;
    }

    const QStringList positional = parser.positionalArguments();
    if (parser.isSet(list_ports)) {
        if (parser.isSet(batch) || parser.isSet(identify) || parser.isSet(history) || !positional.isEmpty())
            return usage_error("--list-ports takes nothing else");
        options.mode = Mode::ListPorts;
        return options;
    }
    if (parser.isSet(history)) {
        if (parser.isSet(batch) || parser.isSet(identify))
            return usage_error("--history excludes --batch and --identify");
        if (positional.size() > 1)
            return usage_error("--history takes one SERIAL number or RESOURCE at most");
        if (options.password_file || retrying)
            return usage_error("--password-file, --retries and --retry-pause go with --batch");
        options.mode = Mode::History;
        if (!positional.isEmpty()) options.unit = positional.at(0).toStdString();
        return options;
    }
    if (retrying && !parser.isSet(batch)) return usage_error("--retries and --retry-pause go with --batch");
    if (parser.isSet(identify)) {
        if (parser.isSet(batch)) return usage_error("--identify and --batch exclude each other");
        if (positional.size() != 1) return usage_error("--identify wants a RESOURCE");
        if (options.record_path || options.password_file)
            return usage_error("--record and --password-file go with --batch");
        options.mode = Mode::Identify;
        options.resource = positional.at(0).toStdString();
        return options;
    }
    if (parser.isSet(batch)) {
        if (positional.size() != 2) return usage_error("--batch wants a RESOURCE and a FILE");
        options.mode = Mode::Batch;
        options.resource = positional.at(0).toStdString();
        options.file = positional.at(1).toStdString();
        return options;
    }
    if (!positional.isEmpty()) return usage_error("RESOURCE and FILE go with --batch");
    if (options.json) return usage_error("--json goes with --batch, --identify or --history");
    if (options.password_file) return usage_error("--password-file goes with --batch");
    return options;
}

namespace {

QtMessageHandler g_qt_default = nullptr;

// Qt's notes about the platform that draws nowhere (no XDG_RUNTIME_DIR under
// cron, window hints it ignores) are no concern of a run without a window,
// whose stderr a production line reads: only Qt's critical and fatal messages
// pass.
void KeepOnlyQtErrors(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg) return;
    g_qt_default(type, context, text);
}

}  // namespace

void UseHeadlessPlatform() {
    qputenv("QT_QPA_PLATFORM", kHeadlessPlatform);
    g_qt_default = qInstallMessageHandler(KeepOnlyQtErrors);
}

}  // namespace cli
