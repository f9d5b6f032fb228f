// Controls of a loaded panel as the program and the operator use them: values,
// attributes, focus, layout, buttons and the menu bar.
#include <QtTest/qtestspontaneevent.h>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

#include "panel_test_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;

namespace {

QString Text(int panel, int control) {
    char text[300] = {};
    return GetCtrlVal(panel, control, text) == 0 ? QString::fromUtf8(text)
                                                 : QStringLiteral("<error>");
}

int Number(int panel, int control) {
    int value = -12345;
    return GetCtrlVal(panel, control, &value) == 0 ? value : -12345;
}

int Attribute(int panel, int control, int attribute) {
    int value = -1;
    return GetCtrlAttribute(panel, control, attribute, &value) == 0 ? value : -1;
}

QLineEdit* Edit(int panel, int control) {
    return qobject_cast<QLineEdit*>(ControlWidget(panel, control));
}

// Types into a field as the operator does: click into it, select all, type.
void Type(int panel, int control, const QString& text) {
    QLineEdit* edit = Edit(panel, control);
    QTest::mouseClick(edit, Qt::LeftButton);
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

}  // namespace

class PanelControlsTest : public QObject {
    Q_OBJECT

    int panel_ = 0;

private slots:
    void init() {
        support::InstallRecorders();
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel_ > 0);
        QCOMPARE(DisplayPanel(panel_), 0);
        QVERIFY(QTest::qWaitForWindowExposed(PanelWindow(panel_)));
    }

    void cleanup() { DiscardPanel(panel_); }

    void textValues() {
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_ERR, "Erase Failed"), 0);
        QCOMPARE(Text(panel_, ids::UPDATE_ERR), QStringLiteral("Erase Failed"));
        QCOMPARE(Edit(panel_, ids::UPDATE_ERR)->text(), QStringLiteral("Erase Failed"));
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_PASSMSG, "changed"), 0);
        QCOMPARE(Text(panel_, ids::UPDATE_PASSMSG), QStringLiteral("changed"));

        // The field's own limit holds for the program's writes too.
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_PASSWORD, "ABCDEFGHIJ"), 0);
        QCOMPARE(Text(panel_, ids::UPDATE_PASSWORD), QStringLiteral("ABCDEFGH"));

        // Reads are bounded and terminated, and never end in half a character.
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_MODEL, "ZRA 12-34"), 0);
        char small[5] = {'x', 'x', 'x', 'x', 'x'};
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_MODEL, small), 0);
        QCOMPARE(QByteArray(small), QByteArray("ZRA "));
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_MODEL, "ab\xC3\xA9"), 0);  // "abé"
        char whole[5] = {};
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_MODEL, whole), 0);
        QCOMPARE(QByteArray(whole), QByteArray("ab\xC3\xA9"));
        char cut[4] = {};  // room for "ab" and half of the last character
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_MODEL, cut), 0);
        QCOMPARE(QByteArray(cut), QByteArray("ab"));
        char two[2] = {};
        QCOMPARE(GetCtrlValText(panel_, ids::UPDATE_SERIAL, two, 0), kErrBufferTooSmall);
    }

    void numberValues() {
        // Rings work on item values, not on positions.
        QCOMPARE(Number(panel_, ids::UPDATE_BUS_SELECTION_2), 6);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_BUS_SELECTION_2, 30), 0);
        QCOMPARE(qobject_cast<QComboBox*>(ControlWidget(panel_, ids::UPDATE_BUS_SELECTION_2))
                     ->currentText(),
                 QStringLiteral("30"));
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_COMPORTS, 9), 0);
        QCOMPARE(Number(panel_, ids::UPDATE_COMPORTS), 9);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_COMPORTS, 0), kErrValueNotInList);
        QCOMPARE(Number(panel_, ids::UPDATE_COMPORTS), 9);
        auto* boards = qobject_cast<QComboBox*>(ControlWidget(panel_, ids::UPDATE_GPIBBOARDS));
        boards->setCurrentIndex(3);  // as the operator picks "GPIB3"
        QCOMPARE(Number(panel_, ids::UPDATE_GPIBBOARDS), 3);

        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_NUMERICSLIDE, 42), 0);
        QCOMPARE(Number(panel_, ids::UPDATE_NUMERICSLIDE), 42);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_NUMERICSLIDE, 250), 0);
        QCOMPARE(Number(panel_, ids::UPDATE_NUMERICSLIDE), 100);

        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_TX, 1), 0);
        QCOMPARE(Number(panel_, ids::UPDATE_TX), 1);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_TX, 0), 0);
        QCOMPARE(Number(panel_, ids::UPDATE_TX), 0);
    }

    void wrongTypesAndTargets() {
        int value = 0;
        char text[16] = {};
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_ERR, 5), kErrTypeMismatch);
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_ERR, &value), kErrTypeMismatch);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_COMPORTS, "COM2"), kErrTypeMismatch);
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_TX, text), kErrTypeMismatch);
        QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_START, 1), kErrTypeMismatch);
        QCOMPARE(GetCtrlVal(panel_, ids::UPDATE_TIMER, &value), kErrTypeMismatch);
        QCOMPARE(SetCtrlVal(panel_, 1, "x"), kErrInvalidControl);
        QCOMPARE(SetCtrlVal(panel_ + 1000, ids::UPDATE_ERR, "x"), kErrInvalidPanel);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_ERR, 12345, 1), kErrInvalidAttribute);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_START, ATTR_NO_EDIT_TEXT, 1),
                 kErrInvalidAttribute);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_VISIBLE, 1),
                 kErrInvalidAttribute);
        QCOMPARE(GetPanelAttribute(panel_, ATTR_VISIBLE, text), kErrInvalidAttribute);
    }

    void visibleHidesControlAndCaption() {
        QWidget* window = PanelWindow(panel_);
        QWidget* ring = ControlWidget(panel_, ids::UPDATE_COMPORTS);
        QLabel* caption = CaptionWidget(panel_, ids::UPDATE_COMPORTS);
        QVERIFY(caption != nullptr);
        QCOMPARE(caption->buddy(), ring);
        QVERIFY(ring->isVisible() && caption->isVisible());
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE, 0), 0);
        QVERIFY(!ring->isVisibleTo(window));
        QVERIFY(!caption->isVisibleTo(window));
        QCOMPARE(Attribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE), 0);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE, 1), 0);
        QVERIFY(ring->isVisible() && caption->isVisible());

        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_PASSMSG, ATTR_VISIBLE, 0), 0);
        QVERIFY(!ControlWidget(panel_, ids::UPDATE_PASSMSG)->isVisibleTo(window));
    }

    // The bus commands hide rows of the connection settings: the rows that
    // stay close up instead of leaving a hole.
    void hiddenRowsLeaveNoHole() {
        QWidget* boards = ControlWidget(panel_, ids::UPDATE_GPIBBOARDS);
        QWidget* address = ControlWidget(panel_, ids::UPDATE_BUS_SELECTION_2);
        QWidget* ports = ControlWidget(panel_, ids::UPDATE_COMPORTS);
        QVERIFY(boards->geometry().bottom() < ports->geometry().top());
        QVERIFY(ports->geometry().bottom() < address->geometry().top());
        const int rowPitch = ports->geometry().top() - boards->geometry().top();

        SetCtrlAttribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE, 0);
        SetCtrlAttribute(panel_, ids::UPDATE_TEXTMSG_BAUD, ATTR_VISIBLE, 0);
        SetCtrlAttribute(panel_, ids::UPDATE_IPADDR, ATTR_VISIBLE, 0);
        QTRY_COMPARE_WITH_TIMEOUT(address->geometry().top() - boards->geometry().top(), rowPitch,
                                  5000);
    }

    void dimmedControlsRefuseTheOperator() {
        auto* start = qobject_cast<QPushButton*>(ControlWidget(panel_, ids::UPDATE_START));
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_START, ATTR_DIMMED, 1), 0);
        QCOMPARE(Attribute(panel_, ids::UPDATE_START, ATTR_DIMMED), 1);
        QVERIFY(!start->isEnabled());
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(support::CallsOf(ids::UPDATE_START), 0);

        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_START, ATTR_DIMMED, 0), 0);
        QTest::mouseClick(start, Qt::LeftButton);
        QCOMPARE(support::CallsOf(ids::UPDATE_START), 1);
        const support::ControlCall call = support::ControlCalls().back();
        QCOMPARE(call.name, QStringLiteral("start_update"));
        QCOMPARE(call.panel, panel_);
        QCOMPARE(call.event, EVENT_COMMIT);

        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_PASSWORD, ATTR_DIMMED, 1), 0);
        QVERIFY(!ControlWidget(panel_, ids::UPDATE_PASSWORD)->isEnabled());
        QVERIFY(!CaptionWidget(panel_, ids::UPDATE_PASSWORD)->isEnabled());
    }

    void readOnlyAndDisplayOnlyText() {
        // An input field made read-only for an upload, then given back.
        SetCtrlVal(panel_, ids::UPDATE_FILE_NAME, "/fw/a.hex");
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_FILE_NAME, ATTR_NO_EDIT_TEXT, 1), 0);
        Type(panel_, ids::UPDATE_FILE_NAME, "typed");
        QCOMPARE(Text(panel_, ids::UPDATE_FILE_NAME), QStringLiteral("/fw/a.hex"));
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_FILE_NAME, ATTR_NO_EDIT_TEXT, 0), 0);
        Type(panel_, ids::UPDATE_FILE_NAME, "typed");
        QCOMPARE(Text(panel_, ids::UPDATE_FILE_NAME), QStringLiteral("typed"));

        // Display-only fields are written by the program alone, whatever it sets.
        SetCtrlVal(panel_, ids::UPDATE_MODEL, "ZRA 12-34");
        SetCtrlAttribute(panel_, ids::UPDATE_MODEL, ATTR_NO_EDIT_TEXT, 1);
        SetCtrlAttribute(panel_, ids::UPDATE_MODEL, ATTR_NO_EDIT_TEXT, 0);
        Type(panel_, ids::UPDATE_MODEL, "operator");
        QCOMPARE(Text(panel_, ids::UPDATE_MODEL), QStringLiteral("ZRA 12-34"));
        Type(panel_, ids::UPDATE_BUS_SELECTION, "LAN");
        QCOMPARE(Text(panel_, ids::UPDATE_BUS_SELECTION), QStringLiteral("RS 232"));

        // The operator's typing obeys the field limits.
        Type(panel_, ids::UPDATE_PASSWORD, "SECRET1234");
        QCOMPARE(Text(panel_, ids::UPDATE_PASSWORD), QStringLiteral("SECRET12"));
        Type(panel_, ids::UPDATE_IPADDR, "192.168.001.010.7");
        QCOMPARE(Text(panel_, ids::UPDATE_IPADDR), QStringLiteral("192.168.001.010"));
    }

    void focus() {
        // Set before the panel is shown, as start-up does, and after.
        const int hidden = LoadPanel(0, "upload.panel", ids::UPDATE);
        QCOMPARE(SetActiveCtrl(hidden, ids::UPDATE_PASSWORD), 0);
        QCOMPARE(GetActiveCtrl(hidden), ids::UPDATE_PASSWORD);
        QCOMPARE(DisplayPanel(hidden), 0);
        QVERIFY(QTest::qWaitForWindowActive(PanelWindow(hidden)));
        QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(),
                                  ControlWidget(hidden, ids::UPDATE_PASSWORD), 5000);
        QCOMPARE(SetActiveCtrl(hidden, ids::UPDATE_FILE_NAME), 0);
        QCOMPARE(GetActiveCtrl(hidden), ids::UPDATE_FILE_NAME);
        // The operator moves on with the tab key: the program sees where the focus is.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(GetActiveCtrl(hidden), ids::UPDATE_FILENAMEBUTTON);
        QCOMPARE(SetActiveCtrl(hidden, ids::UPDATE_TX), kErrInvalidControl);
        QCOMPARE(SetActiveCtrl(hidden, ids::UPDATE_TIMER), kErrInvalidControl);
        DiscardPanel(hidden);
    }

    void shortcutsReachTheirControls() {
        QVERIFY(QTest::qWaitForWindowActive(PanelWindow(panel_)));
        QCOMPARE(qobject_cast<QPushButton*>(ControlWidget(panel_, ids::UPDATE_START))->text(),
                 QStringLiteral("&START"));
        QCOMPARE(CaptionWidget(panel_, ids::UPDATE_PASSWORD)->text(),
                 QStringLiteral("Unit &Password"));
        QTest::keyClick(PanelWindow(panel_), Qt::Key_S, Qt::AltModifier);
        QTRY_COMPARE_WITH_TIMEOUT(support::CallsOf(ids::UPDATE_START), 1, 5000);
        QTest::keyClick(PanelWindow(panel_), Qt::Key_P, Qt::AltModifier);
        QTRY_COMPARE_WITH_TIMEOUT(GetActiveCtrl(panel_), ids::UPDATE_PASSWORD, 5000);
    }

    // Menus with the mouse: EXIT is an entry of the bar itself; the bus
    // commands are items of a menu that opens.
    void menusWithTheMouse() {
        QMenuBar* bar = MenuBarWidget(panel_);
        QVERIFY(bar != nullptr && bar->isVisible());
        QAction* exitEntry = MenuAction(panel_, ids::MENUBAR_EXIT);
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(exitEntry).center());
        QTRY_COMPARE_WITH_TIMEOUT(int(support::MenuCalls().size()), 1, 5000);
        QCOMPARE(support::MenuCalls()[0].name, QStringLiteral("Exit_Program"));

        QAction* busEntry = MenuAction(panel_, ids::MENUBAR_BUSSELEC);
        QMenu* busMenu = busEntry->menu();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(busEntry).center());
        QTRY_VERIFY_WITH_TIMEOUT(busMenu->isVisible(), 5000);
        QAction* serial = MenuAction(panel_, ids::MENUBAR_BUSSELEC_SERIAL);
        QTest::mouseClick(busMenu, Qt::LeftButton, {}, busMenu->actionGeometry(serial).center());
        QTRY_COMPARE_WITH_TIMEOUT(int(support::MenuCalls().size()), 2, 5000);
        QCOMPARE(support::MenuCalls()[1].name, QStringLiteral("BUS_232"));
        QCOMPARE(support::MenuCalls()[1].item, ids::MENUBAR_BUSSELEC_SERIAL);
        QTRY_VERIFY_WITH_TIMEOUT(!busMenu->isVisible(), 5000);
    }

    // A callback may discard the very panel whose button called it.
    void callbackDiscardsItsPanel() {
        const int other = LoadPanel(0, "upload.panel", ids::FILEPNL);
        QCOMPARE(DisplayPanel(other), 0);
        QPointer<QWidget> window = PanelWindow(other);
        support::OnControl() = [other](const support::ControlCall&) { DiscardPanel(other); };
        QTest::mouseClick(ControlWidget(other, ids::FILEPNL_OK_file), Qt::LeftButton);
        QCOMPARE(support::CallsOf(ids::FILEPNL_OK_file), 1);
        QCOMPARE(HidePanel(other), kErrInvalidPanel);
        QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), 5000);
    }

    void showAndHide() {
        const int errorPanel = LoadPanel(0, "upload.panel", ids::FILEPNL);
        QWidget* window = PanelWindow(errorPanel);
        QVERIFY(!window->isVisible());
        QCOMPARE(DisplayPanel(errorPanel), 0);
        QVERIFY(window->isVisible());
        QVERIFY(window->isWindow());
        // The operator's close control does nothing: only the program hides panels.
        QCloseEvent close;
        QSpontaneKeyEvent::setSpontaneous(&close);
        QApplication::sendEvent(window, &close);
        QVERIFY(window->isVisible());
        QCOMPARE(HidePanel(errorPanel), 0);
        QVERIFY(!window->isVisible());
        QVERIFY(PanelWindow(panel_)->isVisible());
        DiscardPanel(errorPanel);
    }
};

QTEST_MAIN(PanelControlsTest)
#include "panel_controls_test.moc"
