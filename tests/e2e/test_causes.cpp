// The detail line under Messages names the cause of a failure: the device,
// the driver's error, the address. Each case is brought about for real (a
// missing device, a board with no unit, a closed port, a unit that refuses
// its lock) and read back from the window as the technician sees it.
#include <QSerialPort>
#include <QTcpServer>

#include "gpib_bus.h"
#include "lan_bus.h"
#include "rs232_bus.h"
#include "upload_fixture.h"

namespace {

constexpr double kTestScale = 0.05;
const QString kHex = QStringLiteral("firmware.hex");

QString detail() { return text_of(ids::UPDATE_DETAIL); }

// How the operator points the panel at a unit that is not there as expected.
enum class Setup { None, GpibBoard3, GpibAddress7, ComToNothing, ComToForbidden, ComBusy, LanClosedPort };

}  // namespace

Q_DECLARE_METATYPE(Setup)

class CausesTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString hex_;

    // Runs one update against `sim` on the bus of `menu_item`, set up as `setup`.
    void run(e2e::Operator& op, SimProcess& sim, int menu_item, Setup setup) {
        op.choose_bus(menu_item);
        op.choose_file(hex_);
        std::unique_ptr<QSerialPort> holder;
        const QString com1 = QDir(sim.serialDir()).filePath(QStringLiteral("COM1"));
        switch (setup) {
            case Setup::None:
                break;
            case Setup::GpibBoard3:
                runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_GPIBBOARDS, 3);
                break;
            case Setup::GpibAddress7:
                runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_BUS_SELECTION_2, 7);
                break;
            case Setup::ComToNothing:
                QFile::remove(com1);
                QVERIFY(QFile::link(QDir(sim.serialDir()).filePath(QStringLiteral("ttyNONE")), com1));
                break;
            case Setup::ComToForbidden:
                // Not even root may open this one as a terminal.
                QFile::remove(com1);
                QVERIFY(QFile::link(QStringLiteral("/sys/kernel/uevent_seqnum"), com1));
                break;
            case Setup::ComBusy:
                holder = std::make_unique<QSerialPort>(sim.serialPath());
                QVERIFY(holder->open(QIODevice::ReadWrite));
                break;
            case Setup::LanClosedPort:
                // An address on which nothing listens.
                runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR, "127.000.000.199");
                break;
        }
        if (menu_item == ids::MENUBAR_BUSSELEC_LAN && setup != Setup::LanClosedPort)
            runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR,
                                sim.lanAddress().toLatin1().constData());
        op.start();
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        hex_ = e2e::make_hex(files_, kHex, 8);
        e2e::set_time_scale(kTestScale);
    }
    void cleanupTestCase() { e2e::set_time_scale(1.0); }

    void causeOnTheWindow_data() {
        QTest::addColumn<int>("menu_item");
        QTest::addColumn<QStringList>("unit");
        QTest::addColumn<Setup>("setup");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("cause");
        const int gpib = ids::MENUBAR_BUSSELEC_GPIB;
        const int serial = ids::MENUBAR_BUSSELEC_SERIAL;
        const int lan = ids::MENUBAR_BUSSELEC_LAN;
        const QString not_responding = orvex::gpib_bus::kMsgNotResponding;
        QTest::newRow("GPIB: no such board")
            << gpib << QStringList() << Setup::GpibBoard3 << not_responding << "no GPIB board GPIB3 (ENEB)";
        QTest::newRow("GPIB: nobody at the address")
            << gpib << QStringList() << Setup::GpibAddress7 << not_responding
            << "no listener at address 7 on GPIB0 (ENOL)";
        QTest::newRow("GPIB: the unit does not answer")
            << gpib << QStringList{"--silent", "idn"} << Setup::None << not_responding
            << "the unit at address 6 on GPIB0 did not answer in time (EABO)";
        QTest::newRow("serial: no such port")
            << serial << QStringList() << Setup::ComToNothing << orvex::rs232::kMsgNoPort << "no such port";
        QTest::newRow("serial: no permission")
            << serial << QStringList() << Setup::ComToForbidden << orvex::rs232::kMsgNoPort << "dialout";
        QTest::newRow("serial: port busy")
            << serial << QStringList() << Setup::ComBusy << orvex::rs232::kMsgNoPort << "busy";
        QTest::newRow("LAN: connection refused")
            << lan << QStringList() << Setup::LanClosedPort << orvex::lan::kMsgNoConnection << "refused";
        QTest::newRow("LAN: lock denied")
            << lan << QStringList{"--lock", "deny"} << Setup::None << "<DENIED LOCK>\r\n"
            << orvex::lan::kDetailLockDenied;
        QTest::newRow("LAN: the unit does not answer")
            << lan << QStringList{"--silent", "idn"} << Setup::None << orvex::lan::kMsgIdentificationFailed
            << "did not answer within";
    }
    void causeOnTheWindow() {
        QFETCH(int, menu_item);
        QFETCH(QStringList, unit);
        QFETCH(Setup, setup);
        QFETCH(QString, message);
        QFETCH(QString, cause);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kTestScale) + unit);
        sim.exportEnvironment();
        e2e::Operator op;
        run(op, sim, menu_item, setup);
        if (QTest::currentTestFailed()) return;
        QCOMPARE(op.messages(), message);
        QVERIFY2(detail().contains(cause), qPrintable(detail()));
        QVERIFY(orvex::last_outcome == orvex::Outcome::NotReached);
        E2E_STOP(sim);
    }

    // The driver fails its very first call as the Linux GPIB library does on a
    // bench not yet set up: nothing reaches the unit, and the detail line
    // says what to fix.
    void driverErrorOnTheWindow_data() {
        QTest::addColumn<QByteArray>("fault");     // the stand-in's first call fails so
        QTest::addColumn<QByteArray>("ibConfig");  // IB_CONFIG, unset when empty
        QTest::addColumn<QString>("cause");
        QTest::newRow("EARG: no configuration file")
            << QByteArray("EARG") << QByteArray()
            << "the GPIB library could not open its configuration file /etc/gpib.conf (EARG): create it, "
               "or name another in IB_CONFIG";
        QTest::newRow("EARG: the configuration file IB_CONFIG names")
            << QByteArray("EARG") << QByteArray("/opt/bench/gpib.conf")
            << "the GPIB library could not open its configuration file /opt/bench/gpib.conf, named by "
               "IB_CONFIG (EARG)";
        QTest::newRow("EDVR: no device file") << QByteArray("EDVR,2") << QByteArray()
                                              << "/dev/gpib0: No such file or directory (EDVR): load the "
                                                 "GPIB kernel module and run gpib_config";
        QTest::newRow("EDVR: device file not allowed")
            << QByteArray("EDVR,13") << QByteArray()
            << "/dev/gpib0: Permission denied (EDVR): the user needs access to it, usually as a member of "
               "the gpib group";
        QTest::newRow("EDVR: another system error")
            << QByteArray("EDVR,5") << QByteArray() << "/dev/gpib0: Input/output error (EDVR)";
        QTest::newRow("EDVR without an errno") << QByteArray("EDVR") << QByteArray()
                                               << "the GPIB driver reported a system error on GPIB0 (EDVR)";
        QTest::newRow("ECIC: not controller-in-charge")
            << QByteArray("ECIC") << QByteArray()
            << "GPIB0 cannot control its bus (ECIC): it must be the bus's system controller";
        QTest::newRow("ESAC: not system controller")
            << QByteArray("ESAC") << QByteArray()
            << "GPIB0 cannot control its bus (ESAC): it must be the bus's system controller";
        QTest::newRow("ENEB: no board")
            << QByteArray("ENEB") << QByteArray()
            << "no GPIB board GPIB0 (ENEB): is it configured, and has gpib_config run?";
        QTest::newRow("ENOL: no listener")
            << QByteArray("ENOL") << QByteArray()
            << "no listener at address 6 on GPIB0 (ENOL): check the unit's address, power and cable";
        QTest::newRow("EABO: time-out") << QByteArray("EABO") << QByteArray()
                                        << "the unit at address 6 on GPIB0 did not answer in time (EABO)";
        QTest::newRow("any other error")
            << QByteArray("EBUS") << QByteArray() << "the GPIB driver reported EBUS on GPIB0";
    }
    void driverErrorOnTheWindow() {
        QFETCH(QByteArray, fault);
        QFETCH(QByteArray, ibConfig);
        QFETCH(QString, cause);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kTestScale));
        sim.exportEnvironment();
        qputenv("ORVEX_GPIB_FIRST_CALL_FAILS", fault);
        if (!ibConfig.isEmpty()) qputenv("IB_CONFIG", ibConfig);
        const auto restore = qScopeGuard([] {
            qunsetenv("ORVEX_GPIB_FIRST_CALL_FAILS");
            qunsetenv("IB_CONFIG");
        });
        e2e::Operator op;
        run(op, sim, ids::MENUBAR_BUSSELEC_GPIB, Setup::None);
        QCOMPARE(op.messages(), QString("Unit Not Responding"));
        QCOMPARE(detail(), cause);
        QVERIFY(orvex::last_outcome == orvex::Outcome::NotReached);
        e2e::expect_untouched(sim);
    }

    // The detail line belongs to one run: the next START clears it.
    void clearedAtTheNextStart() {
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kTestScale));
        sim.exportEnvironment();
        e2e::Operator op;
        run(op, sim, ids::MENUBAR_BUSSELEC_GPIB, Setup::GpibBoard3);
        QVERIFY(!detail().isEmpty());
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_GPIBBOARDS, 0);
        run(op, sim, ids::MENUBAR_BUSSELEC_GPIB, Setup::None);
        QCOMPARE(detail(), QString());
        QCOMPARE(op.messages(), e2e::kOkTest);
        E2E_STOP(sim);
    }

    // Run in a process of its own whose library path holds no usable driver:
    // ORVEX_E2E_EXPECTED_CAUSE names what the detail line must say.
    void driverLibraryUnusable() {
        const QByteArray expected = qgetenv("ORVEX_E2E_EXPECTED_CAUSE");
        if (expected.isEmpty()) QSKIP("run by its own CTest entries");
        e2e::Operator op;
        op.choose_bus(ids::MENUBAR_BUSSELEC_GPIB);
        op.choose_file(hex_);
        op.start();
        QCOMPARE(op.messages(), QString(orvex::gpib_bus::kMsgNotResponding));
        QVERIFY2(detail().contains(QString::fromLatin1(expected)), qPrintable(detail()));
    }
};

QTEST_MAIN(CausesTest)
#include "test_causes.moc"
