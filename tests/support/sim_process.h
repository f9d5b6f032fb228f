// Runs orvex-unit-sim as a separate process for a test: a fresh temporary
// directory, the serial link "COM1" in its own directory, the GPIB socket
// beside it, a LAN address of its own on loopback, and the record and flash
// files a test checks afterwards.
//
//   orvex::test::SimProcess sim;
//   QVERIFY2(sim.start({"--time-scale", "0.01"}), qPrintable(sim.errorString()));
//   sim.exportEnvironment();            // ORVEX_SERIAL_DIR, ORVEX_GPIB_SIM for in-process code
//   ... run the uploader against COM<sim.comNumber()>, sim.lanAddress(), board 0 address 6 ...
//   sim.stop();                          // SIGTERM: the simulator writes its files and exits
//   QCOMPARE(sim.record()["revision"].toString(), "V8.20");
//   QVERIFY(sim.verifyFlash(hexPath));
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>

namespace orvex::test {

class SimProcess {
public:
    // Start-up of a debug build under sanitizers on a loaded machine can be slow.
    static constexpr std::chrono::milliseconds kReadyLimit{30000};
    static constexpr std::chrono::milliseconds kStopLimit{10000};

    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator on serial, LAN and GPIB with `extraArgs` added (see
    // `orvex-unit-sim --help`). Without "--lan" in extraArgs a free loopback
    // address 127.0.0.N is chosen. Waits for the ready line; false with
    // errorString() when the simulator did not come up.
    bool start(const QStringList& extraArgs = {});
    // SIGTERM, then waits; the record and flash files are final afterwards.
    // True when the simulator exited by itself with 0 (or was not running): a
    // sanitizer finding inside the simulator makes this false.
    bool stop();
    bool isRunning() const;
    QString errorString() const { return error_; }
    QString readyLine() const { return readyLine_; }

    QString tempDir() const;
    QString serialDir() const;  // for ORVEX_SERIAL_DIR
    int comNumber() const { return comNumber_; }
    QString serialPath() const { return serialPath_; }  // the COMn link
    QString lanAddress() const { return lanAddress_; }
    quint16 lanPort() const { return lanPort_; }
    QString gpibPattern() const;  // for ORVEX_GPIB_SIM, "%d" = board
    QString gpibSocketPath() const { return gpibSocketPath_; }
    QString recordPath() const;
    QString flashPath() const;

    // Sets ORVEX_SERIAL_DIR and ORVEX_GPIB_SIM in this process.
    void exportEnvironment() const;

    // The record file as last written (every EXIT, shortly after any change,
    // and at stop()). Empty when it cannot be read.
    QJsonObject record() const;
    // Polls the record file until `condition` holds or `limit` passes.
    bool waitForRecord(const std::function<bool(const QJsonObject&)>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(20000)) const;

    // True when the flash image written at the last EXIT (or stop()) holds
    // exactly the data of the HEX file; `message` gets the simulator's verdict.
    bool verifyFlash(const QString& hexPath, QString* message = nullptr) const;

    static QString binaryPath();
    // Writes a deterministic HEX file of `records` data records (16 bytes each
    // unless extraArgs says "--data-bytes B"; also "--test-lines K",
    // "--line-end lf", "--base ADDR", "--seed S"). Returns outPath, or an empty
    // string on failure.
    static QString makeHex(const QString& outPath, int records, const QStringList& extraArgs = {});

private:
    bool launch(const QStringList& args);
    bool parseReadyLine(const QString& line);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QProcess> process_;
    QString error_;
    QString readyLine_;
    QString serialPath_;
    QString lanAddress_;
    quint16 lanPort_ = 0;
    QString gpibSocketPath_;
    int comNumber_ = 1;
};

}  // namespace orvex::test
