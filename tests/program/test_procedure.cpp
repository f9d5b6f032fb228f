// Start-up state and the procedure frame behind START: what the operator sees
// before and after a run, the reading of the HEX file in pieces, the progress
// figure and the rule that decides "OK TEST".
#include <QtTest>

#include <QTemporaryDir>
#include <cstring>

#include "display.h"
#include "hex_stream.h"
#include "identification.h"
#include "operator.h"
#include "upload.h"

using namespace orvex;
using namespace orvex::test;
using ProgramPanels = Operator;

namespace {

// The fields a run fills in.
constexpr int kResults[] = {ids::UPDATE_ERR, ids::UPDATE_MODEL, ids::UPDATE_SERIAL, ids::UPDATE_REVISION,
                            ids::UPDATE_CURRENTREV};

// Writes `content` to `path` and streams it through the program's own loop;
// returns the pieces handed to the bus, with the percentage offered before each.
QList<QByteArray> stream(const QString& path, const QByteArray& content, QList<int>* percents) {
    QList<QByteArray> pieces;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) return pieces;
    file.close();
    std::strncpy(firmware.filename, path.toLocal8Bit().constData(), sizeof firmware.filename - 1);
    firmware.image.assign(content.begin(), content.end());
    if (!open_hex_file()) return pieces;
    measure_hex_file();
    const bool completed = stream_hex_file(
        [&](Piece piece) {
            pieces << QByteArray(piece.data, piece.length);
            return true;
        },
        [&](int percent) {
            *percents << percent;
            return true;
        });
    close_hex_file();
    if (!completed) pieces.clear();
    return pieces;
}

}  // namespace

class ProcedureTest : public QObject {
    Q_OBJECT

private slots:
    void initialState() {
        ProgramPanels panels;
        QCOMPARE(panels.status(), 0);
        QCOMPARE(value_of(ids::UPDATE_GPIBBOARDS), 0);
        QVERIFY(!visible(ids::UPDATE_PASSMSG));
        QCOMPARE(value_of(ids::UPDATE_TX), 0);
        QCOMPARE(attribute_of(ids::UPDATE_TIMER, runtime::ATTR_ENABLED), 0);
        QCOMPARE(runtime::GetActiveCtrl(update_handle), ids::UPDATE_PASSWORD);
        QCOMPARE(text_of(ids::UPDATE_PASSWORD), QStringLiteral("MORVANTE"));
        // The IP address default is four zero-padded groups.
        QCOMPARE(text_of(ids::UPDATE_IPADDR).size(), 15);

        // Results cannot be typed over by the operator.
        for (int control : kResults) {
            QWidget* field = runtime::ControlWidget(update_handle, control);
            QVERIFY(field);
            field->setFocus();
            QTest::keyClicks(field, "typed");
            QCOMPARE(text_of(control), QString());
        }
    }

    void nonCommitEventOnlyCloses() {
        ProgramPanels panels;
        std::strcpy(identity.Oldrev, "V1.00");
        std::strcpy(identity.Newrev, "V2.00");
        run.programming = 1;
        runtime::SetCtrlAttribute(update_handle, ids::UPDATE_START, runtime::ATTR_DIMMED, 1);
        runtime::SetCtrlVal(update_handle, ids::UPDATE_ERR, "kept");
        QCOMPARE(start_update(update_handle, ids::UPDATE_START, 2, nullptr, 0, 0), 0);
        QCOMPARE(identity.Oldrev, "");
        QCOMPARE(identity.Newrev, "");
        QCOMPARE(run.programming, 0);
        QVERIFY(!dimmed(ids::UPDATE_START));
        QCOMPARE(runtime::GetActiveCtrl(update_handle), ids::UPDATE_PASSWORD);
        QCOMPARE(text_of(ids::UPDATE_ERR), QStringLiteral("kept"));
    }

    void unknownBusOnlyClearsResults() {
        ProgramPanels panels;
        runtime::SetCtrlVal(update_handle, ids::UPDATE_BUS_SELECTION, "RS 232");
        for (int control : kResults) runtime::SetCtrlVal(update_handle, control, "old");
        runtime::SetCtrlVal(update_handle, ids::UPDATE_NUMERICSLIDE, 55);
        QWidget* password = runtime::ControlWidget(update_handle, ids::UPDATE_PASSWORD);
        password->setFocus();
        QTest::keyClick(password, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(password, "SECRET");
        QCOMPARE(text_of(ids::UPDATE_PASSWORD), QStringLiteral("SECRET"));

        press_start();
        for (int control : kResults) QCOMPARE(text_of(control), QString());
        QCOMPARE(value_of(ids::UPDATE_NUMERICSLIDE), 0);
        // What the operator typed is not left on show.
        QCOMPARE(text_of(ids::UPDATE_PASSWORD), QStringLiteral("MORVANTE"));
        QCOMPARE(run.programming, 0);
        for (int control : {ids::UPDATE_START, ids::UPDATE_FILENAMEBUTTON, ids::UPDATE_PASSWORD,
                            ids::UPDATE_BUS_SELECTION_2, ids::UPDATE_IPADDR, ids::UPDATE_COMPORTS})
            QVERIFY(!dimmed(control));
        QCOMPARE(attribute_of(ids::UPDATE_FILE_NAME, runtime::ATTR_NO_EDIT_TEXT), 0);
    }

    void piecesOfLongLinesAndMissingLineEnd() {
        ProgramPanels panels;
        QTemporaryDir dir;
        const QByteArray long_line = ":" + QByteArray(140, 'A') + "\r\n";
        QList<int> percents;
        const auto pieces = stream(dir.filePath("long.hex"), long_line + "T1\n:00000001FF", &percents);
        // 63 bytes a piece; the rest of a line goes with its CR LF.
        QCOMPARE(pieces, QList<QByteArray>({long_line.left(63), long_line.mid(63, 63), long_line.mid(126),
                                            "T1\n", ":00000001FF"}));
        QCOMPARE(value_of(ids::UPDATE_NUMERICSLIDE), 100);
        // The figure never runs backwards and starts from the bytes before each piece.
        QCOMPARE(percents.first(), 0);
        QCOMPARE(percents.last(), 100);
        QVERIFY(std::is_sorted(percents.begin(), percents.end()));
    }

    void okTestRule_data() {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QString>("shown");
        // clang-format off
        QTest::newRow("changed") << "V8.10" << "V8.20" << "OK TEST";
        QTest::newRow("downgrade also changed") << "V8.20" << "V8.10" << "OK TEST";
        QTest::newRow("unchanged") << "V8.10" << "V8.10" << "";
        QTest::newRow("same number, other text") << "V8.10" << "X8.1" << "";
        QTest::newRow("second reads as 0") << "V8.10" << "Vabc" << "";
        QTest::newRow("second empty") << "V8.10" << "" << "";
        // clang-format on
    }
    void okTestRule() {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(QString, shown);
        ProgramPanels panels;
        runtime::SetCtrlVal(update_handle, ids::UPDATE_ERR, "");
        std::strncpy(identity.Oldrev, before.toLatin1().constData(), sizeof identity.Oldrev - 1);
        std::strncpy(identity.Newrev, after.toLatin1().constData(), sizeof identity.Newrev - 1);
        show_result();
        QCOMPARE(text_of(ids::UPDATE_ERR), shown);
    }
};

QTEST_MAIN(ProcedureTest)
#include "test_procedure.moc"
