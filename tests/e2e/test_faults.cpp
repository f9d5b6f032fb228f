// The fault table through the program's own panel in this process, against the unit simulator: per
// fault and bus what the operator reads, the update record, the step the unit reached, and the
// descriptors, threads and connections given back; then a good run with an empty detail line.
// ORVEX_FAULT_BUS names one bus ("RS-232", "LAN", "GPIB"; all if unset); ORVEX_FAULT_PASSES > 1 makes it
// the soak, with the memory check.
#include <QHostAddress>
#include <QSerialPort>
#include <QtEndian>

#include <algorithm>
#include <filesystem>

#include "operator.h"
#include "peer.h"

using namespace orvex::test;

namespace {

// Every reply delayed by `ms` of the unit's own milliseconds.
QStringList slow(const char* ms) {
    QStringList args;
    for (const char* step : {"idn", "stat", "prg", "erase", "test"})
        args << "--delay" << QString("%1=%2").arg(step, ms);
    return args;
}

// What the detail line says of a unit that went silent.
const char* const kSerialSilent = "/ports/COM1) did not answer";
const char* const kLanSilent = "did not answer within 4 s";
const char* const kGpibSilent = "the unit at address 6 on GPIB0 did not answer in time (EABO)";

// clang-format off
const Cell kUpdated = {"OK TEST", "updated", "second *IDN?", ""};
const Cell kWrongModel = {"Wrong Model/Revision", "wrong-unit", "*IDN?", ""};
const Cell kUnknownUnit = {"Unknown Unit", "wrong-unit", "*IDN?", ""};
const Cell kLockDenied = {"<DENIED LOCK>\r\n", "not-reached", "lock",
                          "the unit refused the lock: another client holds it"};
const Cell kEraseRefused = {"", "failed-after-erase", "second *IDN?", "nothing was programmed; run the update again"};
const Cell kRecordRefused = {"", "unchanged", "second *IDN?", ""};
const Cell kSerialDropped = {"Unit Failed To Respond", "failed-after-erase", "records", ""};
const Cell kLanDropped = {"Data to Flash Failed", "failed-after-erase", "records", ""};
const Cell kGpibDropped = {"Unit Not Responding", "failed-after-erase", "records", ""};
const Cell kNotProgramming = {"", "not-reached", "DIAG:PRG", ""};
const Cell kSettingUp = {"Setting Up - Please Wait", "not-reached", "DIAG:PRG", ""};
const Cell kPasswordRefused = {"", "password-refused", ":syst:pass:stat?", ""};
const Cell kNoPort = {"Failed To Get Com Port", "not-reached", "", ""};
const Cell kNoUnit = {"Unit Not Responding", "not-reached", "", ""};
// clang-format on

Cell with_detail(Cell cell, const char* detail) { return cell.detail = detail, cell; }
Cell with_message(Cell cell, const char* message) { return cell.message = message, cell; }

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

// A unit silent from `at` on: RS-232 and LAN each show their own message, GPIB "Unit Not Responding";
// each names the silence in the detail line.
FaultRow silent(const char* name, const char* at, const char* serial, const char* lan, const char* outcome,
                const char* step, bool stays = false) {
    return {name,
            {"--silent", at},
            Cell{serial, outcome, step, kSerialSilent},
            Cell{lan, outcome, step, kLanSilent},
            Cell{"Unit Not Responding", outcome, step, kGpibSilent},
            stays};
}

// Every fault a unit or a bench can show, once: its name, the unit's options,
// then RS-232, LAN and GPIB. The file has 30 records and 2 code tests: faults
// on the fifth record stay well before RS-232's first re-opening while programming.
// clang-format off
const std::vector<FaultRow>& fault_table() {
    static const char* const kNoAnswer = "Unit Failed To Respond";
    static const std::vector<FaultRow> rows = {
        // Silence at each step that awaits a reply. Over RS-232 a unit that
        // does not enter programming mode is given back without a word.
        silent("silent: identification", "idn@1", kNoAnswer, "Identification Failed", "not-reached", "*IDN?"),
        silent("silent: password state", "stat@1", kNoAnswer, "Password Failed", "not-reached", ":syst:pass:stat?"),
        {"silent: programming mode", {"--silent", "prg@1"}, Cell{"", "not-reached", "DIAG:PRG", ""},
         Cell{"Not In Program Mode", "not-reached", "DIAG:PRG", kLanSilent},
         Cell{"Unit Not Responding", "not-reached", "DIAG:PRG", kGpibSilent}},
        silent("silent: erase", "erase@1", "Erase Failed", "Erase Failed", "failed-after-erase", "ERASE"),
        // GPIB sends records without reading anything back.
        {"silent: record acknowledgment", {"--no-ack", "5"}, Cell{kNoAnswer, "failed-after-erase", "records", ""},
         Cell{"Data to Flash Failed", "failed-after-erase", "records", ""}, {}},
        {"silent: code test answer", {"--silent", "test@1"}, Cell{kNoAnswer, "failed-after-erase", "records", ""},
         Cell{"Code Test Failed", "failed-after-erase", "records", ""}, kGpibDropped},
        // The unit took its new firmware: the good run meets a fresh unit.
        silent("silent: second identification", "idn@2", kNoAnswer, "Second Identification Failed",
               "failed-after-erase", "second *IDN?", true),
        silent("silent throughout", "idn", kNoAnswer, "Identification Failed", "not-reached", "*IDN?", true),
        // Wrong identities. Over RS-232 only family and revision are checked.
        {"wrong family", {"--family", "ZR"}, kWrongModel, kWrongModel, kWrongModel, true},
        {"other maker", {"--maker", "ACME"}, kUpdated, kUnknownUnit, kUnknownUnit, true},
        {"revision too old", {"--revision", "V7.90"}, kWrongModel, kWrongModel, kWrongModel, true},
        {"NUL leading the identification", {"--nul", "idn@0"}, kWrongModel,
         Cell{"Identification Failed", "not-reached", "*IDN?", kLanSilent}, kUnknownUnit, true},
        // The refusal shows in its own message beside Messages; RS-232 blanks Messages.
        {"password refused", {}, with_message(kPasswordRefused, "            "), kPasswordRefused, kPasswordRefused,
         false, Setup::Password, "WRONG"},
        // A "?" makes the unlock a query on GPIB: its read waits out the board's time-out.
        {"password with a question mark", {}, with_message(kPasswordRefused, "            "), kPasswordRefused,
         Cell{"Unit Not Responding", "not-reached", "unlock", kGpibSilent}, false, Setup::Password, "AB?CD"},
        // The unit's refusal is shown in its own words.
        {"lock refused", {"--lock", "deny"}, {}, kLockDenied, {}, true},
        {"lock held by another client, denial in two segments", {"--split", "lock", "--split-gap-ms", "5"}, {},
         kLockDenied, {}, false, Setup::LockHeld},
        {"lock unanswered", {"--lock", "silent"}, {},
         Cell{"Unable to Get a LOCK", "not-reached", "lock", "the unit did not answer the lock request"}, {}, true},
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
        {"link dropped while programming", {"--drop-after", "5"}, kSerialDropped, kLanDropped, kGpibDropped, true},
        // The loss shows on the write of a record (-5) or on the read of its answer (-6), as the timing falls.
        {"port, connection or board vanishes while programming",
         {"--drop-after", "5", "--serial-drop", "close", "--lan-drop", "reset", "--gpib-drop", "vanish"},
         with_detail(kSerialDropped, "the serial port failed while programming (error -"), kLanDropped,
         kGpibDropped, true},
        {"adapter resets while programming", {"--drop-after", "5", "--serial-drop", "reset"},
         with_detail(kSerialDropped, "the serial port failed while programming (error -"), {}, {}, true},
        // Programming mode is acknowledged by "READY\r\n": 6 bytes before the
        // line feed on RS-232, 6 or 7 with the line end on LAN; GPIB does not count.
        {"programming-mode reply of RDY", {"--prg-reply", "RDY\\r\\n"}, kNotProgramming, kSettingUp, kUpdated, true},
        {"programming-mode reply of READ", {"--prg-reply", "READ\\r\\n"}, kNotProgramming, kUpdated, kUpdated, true},
        {"programming-mode reply of READYY", {"--prg-reply", "READYY\\r\\n"}, kNotProgramming, kSettingUp, kUpdated, true},
        // RS-232 reads 256 bytes of it: the rest is taken for the password state.
        {"identification of 1000 bytes", {"--idn-length", "1000"}, kNotProgramming, kUpdated, kUpdated, true},
        // Replies of odd shapes that must not stop a run.
        {"NUL byte before the line end", {"--nul", "idn"}, kUpdated, kUpdated, kUpdated, true},
        {"replies split across reads", {"--split", "idn", "--split", "stat", "--split", "erase", "--split-gap-ms", "5"},
         kUpdated, kUpdated, kUpdated, true},
        // 40 % of LAN's 4 s reply wait, and of the 10 s that RS-232 and GPIB give a reply.
        {"replies within 40 % of LAN's time-out", slow("1600"), kUpdated, kUpdated, kUpdated, true},
        {"replies within 40 % of a 10 s time-out", slow("4000"), kUpdated, {}, kUpdated, true},
        // Benches that reach no unit; the detail line says why.
        bench("COM1 names nothing", Bus::Rs232, with_detail(kNoPort, "no such port"), Setup::NoPort),
        bench("COM1 names a device that is gone", Bus::Rs232, with_detail(kNoPort, "no such port"), Setup::PortGone),
        bench("COM1 may not be opened", Bus::Rs232, with_detail(kNoPort, "dialout"), Setup::PortForbidden),
        bench("COM1 held by another program", Bus::Rs232, with_detail(kNoPort, "busy"), Setup::PortBusy),
        bench("nothing listens at the address", Bus::Lan, Cell{"Failed To Connect", "not-reached", "", "refused"},
              Setup::NoListener),
        bench("no such board", Bus::Gpib, with_detail(kNoUnit, "no GPIB board GPIB3 (ENEB)"), Setup::OtherBoard),
        bench("nobody at the address", Bus::Gpib, with_detail(kNoUnit, "no listener at address 7 on GPIB0 (ENOL)"),
              Setup::OtherAddress),
        bench("the driver reaches no board", Bus::Gpib, with_detail(kNoUnit, "no GPIB board GPIB0 (ENEB)"),
              Setup::NoBoardSocket),
        // The driver fails its very first call as the Linux GPIB library does
        // on a bench not yet set up: the detail line says what to fix.
        driver("EARG: no configuration file", "EARG", "the GPIB library could not open its configuration "
               "file /etc/gpib.conf (EARG): create it, or name another in IB_CONFIG"),
        driver("EARG: the configuration file IB_CONFIG names", "EARG", "the GPIB library could not open its "
               "configuration file /opt/bench/gpib.conf, named by IB_CONFIG (EARG)", Setup::IbConfig),
        driver("EDVR: no device file", "EDVR,2",
               "/dev/gpib0: No such file or directory (EDVR): load the GPIB kernel module and run gpib_config"),
        driver("EDVR: device file not allowed", "EDVR,13", "/dev/gpib0: Permission denied (EDVR): the user "
               "needs access to it, usually as a member of the gpib group"),
        driver("EDVR: another system error", "EDVR,5", "/dev/gpib0: Input/output error (EDVR)"),
        driver("EDVR without an errno", "EDVR", "the GPIB driver reported a system error on GPIB0 (EDVR)"),
        driver("ECIC: not controller-in-charge", "ECIC",
               "GPIB0 cannot control its bus (ECIC): it must be the bus's system controller"),
        driver("ESAC: not system controller", "ESAC",
               "GPIB0 cannot control its bus (ESAC): it must be the bus's system controller"),
        driver("ENEB: no board", "ENEB", "no GPIB board GPIB0 (ENEB): is it configured, and has gpib_config run?"),
        driver("ENOL: no listener", "ENOL",
               "no listener at address 6 on GPIB0 (ENOL): check the unit's address, power and cable"),
        driver("EABO: time-out", "EABO", kGpibSilent),
        driver("any other driver error", "EBUS", "the GPIB driver reported EBUS on GPIB0"),
    };
    return rows;
}
// clang-format on

// The last step of the sequence that the unit heard on a link: "" (nothing),
// "lock", "*RST", "*IDN?", "unlock", ":syst:pass:stat?", "DIAG:PRG", "ERASE",
// "records", "EXIT" or "second *IDN?". Releases ("syst:rem 0") do not count.
QString step_reached(const QJsonObject& link) {
    static const QStringList kSteps = {"*RST", "*IDN?", ":syst:pass:stat?", "DIAG:PRG", "ERASE", "EXIT"};
    QString step;
    for (const QString& command : link["commands"].toVariant().toStringList()) {
        if (command == "syst:rem 0") continue;
        if (command == "\\x12")
            step = "lock";
        else if (command.startsWith(":SYST:PASS:CEN"))
            step = "unlock";
        else if (command == "*IDN?" && step == "EXIT")
            step = "second *IDN?";
        else if (kSteps.contains(command))
            step = command;
        else if (step == "ERASE" || step == "records")
            step = "records";  // a code test line
    }
    return step == "ERASE" && link["records"].toInt() > 0 ? QStringLiteral("records") : step;
}

// What each entry of a /proc directory is: the descriptors' targets, or the threads' names.
QStringList proc_entries(const char* directory, bool thread_names = false) {
    QStringList entries;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(directory, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        QFile comm(QString::fromStdString(it->path() / "comm"));
        entries << (thread_names && comm.open(QIODevice::ReadOnly)
                        ? QString(comm.readAll().trimmed())
                        : QString::fromStdString(std::filesystem::read_symlink(it->path(), error)));
    }
    return entries;
}

// Lines of a /proc table after its `heading` lines, each split into fields.
QList<QStringList> proc_table(const char* path, int heading = 1) {
    QFile table(path);
    table.open(QIODevice::ReadOnly);
    QList<QStringList> rows;
    for (const QString& line : QString(table.readAll()).split('\n').mid(heading))
        rows << line.split(' ', Qt::SkipEmptyParts);
    return rows;
}

// What this process holds from the kernel. A run that stops without giving the
// unit back keeps what the bus had open until the next run (`kept`): over
// RS-232 the port (its device and its lock file), over GPIB the driver's link
// to the board (a Unix socket); none of them may ever be more than one of its
// kind (`bounded`). Qt's pooled threads come and go on their own: not counted.
struct Usage {
    int fds = 0, kept = 0, threads = 0;
    bool bounded = true;
    long rss_kib = 0;
};

Usage usage_now() {
    QStringList sockets;  // "Num RefCount Protocol Flags Type St Inode [Path]"
    for (const auto& row : proc_table("/proc/net/unix"))
        if (row.size() > 6) sockets.push_back("socket:[" + row[6] + "]");
    Usage usage;
    int kinds[3] = {};  // devices, lock files, driver links
    for (const QString& target : proc_entries("/proc/self/fd")) {
        ++usage.fds;
        kinds[0] += target.startsWith("/dev/pts/") || target.startsWith("/dev/tty");
        kinds[1] += target.startsWith("/run/lock/LCK..") || target.startsWith("/var/lock/LCK..");
        kinds[2] += sockets.contains(target);
    }
    usage.kept = kinds[0] + kinds[1] + kinds[2];
    usage.bounded = kinds[0] <= 1 && kinds[1] <= 1 && kinds[2] <= 1;
    for (const QString& name : proc_entries("/proc/self/task", true))
        usage.threads += name != "Thread (pooled)";
    usage.rss_kib =
        proc_table("/proc/self/statm", 0).value(0).value(1).toLong() * (::sysconf(_SC_PAGESIZE) / 1024);
    return usage;
}

// Connections whose far end is address:port, in a state that holds a
// descriptor on this side (established, SYN sent, close wait).
int tcp_connections_to(const QString& address, quint16 port) {
    if (address.isEmpty()) return 0;
    // "N: LOCAL:PORT REMOTE:PORT ST ...", the address as a host-order word of network-order bytes.
    const QString remote = QStringLiteral("%1:%2")
                               .arg(qToBigEndian(QHostAddress(address).toIPv4Address()), 8, 16, QChar('0'))
                               .arg(port, 4, 16, QChar('0'))
                               .toUpper();
    int count = 0;
    for (const auto& row : proc_table("/proc/net/tcp"))
        count += row.size() > 3 && row[2] == remote && (row[3] == "01" || row[3] == "02" || row[3] == "08");
    return count;
}

// RS-232's 10 s read becomes 0.3 s, LAN's 4 s reply wait 0.2 s and GPIB's
// T10s 0.3 s: far above a unit's answer time even with every core busy.
double scale_of(Bus bus) { return bus == Bus::Lan ? 0.05 : 0.03; }

// Descriptors, threads and connections to the unit are back where they were
// (within 5 s: deferred deletions, sockets), but for what a run keeps by
// design, which never piles up.
QString not_given_back(const Usage& before, const Unit& unit) {
    Usage now;
    int tcp = 0;
    for (QDeadlineTimer deadline(std::chrono::seconds(5)); !deadline.hasExpired(); QThread::msleep(10)) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        now = usage_now();
        tcp = tcp_connections_to(unit.lan_address(), unit.lan_port());
        if (now.fds - now.kept == before.fds - before.kept && now.bounded && now.threads == before.threads &&
            tcp == 0)
            return {};
    }
    return QString::asprintf("not given back: fds %d -> %d (kept %d -> %d), threads %d -> %d, connections %d",
                             before.fds, now.fds, before.kept, now.kept, before.threads, now.threads, tcp);
}

// What a bus showed, as one line: {"Messages", "outcome", "step", "detail"}.
QString shown(const QStringList& fields) {
    QStringList quoted;
    for (QString field : fields) quoted << '"' + field.replace("\r", "\\r").replace("\n", "\\n") + '"';
    return '{' + quoted.join(", ") + '}';
}

}  // namespace

Q_DECLARE_METATYPE(Bus)

class FaultsTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString hex_;
    std::unique_ptr<Operator> op_;
    std::vector<Bus> buses_;
    int passes_ = 1;
    long rss_start_kib_ = 0;

    // The bench as the row sets it up, for the fault run only.
    struct Bench {
        Env env;
        std::unique_ptr<QSerialPort> holder;
        std::unique_ptr<Peer> client;
    };
    void set_up(Bench& bench, const FaultRow& row, const Unit& unit) {
        const QString com1 = QDir(unit.serial_dir()).filePath("COM1");
        if (row.stays && row.setup != Setup::None) QFile::remove(com1);  // see bench()
        // clang-format off
        switch (row.setup) {
            case Setup::None: case Setup::Password: case Setup::NoPort: break;
            case Setup::PortGone: QVERIFY(QFile::link(QDir(unit.serial_dir()).filePath("ttyNONE"), com1)); break;
            case Setup::PortForbidden: QVERIFY(QFile::link("/sys/kernel/uevent_seqnum", com1)); break;
            case Setup::PortBusy:
                bench.holder = std::make_unique<QSerialPort>(unit.serial_path());
                QVERIFY(bench.holder->open(QIODevice::ReadWrite));
                break;
            case Setup::LockHeld:
                bench.client = Peer::tcp(unit.lan_address(), unit.lan_port());
                QVERIFY(bench.client && bench.client->send("\x12\n"));
                QCOMPARE(bench.client->read_line(), std::string("<LOCK GRANTED>\r\n"));
                break;
            case Setup::NoListener: set_text(ids::UPDATE_IPADDR, "127.000.000.253"); break;
            case Setup::OtherBoard: set_value(ids::UPDATE_GPIBBOARDS, 3); break;
            case Setup::OtherAddress: set_value(ids::UPDATE_BUS_SELECTION_2, 7); break;
            case Setup::NoBoardSocket: bench.env.set("ORVEX_GPIB_SIM", files_.filePath("absent%d.sock")); break;
            case Setup::IbConfig: bench.env.set("IB_CONFIG", "/opt/bench/gpib.conf"); [[fallthrough]];
            case Setup::DriverFails: bench.env.set("ORVEX_GPIB_FIRST_CALL_FAILS", row.setting); break;
        }
        // clang-format on
    }

    // The unit stopped cleanly, its flash holds exactly the file.
    void expect_flashed(Unit& unit) {
        QVERIFY2(unit.stop(), qPrintable(unit.error()));
        QString verdict;
        QVERIFY2(unit.expect_flash(hex_, &verdict), qPrintable(verdict));
    }

    // A healthy unit updated whole: OK TEST, the record, the flash, nothing
    // kept (but for what a bus loads at its first run).
    void good_run(Unit& unit, Bus bus, bool first = false) {
        const Usage before = usage_now();
        op_->aim(unit, bus, hex_);
        op_->start();
        op_->expect_updated();
        QCOMPARE(op_->last_record()["outcome"].toString(), "updated");
        QVERIFY(!held_open(hex_));
        const QString kept = first ? QString() : not_given_back(before, unit);
        QVERIFY2(kept.isEmpty(), qPrintable(kept));
        expect_flashed(unit);
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        QVERIFY(
            !(hex_ = Unit::make_hex(files_.filePath("firmware.hex"), 30, {"--test-lines", "2"})).isEmpty());
        passes_ = std::max(1, qEnvironmentVariableIntValue("ORVEX_FAULT_PASSES"));
        for (Bus bus : kBuses)
            if (qEnvironmentVariable("ORVEX_FAULT_BUS", bus_name(bus)) == bus_name(bus))
                buses_.push_back(bus);
        op_ = std::make_unique<Operator>();
        // What a bus loads once (the GPIB driver, Qt's network and serial
        // parts) is no growth of the soak.
        for (Bus bus : buses_) {
            Unit unit(scale_of(bus));
            QVERIFY2(unit.start(), qPrintable(unit.error()));
            good_run(unit, bus, true);
        }
        rss_start_kib_ = usage_now().rss_kib;
    }

    void faults_data() {
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<int>("row");
        const auto& table = fault_table();
        for (int pass = 1; pass <= passes_; ++pass)
            for (Bus bus : buses_)
                for (std::size_t row = 0; row < table.size(); ++row)
                    if (table[row].on(bus))
                        QTest::addRow("%s: %s%s", bus_name(bus), table[row].name,
                                      pass > 1 ? qPrintable(QStringLiteral(" (pass %1)").arg(pass)) : "")
                            << bus << int(row);
    }
    void faults() {
        QFETCH(Bus, bus);
        QFETCH(int, row);
        const FaultRow& fault = fault_table()[std::size_t(row)];
        const Cell& cell = *fault.on(bus);
        Unit unit(scale_of(bus));
        QVERIFY2(unit.start(fault.unit), qPrintable(unit.error()));
        const Usage before = usage_now();
        {
            Bench bench;
            op_->aim(unit, bus, hex_, fault.setup == Setup::Password ? fault.setting : "MORVANTE");
            set_up(bench, fault, unit);
            if (QTest::currentTestFailed()) return;
            op_->start();
        }
        // A refused password is shown in its own message, which its timer hides again.
        const bool password_shown = op_->password_message_shown();
        QString step;
        unit.wait_for([&](const QJsonObject&) { return (step = step_reached(unit.link(bus))) == cell.step; },
                      std::chrono::milliseconds(2000));
        // A driver's error is named in the whole detail line, the rest by a part of it.
        const bool whole =
            fault.setup == Setup::DriverFails || fault.setup == Setup::IbConfig || !*cell.detail;
        const QString detail = whole || !op_->detail().contains(cell.detail) ? op_->detail() : cell.detail;
        QCOMPARE(shown({op_->messages(), op_->last_record()["outcome"].toString(), step, detail}),
                 shown({cell.message, cell.outcome, cell.step, cell.detail}));
        QCOMPARE(password_shown, QString(cell.outcome) == "password-refused");
        QVERIFY(!held_open(hex_));
        const QString kept = not_given_back(before, unit);
        QVERIFY2(kept.isEmpty(), qPrintable(kept));
        op_->dismiss_file_panel();
        // A fault that let the update through was itself the good run.
        if (QString(cell.outcome) == "updated") return expect_flashed(unit);
        // The same unit once more, unless the fault stays with it: an
        // abandoned port, connection or board would refuse this run.
        if (fault.stays) QVERIFY2(unit.start(), qPrintable(unit.error()));
        good_run(unit, bus);
    }

    void cleanupTestCase() {
        op_.reset();
        if (passes_ == 1) return;
        // 8 MiB of growth at most over the soak, after a first run per bus.
        const long end_kib = usage_now().rss_kib;
        QVERIFY2(
            end_kib - rss_start_kib_ <= 8 * 1024,
            qPrintable(QString::asprintf("resident memory %ld KiB -> %ld KiB", rss_start_kib_, end_kib)));
    }
};

QTEST_MAIN(FaultsTest)
#include "test_faults.moc"
