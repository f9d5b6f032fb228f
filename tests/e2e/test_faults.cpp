// The fault table run through the program's own panel in this process,
// against the unit simulator: for every fault on a bus, what the operator
// reads, the update record, the step the unit reached, and the descriptors,
// threads and connections given back; then a good run with an empty detail
// line. ORVEX_FAULT_BUS names one bus ("RS-232", "LAN", "GPIB"; all when
// unset); ORVEX_FAULT_PASSES > 1 makes it the soak, with the memory check.
#include <QSerialPort>

#include <algorithm>

#include "fault_table.h"
#include "operator.h"
#include "peer.h"
#include "usage.h"

using namespace orvex::test;

namespace {

// RS-232's 10 s read becomes 0.3 s, LAN's 4 s reply wait 0.2 s and GPIB's
// T10s 0.3 s: far above a unit's answer time even with every core busy.
double scale_of(Bus bus) { return bus == Bus::Rs232 ? 0.03 : bus == Bus::Lan ? 0.05 : 0.03; }
// Growth of resident memory allowed over the soak, after a first run per bus.
constexpr long kRssGrowthLimit_kib = 8 * 1024;
// How long what a run closed may take to be gone (deferred deletions, sockets).
constexpr std::chrono::milliseconds kSettleLimit{5000};

// Descriptors, threads and connections to the unit are back where they were,
// but for what a run keeps by design, which never piles up.
QString not_given_back(const Usage& before, const Unit& unit) {
    Usage now;
    int tcp = 0;
    for (QDeadlineTimer deadline(kSettleLimit);; QThread::msleep(10)) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        now = usage_now();
        tcp = tcp_connections_to(unit.lan_address(), unit.lan_port());
        if (now.fds - now.kept == before.fds - before.kept && kept_descriptors().bounded() &&
            now.threads == before.threads && tcp == 0)
            return {};
        if (deadline.hasExpired()) break;
    }
    return QStringLiteral("not given back: fds %1 -> %2 (kept %3 -> %4), threads %5 -> %6, connections %7")
        .arg(before.fds)
        .arg(now.fds)
        .arg(before.kept)
        .arg(now.kept)
        .arg(before.threads)
        .arg(now.threads)
        .arg(tcp);
}

QString shown(QString text) { return '"' + text.replace("\r", "\\r").replace("\n", "\\n") + '"'; }

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
        switch (row.setup) {
            case Setup::None:
            case Setup::Password:
                break;
            case Setup::NoPort:
                QFile::remove(com1);
                break;
            case Setup::PortGone:
                QFile::remove(com1);
                QVERIFY(QFile::link(QDir(unit.serial_dir()).filePath("ttyNONE"), com1));
                break;
            case Setup::PortForbidden:
                QFile::remove(com1);
                QVERIFY(QFile::link("/sys/kernel/uevent_seqnum", com1));
                break;
            case Setup::PortBusy:
                bench.holder = std::make_unique<QSerialPort>(unit.serial_path());
                QVERIFY(bench.holder->open(QIODevice::ReadWrite));
                break;
            case Setup::LockHeld:
                bench.client = Peer::tcp(unit.lan_address(), unit.lan_port());
                QVERIFY(bench.client && bench.client->send("\x12\n"));
                QCOMPARE(bench.client->read_line(), std::string("<LOCK GRANTED>\r\n"));
                break;
            case Setup::NoListener:
                set_text(ids::UPDATE_IPADDR, "127.000.000.253");
                break;
            case Setup::OtherBoard:
                set_value(ids::UPDATE_GPIBBOARDS, 3);
                break;
            case Setup::OtherAddress:
                set_value(ids::UPDATE_BUS_SELECTION_2, 7);
                break;
            case Setup::NoBoardSocket:
                bench.env.set("ORVEX_GPIB_SIM", files_.filePath("absent%d.sock"));
                break;
            case Setup::IbConfig:
                bench.env.set("IB_CONFIG", "/opt/bench/gpib.conf");
                [[fallthrough]];
            case Setup::DriverFails:
                bench.env.set("ORVEX_GPIB_FIRST_CALL_FAILS", row.setting);
                break;
        }
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
        QVERIFY2(unit.stop(), qPrintable(unit.error()));
        QString verdict;
        QVERIFY2(unit.expect_flash(hex_, &verdict), qPrintable(verdict));
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        hex_ = Unit::make_hex(files_.filePath("firmware.hex"), kTableRecords,
                              {"--test-lines", QString::number(kTableCodeTests)});
        QVERIFY(!hex_.isEmpty());
        passes_ = std::max(1, qEnvironmentVariableIntValue("ORVEX_FAULT_PASSES"));
        for (Bus bus : kBuses)
            if (!qEnvironmentVariableIsSet("ORVEX_FAULT_BUS") ||
                qEnvironmentVariable("ORVEX_FAULT_BUS") == bus_name(bus))
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
        const QString seen = QStringLiteral("{%1, %2, %3, %4}")
                                 .arg(shown(op_->messages()), shown(op_->last_record()["outcome"].toString()),
                                      shown(step), shown(op_->detail()));
        QVERIFY2(op_->messages() == cell.message, qPrintable(seen));
        QVERIFY2(op_->last_record()["outcome"].toString() == cell.outcome, qPrintable(seen));
        QVERIFY2(step == cell.step, qPrintable(seen));
        // A driver's error is named in the whole line, the rest by a part of it.
        const bool whole = fault.setup == Setup::DriverFails || fault.setup == Setup::IbConfig ||
                           QString(cell.detail).isEmpty();
        QVERIFY2(whole ? op_->detail() == cell.detail : op_->detail().contains(cell.detail),
                 qPrintable(seen));
        QCOMPARE(password_shown, QString(cell.outcome) == "password-refused");
        QVERIFY(!held_open(hex_));
        const QString kept = not_given_back(before, unit);
        QVERIFY2(kept.isEmpty(), qPrintable(kept));
        op_->dismiss_file_panel();
        // A fault that let the update through was itself the good run.
        if (QString(cell.outcome) == "updated") {
            QVERIFY2(unit.stop(), qPrintable(unit.error()));
            QString verdict;
            QVERIFY2(unit.expect_flash(hex_, &verdict), qPrintable(verdict));
            return;
        }
        // The same unit once more, unless the fault stays with it: an
        // abandoned port, connection or board would refuse this run.
        if (fault.stays) QVERIFY2(unit.start(), qPrintable(unit.error()));
        good_run(unit, bus);
    }

    void cleanupTestCase() {
        op_.reset();
        if (passes_ == 1) return;
        const long rss_end_kib = usage_now().rss_kib;
        QVERIFY2(
            rss_end_kib - rss_start_kib_ <= kRssGrowthLimit_kib,
            qPrintable(
                QStringLiteral("resident memory %1 KiB -> %2 KiB").arg(rss_start_kib_).arg(rss_end_kib)));
    }
};

QTEST_MAIN(FaultsTest)
#include "test_faults.moc"
