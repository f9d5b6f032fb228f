// The operator's commands: choosing the bus, picking the HEX file, the
// file-error panel and EXIT, idle and while an upload runs.
#include <QtTest>

#include <QApplication>
#include <QFileDialog>
#include <QTcpServer>
#include <QTemporaryDir>

#include "operator.h"
#include "upload.h"

using namespace orvex;
using namespace orvex::test;
using ProgramPanels = Operator;

namespace {

// Chooses a small HEX file that passes the program's check, written into `dir`.
void choose_valid_hex(const QTemporaryDir& dir) {
    QFile file(dir.filePath("small.hex"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(":0100000000FF\r\n:00000001FF\r\n");
    file.close();
    set_text(ids::UPDATE_FILE_NAME, file.fileName());
}

// The bus shown and the inputs on show for it.
QString arrangement() {
    QStringList shown{text_of(ids::UPDATE_BUS_SELECTION)};
    const std::pair<int, const char*> inputs[] = {{ids::UPDATE_BUS_SELECTION_2, "address"},
                                                  {ids::UPDATE_GPIBBOARDS, "boards"},
                                                  {ids::UPDATE_COMPORTS, "ports"},
                                                  {ids::UPDATE_TEXTMSG_BAUD, "baud"},
                                                  {ids::UPDATE_IPADDR, "ip"}};
    for (const auto& [control, name] : inputs)
        if (visible(control)) shown << name;
    return shown.join(' ');
}

// Answers the next modal file dialog: picks `path`, or cancels when empty.
void answer_file_dialog(const QString& path) {
    QTimer::singleShot(0, [path] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            answer_file_dialog(path);  // not open yet
            return;
        }
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(path);
            QMetaObject::invokeMethod(dialog, "accept");
        }
    });
}

}  // namespace

class CommandsTest : public QObject {
    Q_OBJECT

private slots:
    void busArrangements() {
        ProgramPanels panels;
        QCOMPARE(arrangement(), "IEEE-488 address boards");
        const std::pair<int, const char*> choices[] = {
            {ids::MENUBAR_BUSSELEC_SERIAL, "RS-232 ports baud"},
            {ids::MENUBAR_BUSSELEC_LAN, "LAN ip"},
            {ids::MENUBAR_BUSSELEC_LAN, "LAN ip"},
            {ids::MENUBAR_BUSSELEC_GPIB, "IEEE-488 address boards"}};
        for (const auto& [item, shown] : choices) {
            QVERIFY(runtime::TriggerMenu(update_handle, item));
            QCOMPARE(arrangement(), shown);
        }
        // Ring values are not touched by a bus change.
        QCOMPARE(value_of(ids::UPDATE_BUS_SELECTION_2), 6);
    }

    // During a real run (a LAN unit that accepts the connection but never
    // answers the lock request, so the run sits in its reply wait) the bus
    // menu is refused and the inputs are dimmed; afterwards both come back.
    void busMenuAndInputsLockedDuringARun() {
        QTcpServer silent_unit;
        QVERIFY(silent_unit.listen(QHostAddress(QStringLiteral("127.0.0.42")), 5025));
        runtime::SetTimeScale(0.25);
        const auto reset = qScopeGuard([] { runtime::SetTimeScale(1.0); });
        ProgramPanels panels;
        QVERIFY(runtime::TriggerMenu(update_handle, ids::MENUBAR_BUSSELEC_LAN));
        runtime::SetCtrlVal(update_handle, ids::UPDATE_IPADDR, "127.000.000.042");
        QTemporaryDir files;
        choose_valid_hex(files);
        const int locked[] = {ids::UPDATE_START,  ids::UPDATE_FILENAMEBUTTON, ids::UPDATE_PASSWORD,
                              ids::UPDATE_IPADDR, ids::UPDATE_COMPORTS,       ids::UPDATE_BUS_SELECTION_2};
        bool checked_during_run = false;
        QTimer::singleShot(50, [&] {
            QCOMPARE(run.programming, 1);
            for (int control : locked) QVERIFY2(dimmed(control), qPrintable(QString::number(control)));
            QCOMPARE(attribute_of(ids::UPDATE_FILE_NAME, runtime::ATTR_NO_EDIT_TEXT), 1);
            QVERIFY(runtime::TriggerMenu(update_handle, ids::MENUBAR_BUSSELEC_SERIAL));
            QVERIFY(runtime::TriggerMenu(update_handle, ids::MENUBAR_BUSSELEC_GPIB));
            QCOMPARE(arrangement(), "LAN ip");
            checked_during_run = true;
        });
        press_start();
        QVERIFY(checked_during_run);
        QCOMPARE(text_of(ids::UPDATE_ERR), QStringLiteral("Unable to Get a LOCK"));
        for (int control : locked) QVERIFY(!dimmed(control));
        QCOMPARE(attribute_of(ids::UPDATE_FILE_NAME, runtime::ATTR_NO_EDIT_TEXT), 0);
        QVERIFY(runtime::TriggerMenu(update_handle, ids::MENUBAR_BUSSELEC_SERIAL));
        QCOMPARE(arrangement(), "RS-232 ports baud");
    }

    void fileSelection() {
        ProgramPanels panels;
        QTemporaryDir dir;
        const QString chosen = dir.filePath(QStringLiteral("firmware.hex"));
        QFile file(chosen);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        runtime::SetCtrlVal(update_handle, ids::UPDATE_FILE_NAME, "previous.hex");

        answer_file_dialog(QString());
        QCOMPARE(
            get_filename(update_handle, ids::UPDATE_FILENAMEBUTTON, runtime::EVENT_COMMIT, nullptr, 0, 0),
            runtime::VAL_NO_FILE_SELECTED);
        QCOMPARE(text_of(ids::UPDATE_FILE_NAME), QStringLiteral("previous.hex"));

        answer_file_dialog(chosen);
        QWidget* button = runtime::ControlWidget(update_handle, ids::UPDATE_FILENAMEBUTTON);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(text_of(ids::UPDATE_FILE_NAME), QFileInfo(chosen).absoluteFilePath());

        // Events other than a commit open nothing.
        QCOMPARE(get_filename(update_handle, ids::UPDATE_FILENAMEBUTTON, 2, nullptr, 0, 0), 0);
    }

    void okHidesOnlyTheFilePanel() {
        ProgramPanels panels;
        runtime::DisplayPanel(file_handle);
        QVERIFY(runtime::PanelWindow(file_handle)->isVisible());
        QTest::mouseClick(runtime::ControlWidget(file_handle, ids::FILEPNL_OK_file), Qt::LeftButton);
        QVERIFY(!runtime::PanelWindow(file_handle)->isVisible());
        QVERIFY(runtime::PanelWindow(update_handle)->isVisible());
        QCOMPARE(OK_File(file_handle, ids::FILEPNL_OK_file, runtime::EVENT_COMMIT, nullptr, 0, 0), -1);
        QCOMPARE(OK_File(file_handle, ids::FILEPNL_OK_file, 2, nullptr, 0, 0), 0);
    }

    void exitWhileIdle() {
        runtime::SetCallbackTable(control_callbacks(), menu_callbacks());
        QTimer::singleShot(0, [] { runtime::TriggerMenu(update_handle, ids::MENUBAR_EXIT); });
        QCOMPARE(orvex::main(0, nullptr), 0);
        QVERIFY(!runtime::PanelWindow(update_handle)->isVisible());
        runtime::DiscardPanel(file_handle);
        runtime::DiscardPanel(update_handle);
    }
};

QTEST_MAIN(CommandsTest)
#include "test_commands.moc"
