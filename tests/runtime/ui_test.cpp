// The user interface: load failures, the agreement of upload_ids.h with
// upload.panel and the panels built from it, what the operator may see and
// change, timer controls, QuitUserInterface from inside a callback,
// ProcessSystemEvents in the program's waits, ProcessDrawEvents and the file
// selection pop-up.
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenuBar>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A callback table under the program's names whose every entry records its
// calls; `detail` is the event of a control call, the menu bar of a menu call.
struct Call {
    QString name;
    int panel, id, detail;
    Clock::time_point at = Clock::now();
};
std::vector<Call> g_calls;
std::function<void(const Call&)> g_onCall;  // runs inside the callback, after recording

int Record(const Call& call) {
    g_calls.push_back(call);
    if (g_onCall) g_onCall(call);
    return 0;
}
// clang-format off
#define CTRL(name) {#name, [](int p, int c, int e, void*, int, int) { return Record({#name, p, c, e}); }}
#define MENU(name) {#name, [](int bar, int item, void*, int p) { Record({#name, p, item, bar}); }}
const ControlCallbackEntry kControls[] = {CTRL(get_filename), CTRL(start_update),
    CTRL(OK_File), CTRL(LanTimer), CTRL(ComTimer), CTRL(Generic_Timer), CTRL(TX_TIMER)};
const MenuCallbackEntry kMenus[] = {MENU(BUS_232), MENU(BUS_488), MENU(BUS_LAN), MENU(Exit_Program)};
// clang-format on
#undef CTRL
#undef MENU

int Count(const char* name) {
    return int(std::ranges::count_if(g_calls, [name](const Call& c) { return c.name == name; }));
}

// Processes events until `done` or 10 s, as the program's waits do.
void WaitFor(const std::function<bool()>& done) {
    const auto start = Clock::now();
    while (!done() && Clock::now() - start < 10s) ProcessSystemEvents();
}

using Ms = std::chrono::duration<double, std::milli>;

// Every identifier of upload_ids.h by name.
// clang-format off
#define ID(name) {QStringLiteral(#name), ids::name}
const std::map<QString, int> kIds{
    ID(FILEPNL), ID(UPDATE), ID(MENUBAR), ID(FILEPNL_OK_file), ID(FILEPNL_TEXTMSG3),
    ID(UPDATE_BUS_SELECTION), ID(UPDATE_GPIBBOARDS), ID(UPDATE_COMPORTS),
    ID(UPDATE_BUS_SELECTION_2), ID(UPDATE_IPADDR), ID(UPDATE_PASSWORD),
    ID(UPDATE_FILENAMEBUTTON), ID(UPDATE_START), ID(UPDATE_FILE_NAME), ID(UPDATE_MODEL),
    ID(UPDATE_ERR), ID(UPDATE_NUMERICSLIDE), ID(UPDATE_CURRENTREV), ID(UPDATE_REVISION),
    ID(UPDATE_SERIAL), ID(UPDATE_TX), ID(UPDATE_DECORATION_2), ID(UPDATE_LANTIMER),
    ID(UPDATE_COMTIMER), ID(UPDATE_TIMER), ID(UPDATE_PASSMSG), ID(UPDATE_TXTIMER),
    ID(UPDATE_DECORATION), ID(UPDATE_TEXTMSG_BAUD), ID(UPDATE_DETAIL), ID(MENUBAR_BUSSELEC),
    ID(MENUBAR_BUSSELEC_SERIAL), ID(MENUBAR_BUSSELEC_GPIB), ID(MENUBAR_BUSSELEC_LAN),
    ID(MENUBAR_EXIT)};
// clang-format on
#undef ID
const std::map<QString, const char*> kClass{
    {"string", "QLineEdit"},   {"ring", "QComboBox"},       {"command", "QPushButton"}, {"textmsg", "QLabel"},
    {"slide", "QProgressBar"}, {"led", "runtime::ui::Led"}, {"decoration", "QFrame"},   {"timer", "QTimer"}};

// What an operator reads of a label: shortcut marks gone, blanks as one.
QString Readable(QString text, const char* mark) {
    return text.contains(mark) ? text.remove(mark).simplified() : text;
}

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
        // Firmware files for the pop-up, which starts in the current directory.
        for (const char* name : {"UNIT.HEX", "lower.hex", "Mixed.Hex", "notes.txt"})
            QVERIFY(QFile(dir_.filePath(name)).open(QIODevice::WriteOnly));
        QVERIFY(QDir::setCurrent(dir_.path()));
    }
    void init() {
        SetCallbackTable(kControls, kMenus);
        g_calls.clear();
        g_onCall = nullptr;
        panel_ = Shown();
        QVERIFY(panel_ > 0);
    }
    void cleanup() {
        DiscardPanel(panel_);
        SetTimeScale(1.0);
    }

    void loadFailures() {
        const QByteArray button = R"({ "format": "orvex-panel-1", "panels": [ { "name": "P",
            "resource": 1, "title": "T", "controls": [ { "constant": "P_GO", "kind": "command",
            "label": "Go", "callback": "%1" } ] } ] })";
        const QByteArray menu = R"({ "format": "orvex-panel-1", "panels": [ { "name": "P",
            "resource": 1, "title": "T", "menubar": "B", "controls": [] } ], "menubars": [ {
            "name": "B", "menus": [ { "constant": "B_QUIT", "label": "Quit",
            "callback": "Quit" } ] } ] })";
        const std::tuple<QByteArray, const char*, int, int> cases[] = {
            {{}, "no_such.panel", 1, kErrPanelFile},
            {button.left(60), "cut.panel", 1, kErrPanelFile},
            {{}, "upload.panel", 0, kErrPanelResource},
            {{}, "upload.panel", 3, kErrPanelResource},
            {QByteArray(button).replace("%1", "start_update"), "known.panel", 1, 1},  // 1: a handle
            {QByteArray(button).replace("%1", "start_updat"), "unknown.panel", 1, kErrCallbackName},
            {menu, "menu.panel", 1, kErrCallbackName}};
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

    // Every identifier of the header is the number that its entry of the panel
    // file answers to (controls and menu entries count from 2 in file order),
    // and the runtime builds each entry as the file describes it.
    void headerAgreesWithPanelFile() {
        QFile source(QStringLiteral(":/panels/upload.panel"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QJsonObject root = QJsonDocument::fromJson(source.readAll()).object();
        std::set<QString> seen;
        auto identifier = [&seen](const QJsonObject& entry, const char* key) {
            const auto found = kIds.find(*seen.insert(entry.value(key).toString()).first);
            return found == kIds.end() ? -1 : found->second;
        };
        std::map<int, QString> timerCallbacks;
        for (const QJsonValue& panelValue : root.value("panels").toArray()) {
            const QJsonObject desc = panelValue.toObject();
            QCOMPARE(identifier(desc, "name"), desc.value("resource").toInt());
            const int resource = desc.value("resource").toInt();
            const int panel = resource == ids::UPDATE ? panel_ : Shown(resource);
            QVERIFY(panel > 0);
            const QJsonArray controls = desc.value("controls").toArray();
            for (int index = 0; index < controls.size(); ++index) {
                const QJsonObject c = controls.at(index).toObject();
                const QString name = c.value("constant").toString(), kind = c.value("kind").toString();
                const int id = identifier(c, "constant");
                QObject* object =
                    kind == "timer" ? static_cast<QObject*>(TimerOf(panel, id)) : ControlWidget(panel, id);
                QVERIFY2(id == 2 + index && object != nullptr && object->objectName() == name &&
                             object->inherits(kClass.at(kind)),
                         qPrintable(name));
                if (auto* timer = qobject_cast<QTimer*>(object)) {
                    SetCtrlAttribute(panel, id, ATTR_ENABLED, 1);
                    QCOMPARE(timer->interval(), int(std::lround(c.value("interval").toDouble() * 1000)));
                    SetCtrlAttribute(panel, id, ATTR_ENABLED, 0);
                    timerCallbacks[id] = c.value("callback").toString();
                    continue;
                }
                auto* widget = static_cast<QWidget*>(object);
                QLabel* caption = CaptionWidget(panel, id);
                const QString shown = caption ? caption->text() : widget->property("text").toString();
                if (kind != "decoration")
                    QCOMPARE(Readable(shown, "&"), Readable(c.value("label").toString(), "__"));
                const QJsonValue value = c.value("value");
                if (value.isString()) QCOMPARE(Text(panel, id), value.toString());
                int number = -12345;
                if (value.isDouble()) QCOMPARE((GetCtrlVal(panel, id, &number), number), value.toInt());
                if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
                    QCOMPARE(edit->maxLength(), c.value("max_length").toInt(32767));
                    QCOMPARE(edit->isReadOnly(), c.value("display_only").toBool());
                }
                if (auto* ring = qobject_cast<QComboBox*>(widget)) {
                    QJsonArray items;
                    for (int i = 0; i < ring->count(); ++i)
                        items.append(QJsonArray{ring->itemText(i), ring->itemData(i).toInt()});
                    QCOMPARE(items, c.value("items").toArray());
                }
                if (kind == "command") {
                    g_calls.clear();
                    QTest::mouseClick(widget, Qt::LeftButton);
                    QCOMPARE(g_calls.size(), std::size_t(1));
                    QCOMPARE(g_calls[0].name, c.value("callback").toString());
                    QCOMPARE(g_calls[0].detail, EVENT_COMMIT);
                }
            }
            if (panel != panel_) DiscardPanel(panel);
        }

        // Menus, then their items; an item-less menu (EXIT) calls back itself.
        const QJsonObject bar = root.value("menubars").toArray().at(0).toObject();
        QCOMPARE(identifier(bar, "name"), ids::MENUBAR);
        int id = 2;
        auto checkMenu = [&](const QJsonObject& entry, bool opens) {
            QAction* action = MenuAction(panel_, id);
            QVERIFY(identifier(entry, "constant") == id && action != nullptr);
            QCOMPARE(Readable(action->text(), "&"), Readable(entry.value("label").toString(), "__"));
            g_calls.clear();
            QCOMPARE(TriggerMenu(panel_, id), !opens);
            if (!opens) {
                QCOMPARE(g_calls.size(), std::size_t(1));
                const Call call = g_calls[0];
                QCOMPARE(call.name, entry.value("callback").toString());
                QVERIFY(call.panel == panel_ && call.id == id && call.detail == MenuBarHandle(panel_));
            }
            ++id;
        };
        for (const QJsonValue& menu : bar.value("menus").toArray()) {
            const QJsonArray items = menu.toObject().value("items").toArray();
            checkMenu(menu.toObject(), !items.isEmpty());
            for (const QJsonValue& item : items) checkMenu(item.toObject(), false);
        }
        QCOMPARE(seen.size(), kIds.size());  // no identifier without an entry

        // Each timer made to tick calls the function that the file names.
        SetTimeScale(0.005);
        g_calls.clear();
        for (const auto& [timer, callback] : timerCallbacks) {
            SetCtrlAttribute(panel_, timer, ATTR_ENABLED, 1);
            QTRY_VERIFY_WITH_TIMEOUT(Count(qPrintable(callback)) > 0, 10000);
            SetCtrlAttribute(panel_, timer, ATTR_ENABLED, 0);
        }
        for (const Call& call : g_calls) {
            QCOMPARE(call.name, timerCallbacks.at(call.id));
            QVERIFY(call.panel == panel_ && call.detail == EVENT_TIMER_TICK);
        }
    }

    // What the operator sees and does: EXIT sits on the bar itself and answers
    // a click there; a hidden field takes its caption along; display-only
    // fields never change by typing, whatever the program sets, while inputs
    // refuse typing only as long as they are told to.
    void operatorView() {
        QMenuBar* bar = MenuBarWidget(panel_);
        QTest::mouseClick(bar, Qt::LeftButton, {},
                          bar->actionGeometry(MenuAction(panel_, ids::MENUBAR_EXIT)).center());
        QTRY_COMPARE_WITH_TIMEOUT(Count("Exit_Program"), 1, 5000);

        QWidget* ring = ControlWidget(panel_, ids::UPDATE_COMPORTS);
        QLabel* caption = CaptionWidget(panel_, ids::UPDATE_COMPORTS);
        QVERIFY(caption != nullptr);
        for (const bool visible : {false, true}) {
            QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_COMPORTS, ATTR_VISIBLE, visible), 0);
            QVERIFY(ring->isVisible() == visible && caption->isVisible() == visible);
        }

        const std::tuple<int, int, bool> cases[] = {{ids::UPDATE_MODEL, 0, false},
                                                    {ids::UPDATE_ERR, 0, false},
                                                    {ids::UPDATE_FILE_NAME, 1, false},
                                                    {ids::UPDATE_FILE_NAME, 0, true}};
        for (const auto& [control, noEditText, editable] : cases) {
            QCOMPARE(SetCtrlVal(panel_, control, "set"), 0);
            QCOMPARE(SetCtrlAttribute(panel_, control, ATTR_NO_EDIT_TEXT, noEditText), 0);
            auto* edit = qobject_cast<QLineEdit*>(ControlWidget(panel_, control));
            QTest::mouseClick(edit, Qt::LeftButton);
            edit->selectAll();
            QTest::keyClicks(edit, QStringLiteral("typed"));
            QCOMPARE(Text(panel_, control), QString::fromLatin1(editable ? "typed" : "set"));
        }
    }

    // Ticks repeat until the timer is disabled, and ResetTimer does not start
    // a stopped timer (the Com timer, ticking meanwhile, is the clock). On a
    // running timer ResetTimer starts a whole new interval, enabling it again
    // does not; every start takes the time scale of that moment.
    void timers() {
        SetTimeScale(0.01);  // Lan timer 40 ms, Com timer 50 ms
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1), 0);
        QTRY_VERIFY_WITH_TIMEOUT(Count("LanTimer") >= 3, 10000);
        QCOMPARE(SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 0), 0);
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_LANTIMER), 0);
        const int ticks = Count("LanTimer");
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QTRY_VERIFY_WITH_TIMEOUT(Count("ComTimer") >= 4, 10000);
        QCOMPARE(Count("LanTimer"), ticks);

        SetTimeScale(0.06);  // Com timer: 5 s → 300 ms
        QTimer* timer = TimerOf(panel_, ids::UPDATE_COMTIMER);
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_COMTIMER), 0);
        QCOMPARE(timer->interval(), 300);
        QTRY_VERIFY_WITH_TIMEOUT(timer->remainingTime() < 150, 5000);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QVERIFY(timer->remainingTime() < 150);
        const auto reset = Clock::now();
        QCOMPARE(ResetTimer(panel_, ids::UPDATE_COMTIMER), 0);
        QTRY_VERIFY_WITH_TIMEOUT(g_calls.back().at > reset, 5000);
        // A precise timer never fires early; allow for clock granularity only.
        QVERIFY(g_calls.back().at - reset >= std::chrono::milliseconds(297));
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 0);
        SetTimeScale(0.1);
        SetCtrlAttribute(panel_, ids::UPDATE_COMTIMER, ATTR_ENABLED, 1);
        QCOMPARE(timer->interval(), 500);
    }

    // EXIT chosen during an upload: the START callback, which processes events
    // in its waits, runs to its end before RunUserInterface returns.
    void quitInsideACallbackWaitsForItsEnd() {
        bool ended = false;
        g_onCall = [&](const Call& call) {
            if (call.name == "Exit_Program") QuitUserInterface(7);
            if (call.name != "start_update") return;
            QTimer::singleShot(20, [this] { TriggerMenu(panel_, ids::MENUBAR_EXIT); });
            WaitFor([] { return Count("Exit_Program") > 0; });
            bool later = false;  // the upload goes on with more waits after the quit
            QTimer::singleShot(20, [&later] { later = true; });
            WaitFor([&later] { return later; });
            ended = later;
        };
        QTimer::singleShot(
            0, [this] { QTest::mouseClick(ControlWidget(panel_, ids::UPDATE_START), Qt::LeftButton); });
        QCOMPARE(RunUserInterface(), 7);
        QVERIFY(Count("Exit_Program") == 1 && ended);
    }

    // A wait loop with nothing to wait for sleeps instead of burning a core,
    // yet sees an event posted from another thread at once.
    void processSystemEventsSleepsButWakesPromptly() {
        const std::clock_t cpuBefore = std::clock();
        const auto start = Clock::now();
        WaitFor([&start] { return Clock::now() - start >= 500ms; });
        const double wall = Ms(Clock::now() - start).count();
        const double cpu = double(std::clock() - cpuBefore) * 1000 / CLOCKS_PER_SEC;
        QVERIFY2(cpu < 0.3 * wall, qPrintable(QString("%1 ms CPU in %2 ms").arg(cpu).arg(wall)));

        std::vector<double> latencies;
        for (int round = 0; round < 5; ++round) {
            bool delivered = false;
            Clock::time_point posted{};
            std::thread poster([&] {
                std::this_thread::sleep_for(40ms);  // while the wait sleeps
                posted = Clock::now();
                QMetaObject::invokeMethod(
                    qApp, [&delivered] { delivered = true; }, Qt::QueuedConnection);
            });
            WaitFor([&delivered] { return delivered; });
            const auto seen = Clock::now();
            poster.join();
            QVERIFY(delivered);
            latencies.push_back(Ms(seen - posted).count());
        }
        std::sort(latencies.begin(), latencies.end());
        QVERIFY2(latencies[2] < 30.0, qPrintable(QString("median %1 ms").arg(latencies[2])));
    }

    // A due timer tick and a queued call wait for the next event processing.
    void drawEventsRunNoCallbacks() {
        SetTimeScale(0.001);  // Lan timer: 4 ms
        SetCtrlAttribute(panel_, ids::UPDATE_LANTIMER, ATTR_ENABLED, 1);
        bool queuedCallRan = false;
        QMetaObject::invokeMethod(
            qApp, [&queuedCallRan] { queuedCallRan = true; }, Qt::QueuedConnection);
        while (TimerOf(panel_, ids::UPDATE_LANTIMER)->remainingTime() > 0) std::this_thread::sleep_for(1ms);
        QCOMPARE(ProcessDrawEvents(), 0);
        QVERIFY(Count("LanTimer") == 0 && !queuedCallRan);
        WaitFor([&queuedCallRan] { return queuedCallRan && Count("LanTimer") > 0; });
        QVERIFY(queuedCallRan && Count("LanTimer") > 0);
    }

    void fileSelectPopup_data() {
        QTest::addColumn<QString>("typed");  // empty: cancel
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("path");
        QTest::newRow("select") << "lower.hex" << 260 << VAL_EXISTING_FILE_SELECTED
                                << QDir(dir_.path()).absoluteFilePath("lower.hex");
        QTest::newRow("cancel") << "" << 260 << VAL_NO_FILE_SELECTED << "unchanged";
        // A cut path would name another file: an error, the buffer as it was.
        QTest::newRow("too long") << "UNIT.HEX" << 8 << kErrBufferTooSmall << "unchanged";
    }
    // Driven as the operator drives it; firmware files are listed in any letter case.
    void fileSelectPopup() {
        QFETCH(QString, typed);
        QFETCH(int, size);
        QStringList listed;
        QElapsedTimer clock;
        clock.start();
        QTimer driver;  // closes the pop-up after 20 s, so that a failing test never hangs in it
        connect(&driver, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            auto* view = modal != nullptr ? modal->findChild<QListView*>("listView") : nullptr;
            if (view == nullptr || view->model() == nullptr) return;
            listed.clear();
            for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
                const QModelIndex index = view->model()->index(row, 0, view->rootIndex());
                if (view->model()->flags(index) & Qt::ItemIsEnabled) listed << index.data().toString();
            }
            if (clock.elapsed() > 20000) modal->close();
            if (listed.size() < 3) return;  // the listing fills in the background
            for (QPushButton* button : modal->findChildren<QPushButton*>()) {
                if (button->text().remove(u'&') != (typed.isEmpty() ? "Cancel" : "Select")) continue;
                QTest::keyClicks(modal->findChild<QLineEdit*>("fileNameEdit"), typed);
                QTest::mouseClick(button, Qt::LeftButton);
                return driver.stop();
            }
        });
        driver.start(20);
        char path[260] = "unchanged";
        const int result = FileSelectPopupText("", "*.HEX", "*.HEX", "Firmware", VAL_SELECT_BUTTON, 0, 0, 1,
                                               0, path, std::size_t(size));
        QTEST(result, "expected");
        listed.sort();
        QCOMPARE(listed, (QStringList{"Mixed.Hex", "UNIT.HEX", "lower.hex"}));
        QTEST(QString::fromUtf8(path), "path");
    }
};

QTEST_MAIN(UiTest)
#include "ui_test.moc"
