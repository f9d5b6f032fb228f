// What a run reports on every bus when the unit or the file does not behave:
// a refused erase is never an update, whatever the unit says after it; the
// unit gets the file as START checked it, however the file changes on disk;
// long comment lines pass where no piece of them could pass for a record.
#include <QCryptographicHash>

#include "display.h"
#include "run_observers.h"
#include "update_record.h"
#include "upload_fixture.h"

namespace {

constexpr double kScale = 0.05;
constexpr int kRecords = 40;

struct BusCase {
    const char* name;
    int menu_item;
    const char* link;  // as the unit's record names it
};
const BusCase kBuses[] = {
    {"RS-232", ids::MENUBAR_BUSSELEC_SERIAL, "serial"},
    {"LAN", ids::MENUBAR_BUSSELEC_LAN, "lan"},
    {"GPIB", ids::MENUBAR_BUSSELEC_GPIB, "gpib"},
};

// The panel pointed at `sim` on `bus`, with `hex` chosen.
void aim(e2e::Operator& op, const SimProcess& sim, const BusCase& bus, const QString& hex) {
    sim.exportEnvironment();
    op.choose_bus(bus.menu_item);
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_COMPORTS, sim.comNumber());
    runtime::SetCtrlVal(orvex::update_handle, ids::UPDATE_IPADDR, sim.lanAddress().toLatin1().constData());
    op.choose_file(hex);
}

QString detail_line() { return text_of(ids::UPDATE_DETAIL); }

// Cuts the file in place, after its first `lines` lines, once Messages shows
// "Setting Up - Please Wait": after START read it, before a byte went out.
struct CutOnDisk {
    QString path;
    int lines = 0;
};
CutOnDisk g_cut;

void cut_when_setting_up(const char* text) {
    if (g_cut.path.isEmpty() || QByteArray(text) != "Setting Up - Please Wait") return;
    qint64 size = 0;
    const std::vector<QByteArray> lines = e2e::file_lines(g_cut.path);
    for (int i = 0; i < g_cut.lines; ++i) size += lines[std::size_t(i)].size();
    QVERIFY(QFile::resize(g_cut.path, size));
    g_cut.path.clear();
}

}  // namespace

class OutcomesTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QString firmware_;

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        firmware_ = e2e::make_hex(dir_, "firmware.hex", kRecords, {"--test-lines", "1"});
        QVERIFY(!firmware_.isEmpty());
        orvex::watch_update_runs();
        // A refusal must fail a row, not wait for someone to close its pop-up.
        orvex::popups_allowed = false;
        QVERIFY(orvex::add_run_observer({nullptr, cut_when_setting_up, nullptr}));
    }
    void init() { e2e::set_time_scale(kScale); }
    void cleanup() { e2e::set_time_scale(1.0); }

    // Nothing was programmed, so nothing may read as "OK TEST": not even a
    // new revision from boot code that names its own.
    void eraseRefused_data() {
        QTest::addColumn<int>("bus");
        QTest::addColumn<QStringList>("unit");
        QTest::addColumn<QString>("answer");  // as the detail line shows it
        QTest::addColumn<QString>("after");
        for (int bus = 0; bus < 3; ++bus) {
            // Serial and GPIB answers end at the line feed, LAN replies keep it.
            const QString answer = bus == 1 ? "1\\r\\n" : "1\\r";
            QTest::addRow("%s, old revision after EXIT", kBuses[bus].name)
                << bus << QStringList{"--erase-reply", "1\\r\\n"} << answer << "V8.10";
            QTest::addRow("%s, new revision after EXIT", kBuses[bus].name)
                << bus << QStringList{"--erase-reply", "1\\r\\n", "--boot-revision", "V8.30"} << answer
                << "V8.30";
        }
    }
    void eraseRefused() {
        QFETCH(int, bus);
        QFETCH(QStringList, unit);
        QFETCH(QString, answer);
        QFETCH(QString, after);
        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kScale) + unit);
        e2e::Operator op;
        aim(op, sim, kBuses[bus], firmware_);
        op.start();

        QCOMPARE(orvex::last_outcome, orvex::Outcome::FailedAfterErase);
        QCOMPARE(op.messages(), QString());
        QCOMPARE(op.revision_before(), "V8.10");
        QCOMPARE(op.revision_after(), after);
        QCOMPARE(detail_line(), "the unit refused the erase (it answered \"" + answer +
                                    "\"): nothing was programmed; run the update again");
        QCOMPARE(QString::fromStdString(orvex::last_update().message), "Failed after erase");
        E2E_STOP(sim);
        const QStringList heard = e2e::heard(sim.record(), kBuses[bus].link);
        QCOMPARE(heard.mid(heard.indexOf("ERASE") + 1, 2), (QStringList{"EXIT", "*IDN?"}));
        QCOMPARE(sim.record()["records"].toObject()["accepted"].toInt(), 0);
    }

    // The file is cut on disk once the run has read it: the unit and the
    // record still get the file as it was checked.
    void fileCutOnDiskDuringTheRun_data() {
        QTest::addColumn<int>("bus");
        for (int bus = 0; bus < 3; ++bus) QTest::newRow(kBuses[bus].name) << bus;
    }
    void fileCutOnDiskDuringTheRun() {
        QFETCH(int, bus);
        const QString path = dir_.filePath(QStringLiteral("cut-%1.hex").arg(bus));
        const QString original = dir_.filePath(QStringLiteral("original-%1.hex").arg(bus));
        QFile::remove(path);
        QFile::remove(original);
        QVERIFY(QFile::copy(firmware_, path) && QFile::copy(firmware_, original));
        QFile file(original);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();

        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kScale));
        e2e::Operator op;
        aim(op, sim, kBuses[bus], path);
        g_cut = {path, kRecords / 2};
        op.start();
        QVERIFY(g_cut.path.isEmpty());  // the file was cut
        QVERIFY(QFileInfo(path).size() < content.size());

        op.expect_updated();
        const orvex::UpdateSummary& record = orvex::last_update();
        QCOMPARE(record.file_size, content.size());
        QCOMPARE(QByteArray::fromStdString(record.file_sha256),
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
        E2E_STOP(sim);
        E2E_FLASH_HOLDS(sim, original);
    }

    // A comment of 165 bytes goes out in three pieces, none of which begins
    // like a record or a code test: the unit skips it over serial and GPIB,
    // and LAN does not send it at all.
    void longCommentLine_data() {
        QTest::addColumn<int>("bus");
        for (int bus = 0; bus < 3; ++bus) QTest::newRow(kBuses[bus].name) << bus;
    }
    void longCommentLine() {
        QFETCH(int, bus);
        const QString path = dir_.filePath("comment.hex");
        std::vector<QByteArray> lines = e2e::file_lines(firmware_);
        const QByteArray comment = "; built for the ZRA family " + QByteArray(136, '=');
        QCOMPARE(comment.size() + 2, 165);
        lines.insert(lines.begin() + 3, comment + "\r\n");
        QVERIFY(e2e::write_lines(path, lines));

        SimProcess sim;
        E2E_START(sim, e2e::sim_time_scale_args(kScale));
        e2e::Operator op;
        aim(op, sim, kBuses[bus], path);
        op.start();
        op.expect_updated();
        E2E_STOP(sim);
        E2E_FLASH_HOLDS(sim, path);
        const QJsonObject link = e2e::link_of(sim.record(), kBuses[bus].link);
        const QString unknown = QString::fromLatin1(QJsonDocument(link["unknown"].toArray()).toJson());
        QCOMPARE(unknown.contains("; built for the ZRA family"), bus != 1);
    }
};

QTEST_MAIN(OutcomesTest)
#include "test_outcomes.moc"
