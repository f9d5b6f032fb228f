#include "fixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>
#include <unistd.h>

namespace orvex::test {
namespace {

constexpr int kLanAttempts = 16;
constexpr std::chrono::milliseconds kReadyLimit{30000};
constexpr std::chrono::milliseconds kStopLimit{10000};
constexpr std::chrono::milliseconds kPoll{20};

// One of 127.0.0.2 .. 127.0.0.251 per process and attempt, so parallel tests rarely meet.
QString loopback_candidate(int attempt) {
    return QStringLiteral("127.0.0.%1").arg(2 + (long(::getpid()) * 31 + attempt * 7) % 250);
}

// The signals a process catches, from the kernel's view of it.
quint64 caught_signals(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("SigCgt:");
    return at < 0 ? 0 : text.mid(at + 7, text.indexOf('\n', at) - at - 7).trimmed().toULongLong(nullptr, 16);
}

bool run_tool(const QStringList& args, QString* output = nullptr) {
    QProcess tool;
    tool.start(QStringLiteral(ORVEX_UNIT_SIM_PATH), args);
    const bool finished = tool.waitForFinished(int(kReadyLimit.count()));
    if (output)
        *output = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError()).trimmed();
    return finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

}  // namespace

const char* bus_name(Bus bus) { return bus == Bus::Rs232 ? "RS-232" : bus == Bus::Lan ? "LAN" : "GPIB"; }
const char* link_of(Bus bus) { return bus == Bus::Rs232 ? "serial" : bus == Bus::Lan ? "lan" : "gpib"; }

Env::~Env() {
    for (const auto& [name, value] : saved_) value ? qputenv(name, *value) : qunsetenv(name);
}

void Env::set(const char* name, const QString& value) {
    if (!saved_.contains(name))
        saved_[name] = qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    qputenv(name, value.toLocal8Bit());
}

Unit::Unit(double scale) : scale_(scale) {}
Unit::~Unit() { stop(); }

QString Unit::file(const char* name) const { return dir_ ? dir_->filePath(name) : QString(); }
QString Unit::serial_dir() const { return file("ports"); }
QString Unit::gpib_pattern() const { return file("gpib%d.sock"); }

bool Unit::start(const QStringList& args) {
    stop();
    error_.clear();
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/orvex-unit-XXXXXX");
    if (!dir_->isValid()) return error_ = "no temporary directory: " + dir_->errorString(), false;
    const QStringList base = QStringList{"--serial-dir", serial_dir(),
                                         "--gpib",       gpib_pattern(),
                                         "--record",     file("record.json"),
                                         "--flash",      file("flash.hex"),
                                         "--time-scale", QString::number(scale_, 'g', 6)} +
                             args;
    bool up = false;
    const bool own_lan = args.contains("--lan");
    for (int attempt = 0; !up && attempt < (own_lan ? 1 : kLanAttempts); ++attempt) {
        up = launch(own_lan ? base : base + QStringList{"--lan", loopback_candidate(attempt)});
        if (!up && !error_.contains("cannot listen on 127."))
            break;  // only a taken address is worth another try
    }
    if (up) {
        env_.set("ORVEX_SERIAL_DIR", serial_dir());
        env_.set("ORVEX_GPIB_SIM", gpib_pattern());
        env_.set("ORVEX_GPIB_TIME_SCALE", QString::number(scale_, 'g', 6));
    }
    return up;
}

bool Unit::launch(const QStringList& args) {
    process_ = std::make_unique<QProcess>();
    process_->start(QStringLiteral(ORVEX_UNIT_SIM_PATH), args);
    QDeadlineTimer deadline(kReadyLimit);
    while (process_->waitForStarted(int(kReadyLimit.count())) && !deadline.hasExpired()) {
        while (process_->canReadLine()) {
            const QString line = QString::fromUtf8(process_->readLine()).trimmed();
            if (!line.startsWith("ready")) continue;
            for (const QString& part : line.split(' ', Qt::SkipEmptyParts)) {
                if (part.startsWith("serial=")) serial_path_ = part.mid(7);
                if (part.startsWith("gpib=")) gpib_socket_ = part.mid(5);
                if (part.startsWith("lan=")) {
                    lan_address_ = part.mid(4).section(':', 0, 0);
                    lan_port_ = quint16(part.section(':', -1).toUInt());
                }
            }
            return true;
        }
        if (process_->state() == QProcess::NotRunning) break;
        process_->waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 1000)));
    }
    process_->kill();
    process_->waitForFinished(int(kStopLimit.count()));
    error_ = QStringLiteral("the simulator did not come up (exit %1): ").arg(process_->exitCode()) +
             QString::fromUtf8(process_->readAllStandardError()).trimmed();
    process_.reset();
    return false;
}

bool Unit::stop() {
    if (!process_) return true;
    const bool running = process_->state() != QProcess::NotRunning;
    if (running) process_->terminate();
    bool clean = !running || process_->waitForFinished(int(kStopLimit.count()));
    if (!clean) process_->kill(), process_->waitForFinished(int(kStopLimit.count()));
    clean = clean && process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
    if (!clean)
        error_ = QStringLiteral("the simulator did not stop cleanly (exit %1): ").arg(process_->exitCode()) +
                 QString::fromUtf8(process_->readAllStandardError()).trimmed();
    process_.reset();
    return clean;
}

QString Unit::resource(Bus bus) const {
    if (bus == Bus::Rs232) return QStringLiteral("ASRL%1::INSTR").arg(com());
    if (bus == Bus::Gpib) return QStringLiteral("GPIB0::6::INSTR");
    return QStringLiteral("TCPIP0::%1::5025::SOCKET").arg(lan_address_);
}

QJsonObject Unit::record() const {
    QFile record(file("record.json"));
    record.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(record.readAll()).object();
}

bool Unit::wait_for(const std::function<bool(const QJsonObject&)>& condition,
                    std::chrono::milliseconds limit) const {
    for (QDeadlineTimer deadline(limit);; QThread::msleep(kPoll.count())) {
        if (condition(record())) return true;
        if (deadline.hasExpired()) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
    }
}

QJsonObject Unit::link(Bus bus) const { return record()["transports"].toObject()[link_of(bus)].toObject(); }
QStringList Unit::heard(Bus bus) const { return link(bus)["commands"].toVariant().toStringList(); }
QStringList Unit::heard_anywhere() const { return heard(Bus::Rs232) + heard(Bus::Lan) + heard(Bus::Gpib); }

bool Unit::expect_flash(const QString& hex, QString* verdict) const {
    return run_tool({"verify", file("flash.hex"), hex}, verdict);
}

QString Unit::touches() const {
    const QJsonObject r = record();
    QStringList met;
    for (Bus bus : kBuses)
        if (!heard(bus).isEmpty() || link(bus)["records"].toInt() != 0 ||
            !link(bus)["unknown"].toArray().isEmpty())
            met << QString(link_of(bus)) + " commands";
    if (r["serialPort"].toObject()["opens"].toInt() != 0) met << "a port opening";
    if (!r["lan"].toObject()["connections"].toArray().isEmpty()) met << "a connection";
    const QJsonObject gpib = r["gpib"].toObject();
    if (gpib["clients"].toInt() != 0 || gpib["writes"].toInt() != 0 || gpib["interfaceClears"].toInt() != 0)
        met << "GPIB traffic";
    return met.join(", ");
}

QString Workbench::refused_file() const {
    QFile file(path("refused.hex"));
    const QByteArray text = ":0400000001020304F2\r\n:0400040005060708DF\r\n:00000001FF\r\n";
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() ? file.fileName() : QString();
}

QString Unit::make_hex(const QString& path, int records, const QStringList& args) {
    return run_tool(QStringList{"make-hex", "--records", QString::number(records), "--out", path} + args)
               ? path
               : QString();
}

QJsonObject Finished::json() const {
    return QJsonDocument::fromJson(out.trimmed().split('\n').last()).object();
}

Program::Program(const Unit& unit, const QString& state_home)
    : env(QProcessEnvironment::systemEnvironment()), scale_(unit.scale()), state_home_(state_home) {
    env.insert("ORVEX_SERIAL_DIR", unit.serial_dir());
    env.insert("ORVEX_GPIB_SIM", unit.gpib_pattern());
    env.insert("ORVEX_GPIB_TIME_SCALE", QString::number(scale_, 'g', 6));
    env.insert("XDG_STATE_HOME", state_home);
    // Batch mode must need no display at all.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ORVEX_PASSWORD"})
        env.remove(name);
}

Program::~Program() {
    if (process_) process_->kill(), process_->waitForFinished();
}

QStringList Program::batch(const QString& resource, const QString& file, const QStringList& extra) const {
    return QStringList{"--batch", resource, file, "--time-scale", QString::number(scale_, 'g', 6)} + extra;
}

QStringList Program::identify(const QString& resource, const QStringList& extra) const {
    return QStringList{"--identify", resource, "--time-scale", QString::number(scale_, 'g', 6)} + extra;
}

void Program::start(const QStringList& arguments) {
    err_.clear();
    process_ = std::make_unique<QProcess>();
    process_->setProcessEnvironment(env);
    process_->start(QStringLiteral(ORVEX_UPLOADER_PATH), arguments);
    process_->waitForStarted(int(kRunLimit.count()));
}

Finished Program::run(const QStringList& arguments) { return start(arguments), finish(); }

bool Program::wait_for_signal_handler(int signal_number) const {
    const quint64 bit = quint64{1} << (signal_number - 1);
    for (QDeadlineTimer deadline(kRunLimit); !deadline.hasExpired() && process_->state() == QProcess::Running;
         QThread::msleep(kPoll.count()))
        if ((caught_signals(process_->processId()) & bit) != 0) return true;
    return false;
}

bool Program::wait_for_stderr(const QByteArray& text) {
    for (QDeadlineTimer deadline(kRunLimit); !deadline.hasExpired();) {
        err_ += process_->readAllStandardError();
        if (err_.contains(text)) return true;
        if (process_->state() != QProcess::Running) return false;
        process_->waitForReadyRead(int(kPoll.count()));
    }
    return false;
}

void Program::signal(int signal_number) const { ::kill(pid_t(process_->processId()), signal_number); }

Finished Program::finish() {
    Finished result;
    result.finished = process_->waitForFinished(int(kRunLimit.count()));
    if (!result.finished) process_->kill(), process_->waitForFinished();
    result.crashed = process_->exitStatus() == QProcess::CrashExit;
    result.exit_code = process_->exitCode();
    result.out = process_->readAllStandardOutput();
    result.err = err_ + process_->readAllStandardError();
    return result;
}

QList<QJsonObject> Program::records() const {
    QFile file(state_home_ + "/orvex-uploader/updates.jsonl");
    QList<QJsonObject> lines;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty()) lines << QJsonDocument::fromJson(line).object();
    return lines;
}

}  // namespace orvex::test
