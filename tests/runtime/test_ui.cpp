// The user interface: load failures, the agreement of upload_ids.h with
// upload.panel and the panels built from it, what the operator may see and
// change, what assistive technology reads, the wait loops' sleep and the file
// selection pop-up.
#include <QAccessible>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QtTest>

#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <tuple>

#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The program's callbacks by name: all do nothing but EXIT, which is counted.
int g_exits = 0;
int None(int, int, int, void*, int, int) { return 0; }
void NoMenu(int, int, void*, int) {}
// clang-format off
const ControlCallbackEntry kControls[] = {{"get_filename", None}, {"start_update", None}, {"OK_File", None},
    {"LanTimer", None}, {"ComTimer", None}, {"Generic_Timer", None}, {"TX_TIMER", None}};
const MenuCallbackEntry kMenus[] = {{"BUS_232", NoMenu}, {"BUS_488", NoMenu}, {"BUS_LAN", NoMenu},
    {"Exit_Program", [](int, int, void*, int) { ++g_exits; }}};

// The identifiers of upload_ids.h's controls and menu entries by name.
#define ID(name) {QStringLiteral(#name), ids::name}
const std::map<QString, int> kIds{ID(FILEPNL_OK_file), ID(FILEPNL_TEXTMSG3), ID(UPDATE_BUS_SELECTION),
    ID(UPDATE_GPIBBOARDS), ID(UPDATE_COMPORTS), ID(UPDATE_BUS_SELECTION_2), ID(UPDATE_IPADDR),
    ID(UPDATE_PASSWORD), ID(UPDATE_FILENAMEBUTTON), ID(UPDATE_START), ID(UPDATE_FILE_NAME), ID(UPDATE_MODEL),
    ID(UPDATE_ERR), ID(UPDATE_NUMERICSLIDE), ID(UPDATE_CURRENTREV), ID(UPDATE_REVISION), ID(UPDATE_SERIAL),
    ID(UPDATE_TX), ID(UPDATE_DECORATION_2), ID(UPDATE_LANTIMER), ID(UPDATE_COMTIMER), ID(UPDATE_TIMER),
    ID(UPDATE_PASSMSG), ID(UPDATE_TXTIMER), ID(UPDATE_DECORATION), ID(UPDATE_TEXTMSG_BAUD), ID(UPDATE_DETAIL),
    ID(MENUBAR_BUSSELEC), ID(MENUBAR_BUSSELEC_SERIAL), ID(MENUBAR_BUSSELEC_GPIB), ID(MENUBAR_BUSSELEC_LAN),
    ID(MENUBAR_EXIT)};
#undef ID
// clang-format on

QString Text(int panel, int control) {
    char text[300] = {};
    return GetCtrlVal(panel, control, text) == 0 ? QString::fromUtf8(text) : "<error>";
}

// A panel on show; of the main panel's timers only those a test enables run.
int Shown(int resource = ids::UPDATE) {
    const int panel = LoadPanel(0, "upload.panel", resource);
    if (resource == ids::UPDATE) SetCtrlAttribute(panel, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    const bool shown = DisplayPanel(panel) == 0 && QTest::qWaitForWindowExposed(PanelWindow(panel));
    return shown ? panel : -1;
}

}  // namespace

class UiTest : public QObject {
    Q_OBJECT

    int panel_ = 0;
    QTemporaryDir dir_;

private slots:
    void initTestCase() {
        // A firmware file for the pop-up, which starts in the current directory.
        QVERIFY(QFile(dir_.filePath("UNIT.HEX")).open(QIODevice::WriteOnly));
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void init() {
        SetCallbackTable(kControls, kMenus);
        g_exits = 0;
        panel_ = Shown();
        QVERIFY(panel_ > 0);
    }
    void cleanup() {
        DiscardPanel(panel_);
        SetTimeScale(1.0);
    }

    void loadFailures() {
        const QByteArray button =
            R"({ "format": "orvex-panel-1", "panels": [ { "name": "P",
            "resource": 1, "title": "T", "controls": [ { "constant": "P_GO", "kind": "command",
            "label": "Go", "callback": "%1" } ] } ] })";
        const QByteArray menu =
            R"({ "format": "orvex-panel-1", "panels": [ { "name": "P",
            "resource": 1, "title": "T", "menubar": "B", "controls": [] } ], "menubars": [ {
            "name": "B", "menus": [ { "constant": "B_QUIT", "label": "Quit", "callback": "Quit" } ] } ] })";
        // clang-format off
        const std::tuple<QByteArray, const char*, int, int> cases[] = {
            {{}, "no_such.panel", 1, kErrPanelFile},
            {button.left(60), "cut.panel", 1, kErrPanelFile},
            {{}, "upload.panel", 3, kErrPanelResource},
            {QByteArray(button).replace("%1", "start_update"), "known.panel", 1, 1},  // 1: a handle
            {QByteArray(button).replace("%1", "start_updat"), "unknown.panel", 1, kErrCallbackName},
            {menu, "menu.panel", 1, kErrCallbackName}};
        // clang-format on
        QTemporaryDir dir;
        for (const auto& [content, name, resource, expected] : cases) {
            QFile file(content.isEmpty() ? QString::fromLatin1(name) : dir.filePath(name));
            QVERIFY(content.isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(content)));
            file.close();
            const int result = LoadPanel(0, file.fileName().toUtf8().constData(), resource);
            if (result > 0) DiscardPanel(result);
            QVERIFY2((result > 0 ? 1 : result) == expected, name);
        }
    }

    // Every identifier of upload_ids.h is the number that its entry of
    // upload.panel answers to: panels by resource, controls and menu entries
    // from 2 in the order of the file.
    void headerAgreesWithPanelFile() {
        const int files = Shown(ids::FILEPNL);
        const auto discard = qScopeGuard([files] { DiscardPanel(files); });
        QVERIFY(PanelWindow(files)->findChild<QWidget*>("FILEPNL_panel") != nullptr);
        QVERIFY(PanelWindow(panel_)->findChild<QWidget*>("UPDATE_panel") != nullptr);
        for (const auto& [name, id] : kIds) {
            const int panel = name.startsWith("FILEPNL") ? files : panel_;
            QObject* entry = name.startsWith("MENUBAR_") ? static_cast<QObject*>(MenuAction(panel, id))
                                                         : ControlWidget(panel, id);
            if (entry == nullptr) entry = TimerOf(panel, id);
            // A menu that opens is on the bar as the menu's own action.
            auto* menu = qobject_cast<QMenu*>(entry != nullptr ? entry->parent() : nullptr);
            if (menu != nullptr && menu->menuAction() == entry) entry = menu;
            QVERIFY2(entry != nullptr && entry->objectName() == name, qPrintable(name));
        }
    }

    // What the operator sees and does: EXIT sits on the bar itself and answers a click there; a hidden
    // field takes its caption along; display-only fields never take typing, inputs refuse it only while
    // told to and take no more than the file allows; each port explains itself in its ring item's tooltip.
    void operatorView() {
        QMenuBar* bar = MenuBarWidget(panel_);
        QTest::mouseClick(bar, Qt::LeftButton, {},
                          bar->actionGeometry(MenuAction(panel_, ids::MENUBAR_EXIT)).center());
        QTRY_COMPARE_WITH_TIMEOUT(g_exits, 1, 5000);

        auto* ring = qobject_cast<QComboBox*>(ControlWidget(panel_, ids::UPDATE_COMPORTS));
        QLabel* caption = CaptionWidget(panel_, ids::UPDATE_COMPORTS);
        QVERIFY(ring != nullptr && caption != nullptr);
        for (const bool visible : {false, true}) {
            QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE, visible), 0);
            QVERIFY(ring->isVisible() == visible && caption->isVisible() == visible);
        }

        // clang-format off
        const std::tuple<int, int, const char*, const char*> typing[] = {  // control, no edit, typed, kept
            {ids::UPDATE_MODEL, 0, "typed", "set"},  // display-only
            {ids::UPDATE_FILE_NAME, 1, "typed", "set"},
            {ids::UPDATE_FILE_NAME, 0, "typed", "typed"},
            {ids::UPDATE_IPADDR, 0, "127.000.000.0011", "127.000.000.001"},
            {ids::UPDATE_PASSWORD, 0, "ABCDEFGHIJ", "ABCDEFGH"}};
        // clang-format on
        for (const auto& [control, noEditText, typed, kept] : typing) {
            QCOMPARE(SetCtrlVal(panel_, control, "set"), 0);
            QCOMPARE(SetCtrlAttribute(panel_, control, ATTR_NO_EDIT_TEXT, noEditText), 0);
            auto* edit = qobject_cast<QLineEdit*>(ControlWidget(panel_, control));
            QTest::mouseClick(edit, Qt::LeftButton);
            edit->selectAll();
            QTest::keyClicks(edit, typed);
            QCOMPARE(Text(panel_, control), kept);
        }

        auto tip = [ring](int item) { return ring->itemData(item, Qt::ToolTipRole).toString(); };
        QCOMPARE(SetRingItemToolTip(panel_, ids::UPDATE_COMPORTS, 2, "/dev/ttyUSB0  FTDI FT232R"), 0);
        QVERIFY(tip(1) == "/dev/ttyUSB0  FTDI FT232R" && tip(0).isEmpty() && tip(2).isEmpty());
        QCOMPARE(SetRingItemToolTip(panel_, ids::UPDATE_COMPORTS, 2, nullptr), 0);
        QVERIFY(tip(1).isEmpty());
    }

    // What assistive technology reads: a window named by its title, every
    // field named by the label beside it, and the lamp's state as it changes.
    void accessibleNames() {
        QAccessibleInterface* window = QAccessible::queryAccessibleInterface(PanelWindow(panel_));
        QVERIFY(window->text(QAccessible::Name).startsWith(u"Orvex Firmware Upgrade"));
        // clang-format off
        const std::tuple<int, QString, bool> fields[] = {  // control, name, labelled by a caption
            {ids::UPDATE_BUS_SELECTION, "Selected Bus", true},  // display field
            {ids::UPDATE_GPIBBOARDS, "GPIB Board", true},  // ring
            {ids::UPDATE_BUS_SELECTION_2, "Address", true},  // ring of numbers
            {ids::UPDATE_IPADDR, "IP Address", true},  // input field
            {ids::UPDATE_PASSWORD, "Unit Password", true},  // shortcut mark before a blank
            {ids::UPDATE_REVISION, "Firmware Version Before Update", true},  // caption on two lines
            {ids::UPDATE_CURRENTREV, "After Update", true},  // caption after a line break
            {ids::UPDATE_NUMERICSLIDE, "progress... %", true},  // slide
            {ids::UPDATE_TX, "Transmit", true},  // lamp
            {ids::UPDATE_FILENAMEBUTTON, "Select Filename", false},  // button
            {ids::UPDATE_FILE_NAME, "Select Filename", false}};  // field filled by the button beside it
        // clang-format on
        // On Linux a combo box speaks its current item as its name and its label
        // through the relation; elsewhere it takes the name we give.
        for (const auto& [control, name, captioned] : fields) {
            QWidget* widget = ControlWidget(panel_, control);
            QAccessibleInterface* field = QAccessible::queryAccessibleInterface(widget);
            const bool combo = field->role() == QAccessible::ComboBox;
            QCOMPARE(combo ? widget->accessibleName() : field->text(QAccessible::Name), name);
            const auto label = field->relations(QAccessible::Label);
            if (captioned)
                QCOMPARE(label.isEmpty() ? "" : label[0].first->text(QAccessible::Name).simplified(), name);
        }
        QAccessibleInterface* lamp =
            QAccessible::queryAccessibleInterface(ControlWidget(panel_, ids::UPDATE_TX));
        QCOMPARE(lamp->text(QAccessible::Description), u"Transmit: off");
        for (const auto& [value, text] :
             {std::pair{1, u"Transmit: on"}, {0, u"Transmit: off"}, {1, u"Transmit: on"}}) {
            QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_TX, value), 0);
            QCOMPARE(lamp->text(QAccessible::Description), text);
        }
    }

    // ResetTimer restarts a running timer's interval; a stopped timer stays stopped.
    void resetTimerLeavesAStoppedTimerStopped() {
        QTimer* timer = TimerOf(panel_, ids::UPDATE_LANTIMER);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0), 0);
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_LANTIMER), 0);
        QVERIFY(timer != nullptr && !timer->isActive());
    }

    // A wait loop with nothing to wait for sleeps instead of burning a core.
    void processSystemEventsSleeps() {
        const std::clock_t cpuBefore = std::clock();
        const auto start = Clock::now();
        while (Clock::now() - start < 500ms) ProcessSystemEvents();
        const double wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        const double cpu_ms = double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
        QVERIFY2(cpu_ms < 0.3 * wall_ms, qPrintable(QString("%1 ms CPU in %2 ms").arg(cpu_ms).arg(wall_ms)));
    }

    // A chosen path longer than the buffer is refused, not cut (it would name
    // another file), and the buffer is left as it was.
    void fileSelectPopup() {
        std::function<void()> answer = [&answer] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return QTimer::singleShot(10, answer);  // not open yet
            dialog->selectFile("UNIT.HEX");
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        };
        QTimer::singleShot(0, answer);
        char path[260] = "unchanged";
        QCOMPARE(
            FileSelectPopupText("", "*.HEX", "*.HEX", "Firmware", VAL_SELECT_BUTTON, 0, 0, 1, 0, path, 8),
            kErrBufferTooSmall);
        QCOMPARE(QString::fromUtf8(path), "unchanged");
    }
};

QTEST_MAIN(UiTest)
#include "test_ui.moc"
