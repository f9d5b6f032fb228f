#include "sim_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

#include <unistd.h>

namespace orvex::test {
namespace {

constexpr int kLanAttempts = 16;
constexpr int kLoopbackHosts = 250;  // 127.0.0.2 .. 127.0.0.251
constexpr int kEndpointFailedExit = 3;
constexpr std::chrono::milliseconds kRecordPollInterval{20};
constexpr std::chrono::milliseconds kToolLimit{30000};

QString simulatorPath() { return QStringLiteral(ORVEX_UNIT_SIM_PATH); }

// A different address per process and attempt, so parallel tests rarely meet.
QString loopbackCandidate(int attempt) {
    const int host =
        2 + static_cast<int>((static_cast<long>(::getpid()) * 31 + attempt * 7) % kLoopbackHosts);
    return QStringLiteral("127.0.0.%1").arg(host);
}

}  // namespace

SimProcess::SimProcess() = default;

SimProcess::~SimProcess() { stop(); }

QString SimProcess::binaryPath() { return simulatorPath(); }

QString SimProcess::tempDir() const { return dir_ ? dir_->path() : QString(); }
QString SimProcess::serialDir() const { return tempDir() + "/ports"; }
QString SimProcess::gpibPattern() const { return tempDir() + "/gpib%d.sock"; }
QString SimProcess::recordPath() const { return tempDir() + "/record.json"; }
QString SimProcess::flashPath() const { return tempDir() + "/flash.hex"; }

bool SimProcess::start(const QStringList& extraArgs) {
    stop();
    error_.clear();
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/orvex-sim-XXXXXX");
    if (!dir_->isValid()) {
        error_ = "cannot create a temporary directory: " + dir_->errorString();
        return false;
    }
    if (const auto at = extraArgs.indexOf("--com"); at >= 0 && at + 1 < extraArgs.size()) {
        comNumber_ = extraArgs.at(at + 1).toInt();
    }
    const QStringList base = {"--serial-dir", serialDir(),  "--gpib",  gpibPattern(),
                              "--record",     recordPath(), "--flash", flashPath()};
    if (extraArgs.contains("--lan")) return launch(base + extraArgs);
    for (int attempt = 0; attempt < kLanAttempts; ++attempt) {
        if (launch(base + QStringList{"--lan", loopbackCandidate(attempt)} + extraArgs)) return true;
        // Only a taken address is worth another try.
        if (!error_.contains("cannot listen on 127.")) return false;
    }
    return false;
}

bool SimProcess::launch(const QStringList& args) {
    process_ = std::make_unique<QProcess>();
    process_->setProgram(simulatorPath());
    process_->setArguments(args);
    process_->start();
    if (!process_->waitForStarted(static_cast<int>(kReadyLimit.count()))) {
        error_ = "cannot start " + simulatorPath() + ": " + process_->errorString();
        return false;
    }
    QDeadlineTimer deadline(kReadyLimit);
    while (!deadline.hasExpired()) {
        while (process_->canReadLine()) {
            const QString line = QString::fromUtf8(process_->readLine()).trimmed();
            if (line.startsWith("ready")) return parseReadyLine(line);
        }
        if (process_->state() == QProcess::NotRunning) break;
        process_->waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
    }
    if (process_->state() != QProcess::NotRunning) {
        process_->kill();
        process_->waitForFinished(static_cast<int>(kStopLimit.count()));
        error_ = "the simulator gave no ready line in time";
    } else {
        error_ = QStringLiteral("the simulator exited with %1: ").arg(process_->exitCode()) +
                 QString::fromUtf8(process_->readAllStandardError()).trimmed();
        if (process_->exitCode() != kEndpointFailedExit) error_ += " (not an endpoint failure)";
    }
    process_.reset();
    return false;
}

bool SimProcess::parseReadyLine(const QString& line) {
    readyLine_ = line;
    for (const QString& part : line.split(' ', Qt::SkipEmptyParts)) {
        if (part.startsWith("serial=")) serialPath_ = part.mid(7);
        if (part.startsWith("gpib=")) gpibSocketPath_ = part.mid(5);
        if (part.startsWith("lan=")) {
            const QString endpoint = part.mid(4);
            const auto colon = endpoint.lastIndexOf(':');
            lanAddress_ = endpoint.left(colon);
            lanPort_ = static_cast<quint16>(endpoint.mid(colon + 1).toUInt());
        }
    }
    return true;
}

bool SimProcess::stop() {
    if (!process_) return true;
    bool clean = true;
    if (process_->state() != QProcess::NotRunning) {
        process_->terminate();
        if (!process_->waitForFinished(static_cast<int>(kStopLimit.count()))) {
            process_->kill();
            process_->waitForFinished(static_cast<int>(kStopLimit.count()));
            clean = false;
        }
    }
    clean = clean && process_->exitStatus() == QProcess::NormalExit && process_->exitCode() == 0;
    if (!clean) {
        error_ = QStringLiteral("the simulator did not stop cleanly (exit %1): ").arg(process_->exitCode()) +
                 QString::fromUtf8(process_->readAllStandardError()).trimmed();
    }
    process_.reset();
    return clean;
}

bool SimProcess::isRunning() const { return process_ && process_->state() != QProcess::NotRunning; }

void SimProcess::exportEnvironment() const {
    qputenv("ORVEX_SERIAL_DIR", serialDir().toLocal8Bit());
    qputenv("ORVEX_GPIB_SIM", gpibPattern().toLocal8Bit());
}

QJsonObject SimProcess::record() const {
    QFile file(recordPath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool SimProcess::waitForRecord(const std::function<bool(const QJsonObject&)>& condition,
                               std::chrono::milliseconds limit) const {
    QDeadlineTimer deadline(limit);
    while (true) {
        if (condition(record())) return true;
        if (deadline.hasExpired()) return false;
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
        QThread::msleep(static_cast<unsigned long>(kRecordPollInterval.count()));
    }
}

bool SimProcess::verifyFlash(const QString& hexPath, QString* message) const {
    QProcess verify;
    verify.start(simulatorPath(), {"verify", flashPath(), hexPath});
    const bool finished = verify.waitForFinished(static_cast<int>(kToolLimit.count()));
    if (message) {
        *message =
            QString::fromUtf8(verify.readAllStandardOutput() + verify.readAllStandardError()).trimmed();
    }
    return finished && verify.exitStatus() == QProcess::NormalExit && verify.exitCode() == 0;
}

QString SimProcess::makeHex(const QString& outPath, int records, const QStringList& extraArgs) {
    QProcess make;
    make.start(simulatorPath(),
               QStringList{"make-hex", "--records", QString::number(records), "--out", outPath} + extraArgs);
    const bool ok = make.waitForFinished(static_cast<int>(kToolLimit.count())) &&
                    make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0;
    return ok ? outPath : QString();
}

}  // namespace orvex::test
