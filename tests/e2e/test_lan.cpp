// Uploads over the LAN to the unit simulator on a loopback address, port 5025.
// Each failure is followed by a retry against the same unit, which must get
// the unit's lock: an abandoned connection would keep it.
#include <QTcpServer>
#include <QTcpSocket>

#include "hex_stream.h"
#include "lan_bus.h"
#include "upload_fixture.h"
#include "waits.h"

namespace {

using Clock = std::chrono::steady_clock;

// The 4 s reply time-out becomes 200 ms, long enough on a loaded machine.
constexpr double kFast = 0.05;
constexpr int kRecords = 200;
constexpr int kCodeTests = 2;
// The unit's pause after "EXIT" while it restarts with the new firmware.
constexpr double kExitPause_s = orvex::lan::kExitPause_s;
const QStringList kSplitGap = {"--split-gap-ms", "5"};
const char* const kDenied = "<DENIED LOCK>\r\n";

enum class Extra {
    None,
    PasswordMessage,  // wrong-password message shown, Messages empty
    StoppedBeforeErase,
    NoPieceSent,    // erase refused: no record, but EXIT and the second "*IDN?"
    StoppedInLoop,  // no "EXIT" after a failure inside the loop
    LockHeld,       // a second connection holds the lock during the run
};

QJsonArray connections(const QJsonObject& record) {
    return record["lan"].toObject()["connections"].toArray();
}
QStringList commands(const QJsonObject& record) { return e2e::heard(record, "lan"); }

// `count` connections made, and none of them left open but the first `held`.
bool all_closed(const QJsonObject& record, int count, int held = 0) {
    const QJsonArray list = connections(record);
    if (list.size() != count) return false;
    for (int i = 0; i < count; ++i)
        if (list[i].toObject()["open"].toBool() != (i < held)) return false;
    return true;
}

QString lock_of(const QJsonObject& record, int connection) {
    for (const auto& c : connections(record))
        if (c.toObject()["id"].toInt() == connection) return c.toObject()["lock"].toString();
    return {};
}

class LanOperator : public e2e::Operator {
public:
    LanOperator(const QString& address, const QString& hex) {
        choose_bus(ids::MENUBAR_BUSSELEC_LAN);
        type_address(address);
        choose_file(hex);
    }
    void type_address(const QString& address) {
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR, address.toLatin1().constData());
    }
};

// A second client on the unit's port, as another technician's tool would be.
bool take_lock(QTcpSocket& socket, const SimProcess& sim) {
    socket.connectToHost(sim.lanAddress(), sim.lanPort());
    if (!socket.waitForConnected(10000)) return false;
    socket.write("\x12\n");
    QByteArray reply;
    for (int i = 0; i < 100 && !reply.endsWith('\n'); ++i) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(10000)) break;
        reply += socket.readAll();
    }
    return reply == "<LOCK GRANTED>\r\n";
}

}  // namespace

Q_DECLARE_METATYPE(Extra)

class LanUploadTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString firmware_;  // records with code test lines among them
    QString short_;     // three records

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        firmware_ =
            e2e::make_hex(files_, "firmware.hex", kRecords, {"--test-lines", QString::number(kCodeTests)});
        short_ = e2e::make_hex(files_, "short.hex", 3);
        QVERIFY(!firmware_.isEmpty() && !short_.isEmpty());
    }

    void init() { e2e::set_time_scale(kFast); }
    void cleanup() { e2e::set_time_scale(1.0); }

    // Every row fails once; the retry against the same unit must get the lock.
    void failures_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message");
        QTest::addColumn<Extra>("extra");
        QTest::addColumn<QString>("retryBefore");  // revision before the retry; empty: the same failure

        const QString ok = e2e::kPassword;
        const auto row = [&](const char* name, const QStringList& args, const QString& message,
                             Extra extra = Extra::None, QString retry = e2e::kOldRevision,
                             QString password = {}) {
            QTest::newRow(name) << args << (password.isEmpty() ? ok : password) << message << extra << retry;
        };
        row("lock held elsewhere", {}, kDenied, Extra::LockHeld);
        row("lock held elsewhere, denial in two segments", QStringList{"--split", "lock"} + kSplitGap,
            kDenied, Extra::LockHeld);
        row("lock unanswered", {"--silent", "lock:once"}, "Unable to Get a LOCK");
        row("no identification", {"--silent", "idn:once"}, "Identification Failed");
        row("unknown maker", {"--maker", "ACME"}, "Unknown Unit", Extra::None, QString());
        row("wrong model", {"--family", "ZR"}, "Wrong Model/Revision", Extra::None, QString());
        row("no password reply", {"--silent", "stat:once"}, "Password Failed");
        row("password refused", {}, "", Extra::PasswordMessage, e2e::kOldRevision, "WRONG");
        row("no program-mode reply", {"--silent", "prg:once"}, "Not In Program Mode");
        row("program-mode reply of 5", {"--prg-reply", "RDY\\r\\n"}, "Setting Up - Please Wait",
            Extra::StoppedBeforeErase, QString());
        row("program-mode reply of 8", {"--prg-reply", "READY!\\r\\n"}, "Setting Up - Please Wait",
            Extra::StoppedBeforeErase, QString());
        row("no erase reply", {"--silent", "erase:once"}, "Erase Failed");
        row("erase refused", {"--erase-reply", "1\\r\\n"}, "", Extra::NoPieceSent, QString());
        row("record never acknowledged", {"--no-ack", "3"}, "Data to Flash Failed", Extra::StoppedInLoop);
        row("code test never answered", {"--silent", "test:once"}, "Code Test Failed", Extra::StoppedInLoop);
        row("no second identification", {"--silent", "idn@2"}, "Second Identification Failed", Extra::None,
            e2e::kNewRevision);
    }

    void failures() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(Extra, extra);
        QFETCH(QString, retryBefore);

        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kFast) + simArgs);
        QTcpSocket holder;
        const int held = extra == Extra::LockHeld ? 1 : 0;
        if (held) QVERIFY(take_lock(holder, sim));
        LanOperator op(sim.lanAddress(), firmware_);
        op.type_password(password);
        op.start();

        QCOMPARE(op.messages(), message);
        QVERIFY(orvex::firmware.fileprg == nullptr);  // the HEX file is closed on every exit
        QCOMPARE(op.password_message_shown(), extra == Extra::PasswordMessage);
        QVERIFY(!op.file_panel_shown());
        E2E_WAIT_RECORD(sim, all_closed(r, 1 + held, held));
        const QJsonObject first = sim.record();
        const QStringList heard = commands(first);
        switch (extra) {
            case Extra::LockHeld:
                QCOMPARE(lock_of(first, 2), QStringLiteral("denied"));
                QCOMPARE(op.revision_before(), QString());
                holder.disconnectFromHost();
                E2E_WAIT_RECORD(sim, all_closed(r, 2));
                break;
            case Extra::StoppedBeforeErase:
                QVERIFY(!heard.contains("ERASE"));
                break;
            case Extra::NoPieceSent:
                QCOMPARE(e2e::link_of(first, "lan")["records"].toInt(), 0);
                QCOMPARE(heard.mid(heard.indexOf("ERASE") + 1), (QStringList{"EXIT", "*IDN?"}));
                QCOMPARE(op.revision_after(), e2e::kOldRevision);
                break;
            case Extra::StoppedInLoop:
                QVERIFY(!heard.contains("EXIT"));
                QVERIFY(op.progress() < 100);
                break;
            default:
                break;
        }

        op.dismiss_file_panel();
        op.type_password(e2e::kPassword);
        op.choose_file(firmware_);
        op.start();
        E2E_WAIT_RECORD(sim, all_closed(r, 2 + held));
        QCOMPARE(lock_of(sim.record(), 2 + held), QStringLiteral("granted"));
        if (retryBefore.isEmpty()) {
            QCOMPARE(op.messages(), message);
        } else {
            op.expect_updated(retryBefore);
            E2E_FLASH_HOLDS(sim, firmware_);
        }
        E2E_STOP(sim);
    }

    // Inputs refused before any connection is made.
    void refusedInputs_data() { e2e::add_refusal_rows(files_); }
    void refusedInputs() {
        QFETCH(e2e::Refusal, refusal);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kFast));
        LanOperator op(sim.lanAddress(), firmware_);
        op.expect_refused(refusal);
        e2e::expect_untouched(sim);
    }

    // No connection, no run; then runs that succeed with unusual addresses or replies.
    void addresses_data() {
        QTest::addColumn<QString>("address");  // "unit": the unit's own, "stopped": with the unit stopped
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("shortFile");
        // The unit's real pauses, about 18 s.
        QTest::newRow("real time") << "real time" << QStringList{} << false;

        QTest::newRow("nothing listening") << "stopped" << QStringList{} << false;
        QTest::newRow("group above 255") << "127.0.0.256" << QStringList{} << false;
        QTest::newRow("three groups") << "127.0.0" << QStringList{} << false;
        QTest::newRow("empty") << " " << QStringList{} << false;
        QTest::newRow("zero-padded address") << "padded" << QStringList{} << false;
        QTest::newRow("identification in two segments")
            << "unit" << QStringList{"--split", "idn"} + kSplitGap << false;
        QTest::newRow("300-byte identification") << "unit" << QStringList{"--idn-length", "300"} << false;
        QTest::newRow("program-mode reply of 6")
            << "unit" << QStringList{"--prg-reply", "BUSY\\r\\n"} << false;
        QTest::newRow("erase answered while the LED is lit")
            << "unit" << QStringList{"--erase-ms", "0"} << false;
        // The last acknowledgment's line end, late in the EXIT pause, is no identification.
        QTest::newRow("late line end before the identification")
            << "unit" << QStringList{"--split", "record@2", "--split-gap-ms", "100"} << true;
    }

    void addresses() {
        QFETCH(QString, address);
        QFETCH(QStringList, simArgs);
        QFETCH(bool, shortFile);
        const double scale = address == "real time" ? 1.0 : kFast;
        e2e::set_time_scale(scale);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(scale) + simArgs);
        const QString unit = sim.lanAddress();
        const QString hex = shortFile ? short_ : firmware_;
        QStringList padded;
        for (const QString& group : unit.split('.')) padded << group.rightJustified(3, '0');
        const bool reachable = address == "unit" || address == "padded" || scale == 1.0;
        if (address == "stopped") QVERIFY(sim.stop());

        LanOperator op(address == "padded"                 ? padded.join('.')
                       : reachable || address == "stopped" ? unit
                                                           : address,
                       hex);
        // The Transmit LED goes out one interval after each write; the last two
        // times are those of "EXIT" and of the identification that follows it.
        std::vector<Clock::time_point> led_out;
        QObject::connect(runtime::TimerOf(orvex::update_handle, ids::UPDATE_TXTIMER), &QTimer::timeout,
                         [&] { led_out.push_back(Clock::now()); });
        op.start();
        if (!reachable) {
            QCOMPARE(op.messages(), QStringLiteral("Failed To Connect"));
            QCOMPARE(op.revision_before(), QString());
            if (address == "stopped")
                E2E_START(sim, e2e::sim_time_scale_args(kFast) + QStringList{"--lan", unit});
            op.type_address(unit);
            op.start();
        }
        op.expect_updated();
        E2E_FLASH_HOLDS(sim, hex);
        // The successful run's connection is the only one the unit saw, and it heard the whole run.
        E2E_WAIT_RECORD(sim, all_closed(r, 1));
        QCOMPARE(commands(sim.record()), QStringList({"\\x12", "*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE",
                                                      ":syst:pass:stat?", "DIAG:PRG", "ERASE"}) +
                                             e2e::non_record_lines(hex) + QStringList({"EXIT", "*IDN?"}));
        QCOMPARE(e2e::link_of(sim.record(), "lan")["records"].toInt(), e2e::record_count(hex));
        QVERIFY(led_out.size() >= 2);
        const std::chrono::duration<double> pause = led_out.back() - led_out[led_out.size() - 2];
        QVERIFY2(pause.count() >= kExitPause_s * scale, qPrintable(QString::number(pause.count())));
        E2E_STOP(sim);
    }

    // Blocks that do not fit a plain reply: rdbuffer stays a terminated text
    // within its size, and a following block is added, not overwriting.
    void receivedText_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");  // sent 5 ms later, if any
        QTest::addColumn<QByteArray>("expected");
        const QByteArray full = QByteArray(int(orvex::kCommandSize) - 1, 'X');
        QTest::newRow("longer than the buffer") << QByteArray(300, 'X') << QByteArray() << full;
        QTest::newRow("zero byte") << QByteArray("AB\0CD", 5) << QByteArray() << QByteArray("AB");
        QTest::newRow("two segments")
            << QByteArray("ORVEX,ZRA") << QByteArray(" 12-34\r\n") << QByteArray("ORVEX,ZRA 12-34\r\n");
        QTest::newRow("full buffer, then more") << QByteArray(300, 'X') << QByteArray("Z\r\n") << full;
    }

    void receivedText() {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QByteArray, expected);
        e2e::set_time_scale(1.0);
        ProgramPanels panels;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        unsigned connection = 0;
        QCOMPARE(runtime::ConnectToTCPServer(&connection, listener.serverPort(), "127.0.0.1",
                                             orvex::lan::ClientCallback, nullptr, 5000),
                 0);
        QVERIFY(listener.waitForNewConnection(10000));
        QTcpSocket* unit = listener.nextPendingConnection();
        unit->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        orvex::clear(orvex::exchange.rdbuffer);
        unit->write(first);
        QVERIFY(unit->flush());
        if (!second.isEmpty()) QTimer::singleShot(5, unit, [&] { unit->write(second), unit->flush(); });
        QCOMPARE(orvex::lan::get_tcpread(), int(expected.size()));
        QCOMPARE(QByteArray(orvex::exchange.rdbuffer), expected);
        QCOMPARE(orvex::exchange.rdbuffer[orvex::kCommandSize - 1], '\0');
        runtime::DisconnectFromTCPServer(connection);
    }
};

QTEST_MAIN(LanUploadTest)
#include "test_lan.moc"