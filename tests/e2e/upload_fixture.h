// One upload as the operator makes it: the program's own panel and code in
// this process, the unit simulator as a separate process across the bus.
#pragma once

#include <QtTest>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

#include <vector>

#include "hex_stream.h"
#include "program_fixture.h"
#include "sim_process.h"
#include "upload.h"

using orvex::test::SimProcess;

// Starts and stops the unit, checks its flash against a HEX file, and waits
// until the unit's record meets `condition` (a QJsonObject `r` in scope),
// showing the last record when it never does.
#define E2E_START(sim, ...) QVERIFY2((sim).start(__VA_ARGS__), qPrintable((sim).errorString()))
#define E2E_STOP(sim) QVERIFY2((sim).stop(), qPrintable((sim).errorString()))
#define E2E_FLASH_HOLDS(sim, hex)                              \
    do {                                                       \
        QString v_;                                            \
        QVERIFY2((sim).verifyFlash(hex, &v_), qPrintable(v_)); \
    } while (0)
#define E2E_WAIT_RECORD(sim, ...)                                                                       \
    QVERIFY2((sim).waitForRecord([&](const QJsonObject& r) { return __VA_ARGS__; }, e2e::kRecordLimit), \
             qPrintable(e2e::dump((sim).record())))

namespace e2e {

constexpr std::chrono::milliseconds kRecordLimit{30000};
const QString kOkTest = QStringLiteral("OK TEST");
const QString kPassword = QStringLiteral("MORVANTE");
const QString kOldRevision = QStringLiteral("V8.10");
const QString kNewRevision = QStringLiteral("V8.20");
constexpr int kPieceBytes = 63;  // the program sends a file in pieces of at most this many bytes

// Shrinks every pause and time-out of program, GPIB driver and simulator; 1.0 is real time.
inline void set_time_scale(double scale) {
    runtime::SetTimeScale(scale);
    qputenv("ORVEX_GPIB_TIME_SCALE", QByteArray::number(scale, 'g', 6));
}

inline QStringList sim_time_scale_args(double scale) {
    return {QStringLiteral("--time-scale"), QString::number(scale, 'g', 6)};
}

inline QString dump(const QJsonObject& object) { return QString::fromUtf8(QJsonDocument(object).toJson()); }

// What the unit logged of one bus ("serial", "lan", "gpib"): its commands and records.
inline QJsonObject link_of(const QJsonObject& record, const char* bus) {
    return record["transports"].toObject()[QLatin1String(bus)].toObject();
}
inline QStringList heard(const QJsonObject& record, const char* bus) {
    return link_of(record, bus)["commands"].toVariant().toStringList();
}

inline std::vector<QByteArray> file_lines(const QString& path) {
    QFile file(path);
    std::vector<QByteArray> lines;
    if (!file.open(QIODevice::ReadOnly)) return lines;
    while (!file.atEnd()) lines.push_back(file.readLine());
    return lines;
}

inline bool write_lines(const QString& path, const std::vector<QByteArray>& lines) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    for (const QByteArray& line : lines) file.write(line);
    return file.flush();
}

inline QByteArray without_line_end(QByteArray line) {
    while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
    return line;
}

// A file's non-empty lines that are no records and begin with one of `starts` (any, if empty).
inline QStringList non_record_lines(const QString& path, const QByteArray& starts = {}) {
    QStringList lines;
    for (const QByteArray& line : file_lines(path)) {
        const QByteArray text = without_line_end(line);
        if (!text.isEmpty() && !text.startsWith(':') && (starts.isEmpty() || starts.contains(text[0])))
            lines << QString::fromLatin1(text);
    }
    return lines;
}

inline int record_count(const QString& path) {
    int records = 0;
    for (const QByteArray& line : file_lines(path)) records += line.startsWith(':') ? 1 : 0;
    return records;
}

// True when this process still holds `path` open.
inline bool held_open(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo& fd :
         QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot))
        if (!target.isEmpty() && fd.symLinkTarget() == target) return true;
    return false;
}

// Writes a HEX file of `records` records (see SimProcess::makeHex).
inline QString make_hex(const QTemporaryDir& dir, const QString& name, int records,
                        const QStringList& args = {}) {
    return SimProcess::makeHex(dir.filePath(name), records, args);
}

// Accepts every message box that comes up while it lives (a modal pop-up
// would otherwise hold the run), keeping each one's title.
class PopupWatcher {
public:
    PopupWatcher() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { sweep(); });
        timer_.start(std::chrono::milliseconds(10));
    }
    QStringList titles() const { return titles_; }

private:
    void sweep() {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(window);
            if (box == nullptr || !box->isVisible()) continue;
            titles_ << box->windowTitle();
            box->accept();
        }
    }
    QTimer timer_;
    QStringList titles_;
};

// An input START must refuse before any port, board or connection is opened.
struct Refusal {
    QString file;
    QByteArray password;  // UTF-8; empty: the field's default
    QString message;      // the Messages field afterwards
    QString detail;       // a part of the detail line
    bool popup = false;   // the "HEX File Refused" pop-up came up
    bool filePanel = false;
};

// A HEX file refused at one line, or as a whole.
inline Refusal refused_line(const QString& file, int line, const QString& what) {
    return {file,
            {},
            QStringLiteral("HEX File Refused: line %1").arg(line),
            QStringLiteral("%1 line %2, column %3").arg(QFileInfo(file).fileName()).arg(line).arg(what),
            true};
}
inline Refusal refused_file(const QString& file, const char* reason, const char* what) {
    return {file,
            {},
            QStringLiteral("HEX File Refused: ") + QLatin1String(reason),
            QFileInfo(file).fileName() + QLatin1Char(' ') + QLatin1String(what),
            true};
}

// A HEX file refused at its first line that does not fit one piece.
inline Refusal refused_long_line(const QString& file) {
    const std::vector<QByteArray> lines = file_lines(file);
    const auto long_line = std::find_if(lines.begin(), lines.end(),
                                        [](const QByteArray& line) { return line.size() > kPieceBytes; });
    if (long_line == lines.end()) return {};
    return refused_line(
        file, int(long_line - lines.begin()) + 1,
        QStringLiteral("%1: the line is %2 bytes long").arg(kPieceBytes + 1).arg(long_line->size()));
}

// The panel, arranged for one bus, with the HEX file chosen.
class Operator {
public:
    void choose_bus(int menu_item) { QVERIFY(runtime::TriggerMenu(orvex::update_handle, menu_item)); }
    void choose_file(const QString& path) {
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_FILE_NAME,
                            QFileInfo(path).absoluteFilePath().toLocal8Bit().constData());
    }
    void type_password(const QString& password) {
        runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_PASSWORD, password.toLatin1().constData());
    }
    // Presses START; the whole run happens inside the press. Returns its length in ms.
    qint64 start() {
        orvex::run.failure = 0;
        QElapsedTimer clock;
        clock.start();
        press_start();
        [] { QCOMPARE(orvex::run.programming, 0); }();
        return clock.elapsed();
    }

    QString messages() const { return text_of(ids::UPDATE_ERR); }
    QString revision_before() const { return text_of(ids::UPDATE_REVISION); }
    QString revision_after() const { return text_of(ids::UPDATE_CURRENTREV); }
    int progress() const { return value_of(ids::UPDATE_NUMERICSLIDE); }
    bool password_message_shown() const { return visible(ids::UPDATE_PASSMSG); }
    bool file_panel_shown() const { return runtime::PanelWindow(orvex::file_handle)->isVisible(); }
    void dismiss_file_panel() { runtime::HidePanel(orvex::file_handle); }

    // A complete run as the panel shows it; OK TEST when the revision changed.
    void expect_updated(const QString& before = kOldRevision, const QString& after = kNewRevision) const {
        QCOMPARE(orvex::run.failure, 0);
        QCOMPARE(revision_before(), before);
        QCOMPARE(revision_after(), after);
        QCOMPARE(text_of(ids::UPDATE_MODEL), QStringLiteral("ZRA 12-34"));
        QCOMPARE(text_of(ids::UPDATE_SERIAL), QStringLiteral("A123"));
        QCOMPARE(progress(), 100);
        QCOMPARE(messages(), before != after ? kOkTest : QString());
    }

    // The password as typed, past the field's length limit.
    void force_password(const QByteArray& utf8) {
        auto* field =
            qobject_cast<QLineEdit*>(runtime::ControlWidget(orvex::update_handle, ids::UPDATE_PASSWORD));
        QVERIFY(field != nullptr);
        field->setMaxLength(utf8.size() + 1);
        field->setText(QString::fromUtf8(utf8));
    }

    // START with `refusal`'s inputs: refused as it says, nothing left open.
    void expect_refused(const Refusal& refusal) {
        if (!refusal.password.isEmpty()) force_password(refusal.password);
        choose_file(refusal.file);
        PopupWatcher popups;
        start();
        QCOMPARE(orvex::last_outcome, orvex::Outcome::InputRefused);
        QCOMPARE(messages(), refusal.message);
        const QString detail = QString::fromUtf8(text_of_utf8(ids::UPDATE_DETAIL));
        QVERIFY2(detail.contains(refusal.detail), qPrintable(detail));
        QCOMPARE(popups.titles(), refusal.popup ? QStringList{"HEX File Refused"} : QStringList{});
        QCOMPARE(file_panel_shown(), refusal.filePanel);
        QCOMPARE(revision_before(), QString());
        QVERIFY(orvex::firmware.fileprg == nullptr);
        QVERIFY(!held_open(refusal.file));
        dismiss_file_panel();
    }

private:
    static QByteArray text_of_utf8(int control) {
        char text[512] = {};
        runtime::GetCtrlVal(orvex::update_handle, control, text);
        return text;
    }
    ProgramPanels panels_;
};

// The unit's record after a refused run: no command, record, port opening,
// connection or GPIB client on any bus. Names what the unit met, else empty.
inline QString touches(const QJsonObject& record) {
    QStringList met;
    for (const char* bus : {"serial", "lan", "gpib"}) {
        const QJsonObject link = link_of(record, bus);
        if (!heard(record, bus).isEmpty() || link["records"].toInt() != 0 ||
            !link["unknown"].toArray().isEmpty())
            met << QLatin1String(bus) + QLatin1String(" commands");
    }
    if (record["serialPort"].toObject()["opens"].toInt() != 0) met << "a port opening";
    if (!record["lan"].toObject()["connections"].toArray().isEmpty()) met << "a connection";
    const QJsonObject gpib = record["gpib"].toObject();
    if (gpib["clients"].toInt() != 0 || gpib["writes"].toInt() != 0 || gpib["interfaceClears"].toInt() != 0)
        met << "GPIB traffic";
    if (record["erased"].toBool() || record["unlocked"].toBool()) met << "an erase or unlock";
    return met.isEmpty() ? QString() : met.join(", ") + "\n" + dump(record);
}

// Stops the unit and checks that it met nothing at all.
inline void expect_untouched(SimProcess& sim) {
    E2E_STOP(sim);
    const QString touched = touches(sim.record());
    QVERIFY2(touched.isEmpty(), qPrintable(touched));
}

// Every input refused on each bus: HEX files the unit could not take whole,
// passwords that cannot be sent as typed, paths that would be cut, a file
// that cannot be opened. Rows of a `_data` function, column "refusal".
inline void add_refusal_rows(const QTemporaryDir& dir) {
    QTest::addColumn<Refusal>("refusal");
    const QString good = make_hex(dir, "refused_good.hex", 20);
    QVERIFY(!good.isEmpty());
    const std::vector<QByteArray> lines = file_lines(good);

    const QString wide = make_hex(dir, "refused_wide.hex", 20, {"--data-bytes", "32"});
    QVERIFY(!wide.isEmpty());
    QTest::newRow("32-byte records") << refused_long_line(wide);

    // Cut in the middle of the tenth line, as an interrupted copy leaves it.
    const QString truncated = dir.filePath("refused_truncated.hex");
    std::vector<QByteArray> kept(lines.begin(), lines.begin() + 10);
    kept.back().chop(kept.back().size() / 2);
    QVERIFY(write_lines(truncated, kept));
    QTest::newRow("truncated file") << refused_line(truncated, 10, {});

    const QString checksum = dir.filePath("refused_checksum.hex");
    kept = lines;
    QByteArray& victim = kept[6];
    const qsizetype last_digit = without_line_end(victim).size() - 1;
    victim[last_digit] = victim[last_digit] == '0' ? '1' : '0';
    QVERIFY(write_lines(checksum, kept));
    QTest::newRow("bad checksum") << refused_line(checksum, 7, {});

    // Padded to a block, as some tools write it.
    const QString padded = dir.filePath("refused_padded.hex");
    kept = lines;
    kept.push_back(QByteArray(64, '\0'));
    QVERIFY(write_lines(padded, kept));
    QTest::newRow("NUL padding") << refused_line(padded, int(lines.size()) + 1, "1: a NUL byte");

    const QString empty = dir.filePath("refused_empty.hex");
    QVERIFY(write_lines(empty, {}));
    QTest::newRow("empty file") << refused_file(empty, "empty file", "is empty");

    const QString endless = dir.filePath("refused_endless.hex");
    QVERIFY(write_lines(endless, std::vector<QByteArray>(lines.begin(), lines.end() - 1)));
    QTest::newRow("no end record") << refused_file(endless, "no end-of-file record",
                                                   "has no end-of-file record");

    // A comment line sent in pieces, one of which the unit would take for a record.
    const QString record_piece = dir.filePath("refused_record_piece.hex");
    kept = lines;
    kept.insert(kept.begin() + 2, "; " + QByteArray(61, '=') + without_line_end(lines[0]) + "\r\n");
    QVERIFY(write_lines(record_piece, kept));
    QTest::newRow("comment with a piece that begins like a record")
        << refused_line(record_piece, 3,
                        "64: the line is longer than 63 bytes, and its piece that begins here "
                        "with \":\" would be taken for a record");

    const QString folder = dir.filePath("refused_folder.hex");
    QVERIFY(QDir().mkpath(folder));
    QTest::newRow("a folder") << refused_file(folder, "read error", "cannot be read to its end");

    const QString password_detail =
        QStringLiteral("the password must be at most 19 printable ASCII characters");
    QTest::newRow("password with a non-ASCII character")
        << Refusal{good, "MORV\xC3\x84NTE", "Password Not Sendable", password_detail};
    QTest::newRow("password of 20 bytes")
        << Refusal{good, "ABCDEFGHIJKLMNOPQRST", "Password Not Sendable", password_detail};

    QFile source(good);
    QVERIFY(source.open(QIODevice::ReadOnly));
    const QString overlong = overlong_multibyte_path(dir, source.readAll());
    QVERIFY(!overlong.isEmpty());
    QTest::newRow("path longer than its buffer in bytes")
        << Refusal{overlong, {}, {}, "the file path is longer than 259 bytes", false, true};
    QTest::newRow("file missing") << Refusal{dir.filePath("absent.hex"),    {},    {},
                                             "absent.hex cannot be opened", false, true};
}

}  // namespace e2e

Q_DECLARE_METATYPE(e2e::Refusal)
