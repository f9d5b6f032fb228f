// What every end-to-end, batch, signal and soak test shares: the simulated
// unit as a separate process, the program as a process, the environment they read.
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace orvex::test {

// Generous limits: a loaded 2-core machine, sanitizer builds included.
inline constexpr std::chrono::milliseconds kRecordLimit{30000};
inline constexpr std::chrono::milliseconds kRunLimit{120000};

enum class Bus { Rs232, Lan, Gpib };
inline constexpr Bus kBuses[] = {Bus::Rs232, Bus::Lan, Bus::Gpib};
const char* bus_name(Bus bus);  // "RS-232", "LAN", "GPIB"
const char* link_of(Bus bus);   // as the unit's record names the link: "serial", "lan", "gpib"

// Variables of this process set for a while: each is given back its old value.
class Env {
public:
    Env() = default;
    ~Env();
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;
    void set(const char* name, const QString& value);

private:
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

// The unit simulator on a pty linked as COM1, a loopback address of its own and
// the stand-in GPIB driver's socket, at `scale` (1.0: real time) as the program;
// started, it exports ORVEX_SERIAL_DIR, ORVEX_GPIB_SIM and ORVEX_GPIB_TIME_SCALE.
class Unit {
public:
    explicit Unit(double scale = 0.05);
    ~Unit();
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    // A fresh unit with the simulator's options `args`, the one before stopped;
    // false with error() when it did not come up.
    bool start(const QStringList& args = {});
    // SIGTERM, the record and flash final; false unless it exits cleanly (sanitizer findings included).
    bool stop();
    QString error() const { return error_; }
    double scale() const { return scale_; }

    QString serial_dir() const;
    QString serial_path() const { return serial_path_; }  // the COM1 link
    int com() const { return 1; }
    QString lan_address() const { return lan_address_; }
    quint16 lan_port() const { return lan_port_; }
    QString gpib_pattern() const;  // "%d" stands for the board
    QString gpib_socket() const { return gpib_socket_; }
    // The resource that names this unit on `bus`, as batch mode takes it.
    QString resource(Bus bus) const;

    // The unit's record as last written (every EXIT, soon after any change, at stop()).
    QJsonObject record() const;
    bool wait_for(const std::function<bool(const QJsonObject&)>& condition,
                  std::chrono::milliseconds limit = kRecordLimit) const;
    QJsonObject link(Bus bus) const;     // what the unit logged of one bus
    QStringList heard(Bus bus) const;    // its commands: every line that is no record
    QStringList heard_anywhere() const;  // on every bus
    // The flash written at the last EXIT (or stop()) holds exactly the file's data; `verdict`: why not.
    bool expect_flash(const QString& hex, QString* verdict = nullptr) const;
    // Nothing at all reached the unit: no command, port opening, connection or GPIB call.
    QString touches() const;

    // A HEX file of `records` 16-byte records (see "make-hex" options); empty on failure.
    static QString make_hex(const QString& path, int records, const QStringList& args = {});

private:
    bool launch(const QStringList& args);
    QString file(const char* name) const;

    double scale_;
    Env env_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QProcess> process_;
    QString error_, serial_path_, lan_address_, gpib_socket_;
    quint16 lan_port_ = 0;
};

// The folder of a test program that runs the program as a process: its files,
// and a state home of its own for each case.
struct Workbench {
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QString home(const QString& name) const { return dir.filePath("state-" + name); }
    // "refused.hex", which the whole-file check refuses: line 2 stores checksum 0xDF, its bytes give 0xDE.
    QString refused_file() const;
};

// How a run of the program as a process ended.
struct Finished {
    bool finished = false;
    bool crashed = false;  // ended by a signal
    int exit_code = -1;
    QByteArray out, err;
    QJsonObject json() const;  // the JSON object on stdout's last line
};

// orvex-uploader as a process, as a production line runs it: no display, the
// unit reached on every bus, records kept under `state_home`.
class Program {
public:
    Program(const Unit& unit, const QString& state_home);
    ~Program();
    QProcessEnvironment env;

    // --batch RESOURCE FILE at the unit's time scale, with `extra` options.
    QStringList batch(const QString& resource, const QString& file, const QStringList& extra = {}) const;
    QStringList identify(const QString& resource, const QStringList& extra = {}) const;

    Finished run(const QStringList& arguments);
    void start(const QStringList& arguments);
    // Until the process catches `signal_number`; false when it ended first or the limit passed.
    bool wait_for_signal_handler(int signal_number) const;
    bool wait_for_stderr(const QByteArray& text);
    void signal(int signal_number) const;
    Finished finish();

    // The update record's lines, each parsed.
    QList<QJsonObject> records() const;

private:
    double scale_;
    QString state_home_;
    std::unique_ptr<QProcess> process_;
    QByteArray err_;
};

// What one bus shows for a fault: the Messages field, the record's outcome, the last step the unit
// heard, and a part of the detail line (for a driver's error the whole; "" for an empty one).
struct Cell {
    const char *message, *outcome, *step, *detail;
};

// How the bench differs from a healthy one, besides the unit's own faults: `setting` typed as the
// password; COM1 naming no device, a device that is not there, a file not even root may open as a
// terminal, or held by another program; another client holding the unit's lock; nothing listening at the
// address typed; GPIB3, which does not exist; GPIB address 7, where nobody listens; the stand-in reaching
// no simulator; its first call failing as `setting` says ("EDVR,2"), with IB_CONFIG naming
// /opt/bench/gpib.conf or not.
enum class Setup {
    None,
    Password,
    NoPort,
    PortGone,
    PortForbidden,
    PortBusy,
    LockHeld,
    NoListener,
    OtherBoard,
    OtherAddress,
    NoBoardSocket,
    DriverFails,
    IbConfig
};

// One fault, one row: the unit's options, the bench, and per bus what it shows
// (no cell: the fault does not exist on that bus).
struct FaultRow {
    const char* name;
    QStringList unit;
    std::optional<Cell> rs232, lan, gpib;
    bool stays = false;  // the fault stays with the unit: the good run after it meets a fresh one
    Setup setup = Setup::None;
    const char* setting = "";
    const std::optional<Cell>& on(Bus bus) const {
        return bus == Bus::Rs232 ? rs232 : bus == Bus::Lan ? lan : gpib;
    }
};

}  // namespace orvex::test
