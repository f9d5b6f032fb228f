// Uploads over the LAN as the technician makes them: the program's own panel
// and code in this process, the unit simulator on a loopback address, port
// 5025. One run in real time proves the pauses; every other run uses the test
// time scale. Each failure is followed by a retry against the same unit, which
// must get the unit's lock: an abandoned connection would keep it.
#include <QJsonArray>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <vector>

#include "sequences.h"
#include "upload_fixture.h"
#include "waits.h"

using orvex::test::SimProcess;

namespace {

using Clock = std::chrono::steady_clock;

// Shrinks 1 s to 50 ms: the 4 s reply time-out stays 200 ms, long enough for
// a simulator on a loaded machine.
constexpr double kFast = 0.05;
constexpr int kRecords = 200;
constexpr int kCodeTests = 2;
// The unit's pause after "EXIT" while it restarts with the new firmware.
constexpr double kExitPause_s = 12.0;
// A reply in two segments: the second follows well within the reply line grace.
const QStringList kSplitGap = {"--split-gap-ms", "5"};

const char* const kDenied = "<DENIED LOCK>\r\n";
const char* const kGranted = "<LOCK GRANTED>\r\n";

enum class Extra {
    None,
    PasswordMessage,   // wrong-password message shown, Messages empty
    FilePanel,         // file error panel shown, Messages empty
    StoppedBeforeErase,
    NoPieceSent,       // erase refused: no record, but EXIT and the second "*IDN?"
    StoppedInLoop,     // no "EXIT" after a failure inside the loop
};

enum class Retry {
    Succeeds,          // "OK TEST", the flash holds the file
    SucceedsUnchanged, // the unit already has the new revision: no "OK TEST"
    Repeats,           // the unit itself is the reason: the same outcome again
};

QJsonObject lan_of(const QJsonObject& record) { return record["lan"].toObject(); }

QJsonArray connections(const QJsonObject& record) { return lan_of(record)["connections"].toArray(); }

QStringList commands(const QJsonObject& record) {
    QStringList list;
    for (const auto& c : record["transports"].toObject()["lan"].toObject()["commands"].toArray())
        list << c.toString();
    return list;
}

int lan_records(const QJsonObject& record) {
    return record["transports"].toObject()["lan"].toObject()["records"].toInt();
}

// `count` connections made, and none of them left open.
bool all_closed(const QJsonObject& record, int count) {
    const QJsonArray list = connections(record);
    if (list.size() != count) return false;
    for (const auto& c : list)
        if (c.toObject()["open"].toBool()) return false;
    return true;
}

QString lock_of(const QJsonObject& record, int connection) {
    for (const auto& c : connections(record))
        if (c.toObject()["id"].toInt() == connection) return c.toObject()["lock"].toString();
    return {};
}

QString zero_padded(const QString& address) {
    QStringList groups;
    for (const QString& group : address.split('.')) groups << group.rightJustified(3, '0');
    return groups.join('.');
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
class LockHolder {
public:
    bool take(const SimProcess& sim) {
        socket_.connectToHost(sim.lanAddress(), sim.lanPort());
        if (!socket_.waitForConnected(10000)) return false;
        socket_.write("\x12\n");
        if (!socket_.waitForBytesWritten(10000)) return false;
        QByteArray reply;
        for (int i = 0; i < 100 && !reply.endsWith('\n'); ++i) {
            if (socket_.bytesAvailable() == 0 && !socket_.waitForReadyRead(10000)) break;
            reply += socket_.readAll();
        }
        return reply == kGranted;
    }
    void release() {
        socket_.disconnectFromHost();
        if (socket_.state() != QAbstractSocket::UnconnectedState) socket_.waitForDisconnected(10000);
    }

private:
    QTcpSocket socket_;
};

}  // namespace

Q_DECLARE_METATYPE(Extra)
Q_DECLARE_METATYPE(Retry)

class LanUploadTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QString firmware_;  // records with code test lines among them
    QString short_;     // three records

    // The outcome of a complete, successful run.
    void expect_success(const LanOperator& op, const SimProcess& sim, const QString& hex,
                        const char* before = "V8.10") {
        const bool changed = QString::fromLatin1(before) != QStringLiteral("V8.20");
        QCOMPARE(op.messages(), changed ? QStringLiteral("OK TEST") : QString());
        QCOMPARE(op.revision_before(), QString::fromLatin1(before));
        QCOMPARE(op.revision_after(), QStringLiteral("V8.20"));
        QCOMPARE(op.model(), QStringLiteral("ZRA 12-34"));
        QCOMPARE(op.serial_number(), QStringLiteral("A123"));
        QCOMPARE(op.progress(), 100);
        QString verdict;
        QVERIFY2(sim.verifyFlash(hex, &verdict), qPrintable(verdict));
    }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        firmware_ = e2e::make_hex(files_, "firmware.hex", kRecords,
                                  {"--test-lines", QString::number(kCodeTests)});
        short_ = e2e::make_hex(files_, "short.hex", 3);
        QVERIFY(!firmware_.isEmpty() && !short_.isEmpty());
    }

    void init() { e2e::set_time_scale(kFast); }
    void cleanup() { e2e::set_time_scale(1.0); }

    // The whole sequence with the unit's real pauses (about 18 s).
    void realTime() {
        e2e::set_time_scale(1.0);
        SimProcess sim;
        QVERIFY2(sim.start(), qPrintable(sim.errorString()));
        LanOperator op(sim.lanAddress(), firmware_);

        // The Transmit LED goes out one interval after each write; the last two
        // times are those of "EXIT" and of the identification that follows it.
        std::vector<Clock::time_point> led_out;
        QObject::connect(runtime::TimerOf(orvex::update_handle, ids::UPDATE_TXTIMER), &QTimer::timeout,
                         [&] { led_out.push_back(Clock::now()); });
        op.start();
        expect_success(op, sim, firmware_);

        const QStringList sent = commands(sim.record());
        QStringList expected = {"\\x12", "*RST", "*IDN?", ":SYST:PASS:CEN MORVANTE", ":syst:pass:stat?",
                                "DIAG:PRG", "ERASE"};
        for (int test = 1; test <= kCodeTests; ++test) expected << QStringLiteral("TEST %1").arg(test);
        expected << "EXIT" << "*IDN?";
        QCOMPARE(sent, expected);
        QCOMPARE(lan_records(sim.record()), kRecords + 1);

        QVERIFY(led_out.size() >= 2);
        const std::chrono::duration<double> pause = led_out.back() - led_out[led_out.size() - 2];
        QVERIFY2(pause.count() >= kExitPause_s, qPrintable(QString::number(pause.count())));

        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 1); }));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // Every row fails once; the retry against the same unit must get the lock.
    void failures_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("fileMissing");
        QTest::addColumn<QString>("message");
        QTest::addColumn<Extra>("extra");
        QTest::addColumn<Retry>("retry");

        const QString ok = "MORVANTE";
        QTest::newRow("lock unanswered") << QStringList{"--silent", "lock:once"} << ok << false
                                         << "Unable to Get a LOCK" << Extra::None << Retry::Succeeds;
        QTest::newRow("no identification") << QStringList{"--silent", "idn:once"} << ok << false
                                           << "Identification Failed" << Extra::None << Retry::Succeeds;
        QTest::newRow("unknown maker") << QStringList{"--maker", "ACME"} << ok << false << "Unknown Unit"
                                       << Extra::None << Retry::Repeats;
        QTest::newRow("wrong model") << QStringList{"--family", "ZR"} << ok << false << "Wrong Model/Revision"
                                     << Extra::None << Retry::Repeats;
        QTest::newRow("no password reply") << QStringList{"--silent", "stat:once"} << ok << false
                                           << "Password Failed" << Extra::None << Retry::Succeeds;
        QTest::newRow("password refused") << QStringList{} << "WRONG" << false << "" << Extra::PasswordMessage
                                          << Retry::Succeeds;
        QTest::newRow("file cannot be opened") << QStringList{} << ok << true << "" << Extra::FilePanel
                                               << Retry::Succeeds;
        QTest::newRow("no program-mode reply") << QStringList{"--silent", "prg:once"} << ok << false
                                               << "Not In Program Mode" << Extra::None << Retry::Succeeds;
        QTest::newRow("program-mode reply of 5") << QStringList{"--prg-reply", "RDY\\r\\n"} << ok << false
                                                 << "Setting Up - Please Wait" << Extra::StoppedBeforeErase
                                                 << Retry::Repeats;
        QTest::newRow("program-mode reply of 8") << QStringList{"--prg-reply", "READY!\\r\\n"} << ok << false
                                                 << "Setting Up - Please Wait" << Extra::StoppedBeforeErase
                                                 << Retry::Repeats;
        QTest::newRow("no erase reply") << QStringList{"--silent", "erase:once"} << ok << false << "Erase Failed"
                                        << Extra::None << Retry::Succeeds;
        QTest::newRow("erase refused") << QStringList{"--erase-reply", "1\\r\\n"} << ok << false << ""
                                       << Extra::NoPieceSent << Retry::Repeats;
        QTest::newRow("record never acknowledged") << QStringList{"--no-ack", "3"} << ok << false
                                                   << "Data to Flash Failed" << Extra::StoppedInLoop
                                                   << Retry::Succeeds;
        QTest::newRow("code test never answered") << QStringList{"--silent", "test:once"} << ok << false
                                                  << "Code Test Failed" << Extra::StoppedInLoop
                                                  << Retry::Succeeds;
        QTest::newRow("no second identification") << QStringList{"--silent", "idn@2"} << ok << false
                                                  << "Second Identification Failed" << Extra::None
                                                  << Retry::SucceedsUnchanged;
    }

    void failures() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, password);
        QFETCH(bool, fileMissing);
        QFETCH(QString, message);
        QFETCH(Extra, extra);
        QFETCH(Retry, retry);

        SimProcess sim;
        QVERIFY2(sim.start(e2e::sim_time_scale_args(kFast) + simArgs), qPrintable(sim.errorString()));
        LanOperator op(sim.lanAddress(), fileMissing ? files_.filePath("absent.hex") : firmware_);
        op.type_password(password.toLatin1().constData());
        op.start();

        QCOMPARE(op.messages(), message);
        QVERIFY(orvex::fileprg == nullptr);  // the HEX file is closed on every exit
        QCOMPARE(op.password_message_shown(), extra == Extra::PasswordMessage);
        QCOMPARE(op.file_panel_shown(), extra == Extra::FilePanel);
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 1); }));
        const QJsonObject first = sim.record();
        switch (extra) {
        case Extra::StoppedBeforeErase:
            QVERIFY(!commands(first).contains("ERASE"));
            break;
        case Extra::NoPieceSent:
            QCOMPARE(lan_records(first), 0);
            QCOMPARE(commands(first).mid(commands(first).indexOf("ERASE") + 1), (QStringList{"EXIT", "*IDN?"}));
            QCOMPARE(op.revision_after(), QStringLiteral("V8.10"));
            break;
        case Extra::StoppedInLoop:
            QVERIFY(!commands(first).contains("EXIT"));
            QVERIFY(op.progress() < 100);
            break;
        default:
            break;
        }

        if (extra == Extra::FilePanel) op.dismiss_file_panel();
        op.type_password("MORVANTE");
        op.choose_file(firmware_);
        op.start();
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 2); }));
        QCOMPARE(lock_of(sim.record(), 2), QStringLiteral("granted"));
        switch (retry) {
        case Retry::Succeeds:
            expect_success(op, sim, firmware_);
            break;
        case Retry::SucceedsUnchanged:
            expect_success(op, sim, firmware_, "V8.20");
            break;
        case Retry::Repeats:
            QCOMPARE(op.messages(), message);
            break;
        }
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // Nothing is sent when the connection cannot be made.
    void noConnection_data() {
        QTest::addColumn<QString>("address");  // empty: the unit's own, with the unit stopped
        QTest::newRow("nothing listening") << QString();
        QTest::newRow("group above 255") << "127.0.0.256";
        QTest::newRow("three groups") << "127.0.0";
        QTest::newRow("empty") << " ";
    }

    void noConnection() {
        QFETCH(QString, address);
        SimProcess sim;
        QVERIFY2(sim.start(e2e::sim_time_scale_args(kFast)), qPrintable(sim.errorString()));
        const QString unit = sim.lanAddress();
        if (address.isEmpty()) QVERIFY(sim.stop());

        LanOperator op(address.isEmpty() ? unit : address, firmware_);
        op.start();
        QCOMPARE(op.messages(), QStringLiteral("Failed To Connect"));
        QCOMPARE(op.revision_before(), QString());

        if (address.isEmpty()) {
            QVERIFY2(sim.start(e2e::sim_time_scale_args(kFast) + QStringList{"--lan", unit}),
                     qPrintable(sim.errorString()));
        }
        op.type_address(unit);
        op.start();
        expect_success(op, sim, firmware_);
        // The retry's connection is the only one the unit saw.
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 1); }));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // Another client holds the unit's lock: the refusal is shown as the unit
    // words it, and once that client lets go the retry gets the lock.
    void lockHeldElsewhere_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::newRow("one segment") << QStringList{};
        QTest::newRow("two segments") << QStringList{"--split", "lock"} + kSplitGap;
    }

    void lockHeldElsewhere() {
        QFETCH(QStringList, simArgs);
        SimProcess sim;
        QVERIFY2(sim.start(e2e::sim_time_scale_args(kFast) + simArgs), qPrintable(sim.errorString()));
        LockHolder holder;
        QVERIFY(holder.take(sim));

        LanOperator op(sim.lanAddress(), firmware_);
        op.start();
        QCOMPARE(op.messages(), QString::fromLatin1(kDenied));
        QCOMPARE(op.revision_before(), QString());
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) {
            const QJsonArray list = connections(r);
            return list.size() == 2 && list[0].toObject()["open"].toBool() && !list[1].toObject()["open"].toBool();
        }));
        QCOMPARE(lock_of(sim.record(), 2), QStringLiteral("denied"));

        holder.release();
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 2); }));
        op.start();
        expect_success(op, sim, firmware_);
        QCOMPARE(lock_of(sim.record(), 3), QStringLiteral("granted"));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // Runs that succeed although the address or the replies take unusual forms.
    void unusualButSound_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("zeroPadded");
        QTest::addColumn<bool>("shortFile");

        QTest::newRow("zero-padded address") << QStringList{} << true << false;
        QTest::newRow("identification in two segments") << QStringList{"--split", "idn"} + kSplitGap << false
                                                        << false;
        QTest::newRow("300-byte identification") << QStringList{"--idn-length", "300"} << false << false;
        QTest::newRow("program-mode reply of 6") << QStringList{"--prg-reply", "BUSY\\r\\n"} << false << false;
        // At once, while the Transmit LED of the command is still lit.
        QTest::newRow("erase answered at once") << QStringList{"--erase-ms", "0"} << false << false;
        // The line end of the last acknowledgment comes during the pause after
        // "EXIT": it must not be taken for the identification.
        QTest::newRow("late line end before the identification")
            << QStringList{"--split", "record@2", "--split-gap-ms", "100"} << false << true;
    }

    void unusualButSound() {
        QFETCH(QStringList, simArgs);
        QFETCH(bool, zeroPadded);
        QFETCH(bool, shortFile);
        SimProcess sim;
        QVERIFY2(sim.start(e2e::sim_time_scale_args(kFast) + simArgs), qPrintable(sim.errorString()));
        const QString hex = shortFile ? short_ : firmware_;
        LanOperator op(zeroPadded ? zero_padded(sim.lanAddress()) : sim.lanAddress(), hex);
        op.start();
        expect_success(op, sim, hex);
        QVERIFY(sim.waitForRecord([](const QJsonObject& r) { return all_closed(r, 1); }));
        QVERIFY2(sim.stop(), qPrintable(sim.errorString()));
    }

    // What the connection's callback makes of blocks that do not fit a plain
    // reply: rdbuffer stays a terminated text within its size, and a block
    // that follows is added to the earlier one instead of overwriting it.
    void receivedText_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");  // sent 5 ms later, if any
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("longer than the buffer") << QByteArray(300, 'X') << QByteArray()
                                                << QByteArray(int(orvex::kCommandSize) - 1, 'X');
        QTest::newRow("zero byte") << QByteArray("AB\0CD", 5) << QByteArray() << QByteArray("AB");
        QTest::newRow("two segments") << QByteArray("ORVEX,ZRA") << QByteArray(" 12-34\r\n")
                                      << QByteArray("ORVEX,ZRA 12-34\r\n");
        QTest::newRow("full buffer, then more") << QByteArray(300, 'Y') << QByteArray("Z\r\n")
                                                << QByteArray(int(orvex::kCommandSize) - 1, 'Y');
    }

    void receivedText() {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(QByteArray, expected);
        e2e::set_time_scale(1.0);
        ProgramPanels panels;
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QCOMPARE(runtime::ConnectToTCPServer(&orvex::lan_handle, listener.serverPort(), "127.0.0.1",
                                             orvex::ClientCallback, nullptr, 5000),
                 0);
        QVERIFY(listener.waitForNewConnection(10000));
        QTcpSocket* unit = listener.nextPendingConnection();
        QVERIFY(unit);
        unit->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        orvex::clear(orvex::rdbuffer);
        unit->write(first);
        QVERIFY(unit->flush());
        if (!second.isEmpty()) {
            QTimer::singleShot(5, unit, [&] {
                unit->write(second);
                unit->flush();
            });
        }
        const int length = orvex::get_tcpread();
        QCOMPARE(QByteArray(orvex::rdbuffer), expected);
        QCOMPARE(length, expected.size());
        QCOMPARE(orvex::rdbuffer[orvex::kCommandSize - 1], '\0');
        runtime::DisconnectFromTCPServer(orvex::lan_handle);
    }
};

QTEST_MAIN(LanUploadTest)
#include "test_lan.moc"
