// Runs orvex-uploader as a separate process against a simulated unit, the way
// a production line script or a service manager does.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

#include "sim_process.h"

namespace orvex::test {

// A whole batch run on a loaded machine, sanitizers included, stays well within this.
constexpr std::chrono::milliseconds kRunLimit{120000};
constexpr double kTimeScale = 0.05;

struct Finished {
    bool finished = false;
    bool crashed = false;  // ended by a signal
    int exit_code = -1;
    QByteArray out;
    QByteArray err;
};

class Uploader {
public:
    // The environment that reaches `sim` on all three buses, with records
    // kept under `state_home`.
    static QProcessEnvironment environment(const SimProcess& sim, const QString& state_home);
    // --batch RESOURCE FILE at the test time scale, with `extra` options.
    static QStringList batch(const QString& resource, const QString& file, const QStringList& extra = {});

    void start(const QStringList& arguments, const QProcessEnvironment& environment);
    qint64 pid() const { return process_ ? process_->processId() : 0; }
    // Waits until the process has a handler for `signal_number` (it is ready
    // for stop signals) or ends; false when it ended first or the limit passed.
    bool waitForSignalHandler(int signal_number) const;
    // Waits until stderr holds `text`.
    bool waitForStderr(const QByteArray& text);
    void signal(int signal_number) const;
    Finished finish();

    static Finished run(const QStringList& arguments, const QProcessEnvironment& environment);

private:
    std::unique_ptr<QProcess> process_;
    QByteArray err_;
};

// The resource that reaches `sim` on `bus`: "serial" (ASRL<n>), "device"
// (ASRL<path>), "gpib", "lan", "lan-short" (TCPIP::...); anything else names a
// COM port with nothing behind it.
QString resource_for(const SimProcess& sim, const QString& bus);
// Every line the unit heard on any bus that is not a record.
QStringList heard(const SimProcess& sim);

// The JSON object on the last line of `text`; empty when it is not one.
QJsonObject last_json_line(const QByteArray& text);
// Every line of the record file under `state_home`.
QList<QByteArray> record_lines(const QString& state_home);

}  // namespace orvex::test
