// Complete updates through the program's own panel in this process, against the unit simulator: one in
// real time per bus, the others at a test time scale, with files and replies of every shape. What the unit
// heard, the flash, the pauses, the port, connection or board afterwards; then the inputs that START
// refuses before any bus is touched. ORVEX_RUN_BUS names one bus ("RS-232", "LAN", "GPIB"; all if unset).
#include <QCryptographicHash>

#include "gpib.h"
#include "operator.h"
#include "run_observers.h"

using namespace orvex::test;

namespace {

constexpr int kRecords = 41;

QByteArrayList lines_of(const QString& path) {
    QFile file(path);
    QByteArrayList lines;
    if (file.open(QIODevice::ReadOnly))
        while (!file.atEnd()) lines << file.readLine();
    return lines;
}
bool write_lines(const QString& path, const QByteArrayList& lines) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(lines.join()) >= 0;
}
// The file's lines that are no records: its code tests, and its comments if `comments`.
QStringList commands_in(const QString& path, bool comments) {
    QStringList lines;
    for (const QByteArray& line : lines_of(path))
        if (!line.startsWith(':') && (comments || !line.startsWith(';')))
            lines << QString::fromLatin1(line.trimmed());
    return lines;
}
// The pieces of 63 bytes GPIB sends for a file, and those that are code tests.
int pieces_in(const QString& path, bool code_tests_only = false) {
    int count = 0;
    for (const QByteArray& line : lines_of(path))
        for (qsizetype from = 0; from < line.size(); from += 63)
            count += !code_tests_only || line[from] == 'T' || line[from] == 't';
    return count;
}

// Cuts the file on disk once Messages shows "Setting Up - Please Wait": after
// START read it, before a byte of it went out.
QString g_cut_path;
void cut_when_setting_up(const char* text) {
    if (g_cut_path.isEmpty() || QByteArray(text) != "Setting Up - Please Wait") return;
    QVERIFY(QFile::resize(g_cut_path, QFileInfo(g_cut_path).size() / 2));
    g_cut_path.clear();
}

struct Run {
    Bus bus;
    QStringList unit;
    QString file;         // of the files made by initTestCase
    double pauses_s = 0;  // the run's own pauses, at the unit's pace
    double scale = 0.05;  // 1.0: real time
    QString after = "V8.20";
    bool cut = false;  // the file is cut on disk during the run
};

}  // namespace

Q_DECLARE_METATYPE(Run)
Q_DECLARE_METATYPE(Bus)

class RunsTest : public QObject {
    Q_OBJECT

    QTemporaryDir files_;
    QMap<QString, QString> hex_;
    std::vector<Bus> buses_;
    std::map<QString, qint64> run_ms_;

    bool on(Bus bus) const { return std::find(buses_.begin(), buses_.end(), bus) != buses_.end(); }

private slots:
    void initTestCase() {
        QVERIFY(files_.isValid());
        for (Bus bus : kBuses)
            if (qEnvironmentVariable("ORVEX_RUN_BUS", bus_name(bus)) == bus_name(bus)) buses_.push_back(bus);
        const std::pair<const char*, QStringList> shapes[] = {
            {"plain", {}}, {"lf", {"--line-end", "lf"}}, {"tests", {"--test-lines", "2"}}, {"short", {}}};
        for (const auto& [name, args] : shapes)
            hex_[name] = Unit::make_hex(files_.filePath(QString(name) + ".hex"),
                                        name == QString("short") ? 3 : kRecords, args);
        QVERIFY(!hex_.values().contains(QString()));
        // A comment of 165 bytes goes out in three pieces, none of which begins like a record or a code test.
        QByteArrayList lines = lines_of(hex_["tests"]);
        lines.insert(lines.begin() + 3, "; built for the ZRA family " + QByteArray(136, '=') + "\r\n");
        hex_["comment"] = files_.filePath("comment.hex");
        QVERIFY(write_lines(hex_["comment"], lines));
        QVERIFY(orvex::add_run_observer({nullptr, cut_when_setting_up, nullptr}));
    }

    void completeRuns_data() {
        QTest::addColumn<Run>("run");
        // The pauses: RS-232 reset 1 s, restart 10 s, re-opening 2 s, release 1 s and 0.5 s around
        // each re-opening while programming; LAN reset 1 s, erase 5 s, restart 12 s; GPIB restart 10 s.
        const double rs232 = 16.0, lan = 18.0, gpib = 10.0;
        const QString idn = "ORVEX,ZRA 12-34,01/01/2010,A123,V8.10";
        // clang-format off
        const std::pair<const char*, Run> runs[] = {
            {"RS-232, real time", {Bus::Rs232, {}, "tests", rs232, 1.0}},
            {"RS-232, LF line ends", {Bus::Rs232, {}, "lf", rs232}},
            // A short answer draws a second read, which finds nothing and fails nothing.
            {"RS-232, short code test answers", {Bus::Rs232, {"--test-reply", "OK\\r\\n"}, "tests", rs232 + 20}},
            {"RS-232, code test answers of two lines",
             {Bus::Rs232, {"--test-reply", "OK\\r\\nDONE\\r\\n"}, "tests", rs232}},
            // 255 bytes and the line feed fill the reply buffer up to its terminator.
            {"RS-232, identification filling the reply buffer",
             {Bus::Rs232, {"--idn-length", "256"}, "plain", rs232}},
            {"RS-232, long comment line", {Bus::Rs232, {}, "comment", rs232}},
            {"RS-232, file cut on disk during the run", {Bus::Rs232, {}, "tests", rs232, 0.05, "V8.20", true}},
            {"LAN, real time", {Bus::Lan, {}, "tests", lan, 1.0}},
            {"LAN, identification in two segments", {Bus::Lan, {"--split", "idn", "--split-gap-ms", "5"}, "tests", lan}},
            {"LAN, identification of 300 bytes", {Bus::Lan, {"--idn-length", "300"}, "tests", lan}},
            {"LAN, programming-mode reply of 6", {Bus::Lan, {"--prg-reply", "BUSY\\r\\n"}, "tests", lan}},
            {"LAN, erase answered while the LED is lit", {Bus::Lan, {"--erase-ms", "0"}, "tests", lan}},
            // The last acknowledgment's line end, late in the EXIT pause, is no identification.
            {"LAN, late line end before the identification",
             {Bus::Lan, {"--split", "record@2", "--split-gap-ms", "100"}, "short", lan}},
            // An acknowledgment is complete at its first byte: one without a
            // line end must not hold up each record.
            {"LAN, acknowledgments with line end", {Bus::Lan, {}, "plain", lan}},
            {"LAN, acknowledgments without line end", {Bus::Lan, {"--ack-without-line-end"}, "plain", lan}},
            {"LAN, long comment line", {Bus::Lan, {}, "comment", lan}},
            {"LAN, file cut on disk during the run", {Bus::Lan, {}, "tests", lan, 0.05, "V8.20", true}},
            {"GPIB, real time", {Bus::Gpib, {}, "tests", gpib, 1.0}},
            // The rest of a long answer is never read: the next command makes the unit drop it.
            {"GPIB, answer longer than 255 bytes", {Bus::Gpib, {"--idn-length", "300"}, "plain", gpib, 0.02}},
            {"GPIB, answer without line end", {Bus::Gpib, {"--idn-reply", idn}, "plain", gpib, 0.02, "V8.10"}},
            {"GPIB, long comment line", {Bus::Gpib, {}, "comment", gpib, 0.02}},
            {"GPIB, file cut on disk during the run", {Bus::Gpib, {}, "tests", gpib, 0.02, "V8.20", true}},
        };
        // clang-format on
        for (const auto& [name, run] : runs)
            if (on(run.bus)) QTest::newRow(name) << run;
    }
    void completeRuns() {
        QFETCH(Run, run);
        const QString original = hex_[run.file];
        QString hex = original;
        if (run.cut) {
            hex = g_cut_path = files_.filePath(QStringLiteral("cut-%1.hex").arg(bus_name(run.bus)));
            QVERIFY(write_lines(hex, lines_of(original)));
        }
        const QByteArray content = lines_of(original).join();

        Unit unit(run.scale);
        QVERIFY2(unit.start(run.unit), qPrintable(unit.error()));
        Operator op;
        op.aim(unit, run.bus, hex);
        // A board left at a shorter time-out by an earlier program: the sequence sets its own.
        if (run.bus == Bus::Gpib) gpib::ibtmo(0, gpib::T1s);
        const runtime::LowLatencyRequests asked = runtime::LowLatencyRequestCount();
        const qint64 run_ms = op.start();
        QVERIFY(g_cut_path.isEmpty());
        op.expect_updated("V8.10", run.after);
        QCOMPARE(op.last_record()["outcome"].toString(),
                 QString(run.after == "V8.20" ? "updated" : "unchanged"));
        QCOMPARE(op.last_record()["file_size"].toInteger(), content.size());
        QCOMPARE(op.last_record()["file_sha256"].toString().toLatin1(),
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        QVERIFY(!held_open(hex));
        QVERIFY2(run_ms >= run.pauses_s * run.scale * 1000, qPrintable(QString::number(run_ms)));
        run_ms_[QTest::currentDataTag()] = run_ms;

        // The run as the unit saw it, once it is offline again. LAN does not send comments.
        QStringList heard = QStringList{run.bus == Bus::Lan ? "\\x12" : "",
                                        "*RST",
                                        "*IDN?",
                                        ":SYST:PASS:CEN MORVANTE",
                                        ":syst:pass:stat?",
                                        "DIAG:PRG",
                                        "ERASE"} +
                            commands_in(original, run.bus != Bus::Lan) +
                            QStringList{"EXIT", "*IDN?", run.bus == Bus::Rs232 ? "syst:rem 0" : ""};
        heard.removeAll("");  // the lock only on LAN, the release only on RS-232
        QVERIFY2(unit.wait_for([&](const QJsonObject& r) {
            return unit.heard(run.bus) == heard && r["gpib"].toObject()["connected"].toInt() == 0;
        }),
                 qPrintable(unit.heard(run.bus).join('|')));
        QVERIFY2(unit.stop(), qPrintable(unit.error()));
        QString verdict;
        QVERIFY2(unit.expect_flash(original, &verdict), qPrintable(verdict));
        const QJsonObject record = unit.record();
        QCOMPARE(unit.link(run.bus)["records"].toInt(),
                 lines_of(original).size() - commands_in(original, true).size());
        QCOMPARE(record["records"].toObject()["invalid"].toInt(), 0);
        // The comment is no command: skipped over serial and GPIB, not sent on LAN.
        const QString unknown = QJsonDocument(unit.link(run.bus)["unknown"].toArray()).toJson();
        QCOMPARE(unknown.contains("; built for the ZRA family"),
                 run.file == "comment" && run.bus != Bus::Lan);

        if (run.bus == Bus::Rs232) {
            // Opened, re-opened once the progress passed 33 % and 67 %, and after
            // EXIT; each opening asks for low latency, which a pty refuses.
            const QJsonObject port = record["serialPort"].toObject();
            const auto latency = runtime::LowLatencyRequestCount();
            QCOMPARE(QList<qint64>({port["opens"].toInt(), port["closes"].toInt(),
                                    port["repliesLostWhileClosed"].toInt(), latency.asked - asked.asked,
                                    latency.granted - asked.granted}),
                     QList<qint64>({4, 4, 0, 4, 0}));
            QCOMPARE(runtime::ComWrt(1, nullptr, 0) == 0, false);  // the port is closed
            const QJsonArray events = port["events"].toArray();
            const auto at = [&](int i) { return events[i].toObject()["atMs"].toInteger(); };
            const auto records_at = [&](int i) { return events[i].toObject()["records"].toInt(); };
            QVERIFY(records_at(1) > kRecords / 3 - 2 && records_at(1) < kRecords / 2);
            QVERIFY(records_at(3) > 2 * kRecords / 3 - 2 && records_at(3) < 5 * kRecords / 6);
            // 0.5 s before each re-opening, 10 s for the restart: generous.
            for (const auto& [from, least_ms] : {std::pair{1, 250}, {3, 250}, {5, 9000}})
                QVERIFY2(at(from + 1) - at(from) >= least_ms * run.scale,
                         qPrintable(QString::number(at(from + 1) - at(from))));
        }
        if (run.bus == Bus::Lan) {
            QCOMPARE(record["lan"].toObject()["connections"].toArray().size(), 1);
            QVERIFY(!record["lan"].toObject()["connections"].toArray()[0].toObject()["open"].toBool());
            // Within half as much again as the run with line ends: a wait for
            // each missing line end would add seconds.
            if (QTest::currentDataTag() == QString("LAN, acknowledgments without line end"))
                QVERIFY(run_ms <= run_ms_["LAN, acknowledgments with line end"] * 3 / 2);
        }
        if (run.bus == Bus::Gpib) {
            // Everything goes out with EOI, every read waits T10s at most, a read
            // follows each code-test piece, both interface clears came.
            const QJsonObject board = record["gpib"].toObject();
            QCOMPARE(
                QList<int>({board["interfaceClears"].toInt(), board["writes"].toInt(),
                            board["writesWithoutEoi"].toInt(), board["readTimeouts"].toInt(),
                            board["unreadDiscarded"].toInt()}),
                QList<int>({2, 8 + pieces_in(original), 0, 0, run.unit.contains("300") ? 300 - 255 : 0}));
            const QJsonArray timeouts = board["readTimeoutsMs"].toArray();
            QCOMPARE(timeouts.size(), 5 + pieces_in(original, true));
            for (const auto& timeout : timeouts) QCOMPARE(timeout.toInt(), qRound(10000 * run.scale));
        }
    }

    // Inputs refused before any port, board or connection is opened: the
    // operator is told, and the unit meets nothing. Each row on one bus.
    void refusedInputs_data() {
        QTest::addColumn<Bus>("bus");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("password");  // UTF-8; empty: the default
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("detail");  // a part of the detail line
        QTest::addColumn<bool>("popup");      // the "HEX File Refused" pop-up came up
        // Each kind of refusal once; the file check's own tests hold every reason.
        QByteArrayList sum = lines_of(hex_["plain"]), endless = sum, piece = sum;
        sum[6].replace(sum[6].size() - 3, 1, sum[6].at(sum[6].size() - 3) == '0' ? "1" : "0");
        endless.pop_back();
        piece.insert(piece.begin() + 2, "; " + QByteArray(61, '=') + sum[0]);
        const QString files[] = {files_.filePath("sum.hex"), files_.filePath("endless.hex"),
                                 files_.filePath("piece.hex"), files_.filePath("folder.hex")};
        QVERIFY(write_lines(files[0], sum) && write_lines(files[1], endless) && write_lines(files[2], piece));
        QVERIFY(QDir().mkpath(files[3]));
        const QString wide = Unit::make_hex(files_.filePath("wide.hex"), 20, {"--data-bytes", "32"});
        // A path whose UTF-8 form overflows the 259-byte path buffer while its characters fit the field,
        // and a file at the path the buffer would cut it to: a cut path would name that other file.
        const QString folder = files_.filePath(QString(100, QChar(0x00E9)));  // two bytes each in UTF-8
        const QString cut = folder + '/' + QString(259 - folder.toUtf8().size() - 1, 'x');
        QVERIFY(QDir().mkpath(folder) && write_lines(cut, {sum[0]}) && !wide.isEmpty());
        const QString overlong = cut + QString(5, QChar(0x00E9)) + ".hex";
        const QString refused = "HEX File Refused: ", unsendable = "Password Not Sendable";
        const char* password = "the password must be at most 19 printable ASCII characters";
        // clang-format off
        const std::tuple<const char*, QString, QByteArray, QString, QString, bool> rows[] = {
            {"bad checksum", files[0], {}, refused + "line 7", "sum.hex line 7, column 42: checksum", true},
            {"no end record", files[1], {}, refused + "no end-of-file record", "endless.hex has no end-of", true},
            // Lines that would reach the unit cut into pieces, one of which it would take for a record.
            {"records of 32 bytes", wide, {}, refused + "line 1", "wide.hex line 1, column 64", true},
            {"comment with a piece that begins like a record", files[2], {}, refused + "line 3",
             "piece.hex line 3, column 64: the line is longer than 63 bytes, and its piece", true},
            {"a folder", files[3], {}, refused + "read error", "folder.hex cannot be read to its end", true},
            {"password with a non-ASCII character", hex_["plain"], "MORV\xC3\x84NTE", unsendable, password, false},
            {"password of 20 bytes", hex_["plain"], "ABCDEFGHIJKLMNOPQRST", unsendable, password, false},
            {"path longer than its buffer in bytes", overlong, {}, "", "the file path is longer than 259", false},
            {"file missing", files_.filePath("absent.hex"), {}, "", "absent.hex cannot be opened", false},
        };
        // clang-format on
        for (int next = 0; const auto& [name, file, typed, message, detail, popup] : rows)
            if (const Bus bus = kBuses[next++ % 3]; on(bus))
                QTest::addRow("%s: %s", bus_name(bus), name)
                    << bus << file << typed << message << detail << popup;
    }
    void refusedInputs() {
        QFETCH(Bus, bus);
        QFETCH(QString, file);
        QFETCH(QByteArray, password);
        QFETCH(QString, message);
        QFETCH(QString, detail);
        QFETCH(bool, popup);
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Operator op;
        op.aim(unit, bus, file);
        if (!password.isEmpty()) op.force_password(password);
        op.start();
        QCOMPARE(op.last_record()["outcome"].toString(), "input-refused");
        QCOMPARE(op.messages(), message);
        QVERIFY2(op.detail().contains(detail), qPrintable(op.detail()));
        QTRY_COMPARE(op.popups(), popup ? QStringList{"HEX File Refused"} : QStringList{});
        // A file that cannot be opened brings up the file panel.
        QCOMPARE(op.file_panel_shown(), message.isEmpty());
        QCOMPARE(op.revision_before(), QString());
        QVERIFY(!held_open(file));
        QVERIFY(unit.stop());
        QCOMPARE(unit.touches(), QString());
    }

    // Addresses that reach nothing are refused before a connection; a
    // zero-padded one is read as decimal.
    void lanAddresses_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("detail");
        for (const auto& [name, address, detail] :
             {std::tuple{"group above 255", "127.0.0.256", "127.0.0.256 is not a valid address"},
              {"three groups", "127.0.0", "127.0.0 is not a valid address"},
              {"empty", " ", "no address given"},
              {"zero-padded", "padded", ""}})
            QTest::newRow(name) << QString(address) << QString(detail);
    }
    void lanAddresses() {
        QFETCH(QString, address);
        QFETCH(QString, detail);
        if (!on(Bus::Lan)) QSKIP("LAN runs in another process");
        Unit unit;
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Operator op;
        op.aim(unit, Bus::Lan, hex_["short"]);
        QStringList padded;
        for (const QString& group : unit.lan_address().split('.')) padded << group.rightJustified(3, '0');
        set_text(ids::UPDATE_IPADDR, address == "padded" ? padded.join('.') : address);
        op.start();
        if (detail.isEmpty()) return op.expect_updated();
        QCOMPARE(op.messages(), "Failed To Connect");
        QCOMPARE(op.detail(), detail);
        QVERIFY(unit.stop());
        QCOMPARE(unit.touches(), QString());
    }

    // Run in processes of their own whose library path holds no usable
    // driver: the detail line says what is wrong (ORVEX_E2E_EXPECTED_CAUSE);
    // a driver put there meanwhile (ORVEX_E2E_EMPTY_DRIVER_DIR) is loaded by the next run.
    void driverLibrary() {
        const QString cause = qEnvironmentVariable("ORVEX_E2E_EXPECTED_CAUSE");
        if (cause.isEmpty()) QSKIP("run by its own CTest entries");
        Unit unit(0.02);
        QVERIFY2(unit.start(), qPrintable(unit.error()));
        Operator op;
        op.aim(unit, Bus::Gpib, hex_["short"]);
        op.start();
        QCOMPARE(op.messages(), "Unit Not Responding");
        QVERIFY2(op.detail().contains(cause), qPrintable(op.detail()));
        QCOMPARE(unit.record()["gpib"].toObject()["clients"].toInt(), 0);
        const QString directory = qEnvironmentVariable("ORVEX_E2E_EMPTY_DRIVER_DIR");
        if (directory.isEmpty()) return;
        const QString installed = QDir(directory).filePath("libgpib.so.0");
        QFile::remove(installed);
        const auto remove = qScopeGuard([&] { QFile::remove(installed); });
        QVERIFY(QFile::link(QStringLiteral(ORVEX_GPIB_DRIVER_FILE), installed));
        op.start();
        op.expect_updated();
    }
};

QTEST_MAIN(RunsTest)
#include "test_runs.moc"
