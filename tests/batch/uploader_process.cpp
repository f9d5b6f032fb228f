#include "uploader_process.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <csignal>

namespace orvex::test {
namespace {

constexpr std::chrono::milliseconds kPoll{20};

QString uploaderPath() { return QStringLiteral(ORVEX_UPLOADER_PATH); }

// The signals a process catches, from the kernel's view of it.
quint64 caught_signals(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("SigCgt:")) return line.mid(7).trimmed().toULongLong(nullptr, 16);
    return 0;
}

}  // namespace

QProcessEnvironment Uploader::environment(const SimProcess& sim, const QString& state_home) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ORVEX_SERIAL_DIR", sim.serialDir());
    environment.insert("ORVEX_GPIB_SIM", sim.gpibPattern());
    environment.insert("ORVEX_GPIB_TIME_SCALE", QString::number(kTimeScale));
    environment.insert("XDG_STATE_HOME", state_home);
    // Batch mode must need no display at all.
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("ORVEX_PASSWORD");
    return environment;
}

QStringList Uploader::batch(const QString& resource, const QString& file, const QStringList& extra) {
    return QStringList{"--batch", resource, file, "--time-scale", QString::number(kTimeScale)} + extra;
}

void Uploader::start(const QStringList& arguments, const QProcessEnvironment& environment) {
    process_ = std::make_unique<QProcess>();
    process_->setProcessEnvironment(environment);
    process_->start(uploaderPath(), arguments);
    process_->waitForStarted(static_cast<int>(kRunLimit.count()));
}

bool Uploader::waitForSignalHandler(int signal_number) const {
    const quint64 bit = quint64{1} << (signal_number - 1);
    QDeadlineTimer deadline(kRunLimit);
    while (!deadline.hasExpired() && process_->state() == QProcess::Running) {
        if ((caught_signals(pid()) & bit) != 0) return true;
        QThread::msleep(static_cast<unsigned long>(kPoll.count()));
    }
    return false;
}

bool Uploader::waitForStderr(const QByteArray& text) {
    QDeadlineTimer deadline(kRunLimit);
    while (!deadline.hasExpired()) {
        err_ += process_->readAllStandardError();
        if (err_.contains(text)) return true;
        if (process_->state() != QProcess::Running) return false;
        process_->waitForReadyRead(static_cast<int>(kPoll.count()));
    }
    return false;
}

void Uploader::signal(int signal_number) const { ::kill(static_cast<pid_t>(pid()), signal_number); }

Finished Uploader::finish() {
    Finished result;
    result.finished = process_->waitForFinished(static_cast<int>(kRunLimit.count()));
    if (!result.finished) {
        process_->kill();
        process_->waitForFinished();
    }
    result.crashed = process_->exitStatus() == QProcess::CrashExit;
    result.exit_code = process_->exitCode();
    result.out = process_->readAllStandardOutput();
    result.err = err_ + process_->readAllStandardError();
    return result;
}

Finished Uploader::run(const QStringList& arguments, const QProcessEnvironment& environment) {
    Uploader uploader;
    uploader.start(arguments, environment);
    return uploader.finish();
}

QString resource_for(const SimProcess& sim, const QString& bus) {
    if (bus == "serial") return QStringLiteral("ASRL%1::INSTR").arg(sim.comNumber());
    if (bus == "device") return QStringLiteral("ASRL%1::INSTR").arg(sim.serialPath());
    if (bus == "gpib") return QStringLiteral("GPIB0::6::INSTR");
    if (bus == "lan") return QStringLiteral("TCPIP0::%1::5025::SOCKET").arg(sim.lanAddress());
    if (bus == "lan-short") return QStringLiteral("TCPIP::%1::SOCKET").arg(sim.lanAddress());
    return QStringLiteral("ASRL9::INSTR");
}

QStringList heard(const SimProcess& sim) {
    QStringList commands;
    const QJsonObject transports = sim.record()["transports"].toObject();
    for (const QString& link : transports.keys())
        commands += transports[link].toObject()["commands"].toVariant().toStringList();
    return commands;
}

QJsonObject last_json_line(const QByteArray& text) {
    const QList<QByteArray> lines = text.trimmed().split('\n');
    return QJsonDocument::fromJson(lines.last()).object();
}

QList<QByteArray> record_lines(const QString& state_home) {
    QFile file(state_home + "/orvex-uploader/updates.jsonl");
    if (!file.open(QIODevice::ReadOnly)) return {};
    QList<QByteArray> lines = file.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

}  // namespace orvex::test
