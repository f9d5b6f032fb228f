// One upload as the operator makes it: the program's own panel and code in
// this process, the unit simulator as a separate process across the bus.
#pragma once

#include <QtTest>

#include <vector>

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

private:
    ProgramPanels panels_;
};

}  // namespace e2e
