// Loading panels: failures, handles, and the agreement between the panel file,
// the identifiers header and the panels the runtime builds from them.
#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cmath>
#include <map>

#include "panel_test_support.h"
#include "runtime.h"
#include "runtime_testing.h"
#include "upload_ids.h"

using namespace runtime;

namespace {

// Every identifier of upload_ids.h by name.
const std::map<QString, int> kPanelIds{{"FILEPNL", ids::FILEPNL}, {"UPDATE", ids::UPDATE}};
const std::map<QString, int> kControlIds{
    {"FILEPNL_OK_file", ids::FILEPNL_OK_file},
    {"FILEPNL_TEXTMSG3", ids::FILEPNL_TEXTMSG3},
    {"UPDATE_BUS_SELECTION", ids::UPDATE_BUS_SELECTION},
    {"UPDATE_GPIBBOARDS", ids::UPDATE_GPIBBOARDS},
    {"UPDATE_COMPORTS", ids::UPDATE_COMPORTS},
    {"UPDATE_BUS_SELECTION_2", ids::UPDATE_BUS_SELECTION_2},
    {"UPDATE_IPADDR", ids::UPDATE_IPADDR},
    {"UPDATE_PASSWORD", ids::UPDATE_PASSWORD},
    {"UPDATE_FILENAMEBUTTON", ids::UPDATE_FILENAMEBUTTON},
    {"UPDATE_START", ids::UPDATE_START},
    {"UPDATE_FILE_NAME", ids::UPDATE_FILE_NAME},
    {"UPDATE_MODEL", ids::UPDATE_MODEL},
    {"UPDATE_ERR", ids::UPDATE_ERR},
    {"UPDATE_NUMERICSLIDE", ids::UPDATE_NUMERICSLIDE},
    {"UPDATE_CURRENTREV", ids::UPDATE_CURRENTREV},
    {"UPDATE_REVISION", ids::UPDATE_REVISION},
    {"UPDATE_SERIAL", ids::UPDATE_SERIAL},
    {"UPDATE_TX", ids::UPDATE_TX},
    {"UPDATE_DECORATION_2", ids::UPDATE_DECORATION_2},
    {"UPDATE_LANTIMER", ids::UPDATE_LANTIMER},
    {"UPDATE_COMTIMER", ids::UPDATE_COMTIMER},
    {"UPDATE_TIMER", ids::UPDATE_TIMER},
    {"UPDATE_PASSMSG", ids::UPDATE_PASSMSG},
    {"UPDATE_TXTIMER", ids::UPDATE_TXTIMER},
    {"UPDATE_DECORATION", ids::UPDATE_DECORATION},
    {"UPDATE_TEXTMSG_BAUD", ids::UPDATE_TEXTMSG_BAUD},
};
const std::map<QString, int> kMenuIds{
    {"MENUBAR_BUSSELEC", ids::MENUBAR_BUSSELEC},
    {"MENUBAR_BUSSELEC_SERIAL", ids::MENUBAR_BUSSELEC_SERIAL},
    {"MENUBAR_BUSSELEC_GPIB", ids::MENUBAR_BUSSELEC_GPIB},
    {"MENUBAR_BUSSELEC_LAN", ids::MENUBAR_BUSSELEC_LAN},
    {"MENUBAR_EXIT", ids::MENUBAR_EXIT},
};

QJsonObject EmbeddedPanelFile() {
    QFile file(QStringLiteral(":/panels/upload.panel"));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// What an operator reads of a label: the shortcut marks gone, blanks as one.
QString Readable(QString text, const QString& mark) {
    if (!text.contains(mark)) return text;
    text.remove(mark);
    return text.simplified();
}

QString ShownText(QWidget* widget, QLabel* caption) {
    if (caption != nullptr) return caption->text();
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    return {};
}

QString Text(int panel, int control) {
    char text[300] = {};
    return GetCtrlVal(panel, control, text) == 0 ? QString::fromUtf8(text)
                                                 : QStringLiteral("<error>");
}

int Number(int panel, int control) {
    int value = -12345;
    GetCtrlVal(panel, control, &value);
    return value;
}

// A panel file with one button whose callback is `callbackName`.
QByteArray OneButtonPanel(const char* callbackName) {
    return QByteArray(R"({ "format": "orvex-panel-1", "panels": [ { "name": "P", "resource": 1,
        "title": "T", "controls": [ { "constant": "P_GO", "kind": "command", "label": "Go",
        "callback": ")") +
           callbackName + R"(" } ] } ] })";
}

}  // namespace

class PanelFileTest : public QObject {
    Q_OBJECT

private slots:
    void init() { support::InstallRecorders(); }

    void refusesMissingAndMalformedFiles() {
        QCOMPARE(LoadPanel(0, "no_such.panel", 1), kErrPanelFile);
        QCOMPARE(LoadPanel(0, "", 1), kErrPanelFile);
        QTemporaryDir dir;
        const QString broken = dir.filePath(QStringLiteral("broken.panel"));
        QFile file(broken);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({ "format": "orvex-panel-1", "panels": [ { "resource": 1, )");
        file.close();
        QCOMPARE(LoadPanel(0, broken.toUtf8().constData(), 1), kErrPanelFile);
    }

    void refusesUnknownResource() {
        QCOMPARE(LoadPanel(0, "upload.panel", 0), kErrPanelResource);
        QCOMPARE(LoadPanel(0, "upload.panel", 3), kErrPanelResource);
    }

    // A panel file from the file system loads when the program knows its
    // callbacks, and fails loudly when it names one the program lacks.
    void refusesUnknownCallbackNames() {
        QTemporaryDir dir;
        auto write = [&dir](const char* name, const QByteArray& content) {
            QFile file(dir.filePath(QString::fromLatin1(name)));
            if (!file.open(QIODevice::WriteOnly)) return QByteArray();
            file.write(content);
            return dir.filePath(QString::fromLatin1(name)).toUtf8();
        };
        const QByteArray known = write("known.panel", OneButtonPanel("start_update"));
        const QByteArray unknown = write("unknown.panel", OneButtonPanel("start_updat"));
        const QByteArray badMenu = write("menu.panel", R"({ "format": "orvex-panel-1",
            "panels": [ { "name": "P", "resource": 1, "title": "T", "menubar": "B", "controls": [] } ],
            "menubars": [ { "name": "B", "menus": [ { "constant": "B_QUIT", "label": "Quit",
            "callback": "Quit_Program" } ] } ] })");

        const int panel = LoadPanel(0, known.constData(), 1);
        QVERIFY(panel > 0);
        QCOMPARE(LoadPanel(0, unknown.constData(), 1), kErrCallbackName);
        QCOMPARE(LoadPanel(0, badMenu.constData(), 1), kErrCallbackName);
        QCOMPARE(DiscardPanel(panel), 0);
    }

    void everyLoadGivesItsOwnHandle() {
        const int first = LoadPanel(0, "upload.panel", ids::UPDATE);
        const int second = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(first > 0);
        QVERIFY(second > 0);
        QVERIFY(first != second);
        QCOMPARE(SetCtrlVal(first, ids::UPDATE_ERR, "first"), 0);
        QCOMPARE(Text(second, ids::UPDATE_ERR), QString());  // separate panels

        QCOMPARE(DiscardPanel(first), 0);
        QCOMPARE(DiscardPanel(first), kErrInvalidPanel);
        QCOMPARE(SetCtrlVal(first, ids::UPDATE_ERR, "gone"), kErrInvalidPanel);
        QCOMPARE(DisplayPanel(first), kErrInvalidPanel);
        QCOMPARE(SetCtrlVal(second, ids::UPDATE_ERR, "alive"), 0);
        QCOMPARE(SetCtrlVal(second, 26, "none"), kErrInvalidControl);
        QCOMPARE(LoadPanel(first, "upload.panel", ids::FILEPNL), kErrInvalidPanel);
        QCOMPARE(DiscardPanel(second), 0);
    }

    void headerAndPanelFileAgree_data() {
        QTest::addColumn<QString>("panelName");
        QTest::newRow("FILEPNL") << QStringLiteral("FILEPNL");
        QTest::newRow("UPDATE") << QStringLiteral("UPDATE");
    }

    // Control identifiers are 2, 3, ... in file order; the header names each one
    // with the number that the loaded panel answers to, and the loaded control
    // is what the file describes.
    void headerAndPanelFileAgree() {
        QFETCH(QString, panelName);
        const QJsonObject root = EmbeddedPanelFile();
        QJsonObject panelObject;
        for (const QJsonValue& entry : root.value("panels").toArray())
            if (entry.toObject().value("name").toString() == panelName)
                panelObject = entry.toObject();
        QVERIFY(!panelObject.isEmpty());
        QCOMPARE(panelObject.value("resource").toInt(), kPanelIds.at(panelName));

        const int panel = LoadPanel(0, "upload.panel", kPanelIds.at(panelName));
        QVERIFY(panel > 0);
        QCOMPARE(DisplayPanel(panel), 0);
        QVERIFY(QTest::qWaitForWindowExposed(PanelWindow(panel)));
        char title[80] = {};
        QCOMPARE(GetPanelAttribute(panel, ATTR_TITLE, title), 0);
        QCOMPARE(QString::fromUtf8(title), panelObject.value("title").toString());

        const QJsonArray controls = panelObject.value("controls").toArray();
        int expectedCount = 0;
        for (const auto& [name, id] : kControlIds)
            expectedCount += name.startsWith(panelName + "_");
        QCOMPARE(int(controls.size()), expectedCount);

        for (int index = 0; index < controls.size(); ++index) {
            const QJsonObject control = controls.at(index).toObject();
            const QString name = control.value("constant").toString();
            const QString kind = control.value("kind").toString();
            const QString label = control.value("label").toString();
            QVERIFY2(kControlIds.count(name) == 1, qPrintable(name + " is not in the header"));
            const int id = kControlIds.at(name);
            QVERIFY2(id == 2 + index, qPrintable(name + " out of file order"));

            QWidget* widget = ControlWidget(panel, id);
            QLabel* caption = CaptionWidget(panel, id);
            if (kind == "timer") {
                QTimer* timer = TimerOf(panel, id);
                QVERIFY(widget == nullptr);
                QVERIFY(timer != nullptr);
                QCOMPARE(timer->objectName(), name);
                int enabled = -1;
                QCOMPARE(GetCtrlAttribute(panel, id, ATTR_ENABLED, &enabled), 0);
                QCOMPARE(enabled, control.value("enabled").toBool() ? 1 : 0);
                SetCtrlAttribute(panel, id, ATTR_ENABLED, 0);
                SetCtrlAttribute(panel, id, ATTR_ENABLED, 1);
                QCOMPARE(timer->interval(),
                         int(std::lround(control.value("interval").toDouble() * 1000)));
                SetCtrlAttribute(panel, id, ATTR_ENABLED, 0);
                continue;
            }
            QVERIFY2(widget != nullptr, qPrintable(name));
            QCOMPARE(widget->objectName(), name);
            if (kind == "string") {
                auto* edit = qobject_cast<QLineEdit*>(widget);
                QVERIFY2(edit != nullptr, qPrintable(name));
                QCOMPARE(Text(panel, id), control.value("value").toString());
                QCOMPARE(edit->isReadOnly(), control.value("display_only").toBool());
                if (control.contains("max_length"))
                    QCOMPARE(edit->maxLength(), control.value("max_length").toInt());
            } else if (kind == "ring") {
                auto* ring = qobject_cast<QComboBox*>(widget);
                QVERIFY2(ring != nullptr, qPrintable(name));
                const QJsonArray items = control.value("items").toArray();
                QCOMPARE(ring->count(), int(items.size()));
                for (int i = 0; i < items.size(); ++i) {
                    QCOMPARE(ring->itemText(i), items.at(i).toArray().at(0).toString());
                    QCOMPARE(ring->itemData(i).toInt(), items.at(i).toArray().at(1).toInt());
                }
                QCOMPARE(Number(panel, id), control.value("value").toInt());
            } else if (kind == "command") {
                QVERIFY2(qobject_cast<QPushButton*>(widget) != nullptr, qPrintable(name));
            } else if (kind == "textmsg") {
                QVERIFY2(qobject_cast<QLabel*>(widget) != nullptr, qPrintable(name));
                QCOMPARE(Text(panel, id), label);
            } else if (kind == "slide") {
                auto* bar = qobject_cast<QProgressBar*>(widget);
                QVERIFY2(bar != nullptr, qPrintable(name));
                QCOMPARE(bar->minimum(), control.value("min").toInt());
                QCOMPARE(bar->maximum(), control.value("max").toInt());
                QCOMPARE(Number(panel, id), control.value("value").toInt());
            } else if (kind == "led") {
                QCOMPARE(Number(panel, id), control.value("value").toInt());
            } else {
                QCOMPARE(kind, QStringLiteral("decoration"));
            }
            if (kind != "decoration")
                QCOMPARE(Readable(ShownText(widget, caption), "&"), Readable(label, "__"));

            // A named callback is bound to exactly that function of the program.
            const QString callback = control.value("callback").toString();
            if (kind == "command") {
                support::ControlCalls().clear();
                QTest::mouseClick(widget, Qt::LeftButton);
                QCOMPARE(int(support::ControlCalls().size()), callback.isEmpty() ? 0 : 1);
                if (!callback.isEmpty()) QCOMPARE(support::ControlCalls().back().name, callback);
            }
        }
        QCOMPARE(ControlWidget(panel, 2 + int(controls.size())), nullptr);

        if (panelName == "UPDATE") {
            // The two text fields with limits the sequences rely on.
            QCOMPARE(
                qobject_cast<QLineEdit*>(ControlWidget(panel, ids::UPDATE_IPADDR))->maxLength(),
                15);
            QCOMPARE(
                qobject_cast<QLineEdit*>(ControlWidget(panel, ids::UPDATE_PASSWORD))->maxLength(),
                8);
        }
        QCOMPARE(DiscardPanel(panel), 0);
    }

    // Timer callbacks by name: each timer, made to tick, calls the function
    // that the file names for it.
    void timerCallbacksAgree() {
        const int panel = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel > 0);
        const QJsonArray controls = [] {
            for (const QJsonValue& entry : EmbeddedPanelFile().value("panels").toArray())
                if (entry.toObject().value("name").toString() == "UPDATE")
                    return entry.toObject().value("controls").toArray();
            return QJsonArray();
        }();
        const support::ScopedTimeScale fast(0.005);
        for (int index = 0; index < controls.size(); ++index) {
            const QJsonObject control = controls.at(index).toObject();
            if (control.value("kind").toString() != "timer") continue;
            const int id = 2 + index;
            for (int other = 0; other < controls.size(); ++other)
                if (controls.at(other).toObject().value("kind").toString() == "timer")
                    SetCtrlAttribute(panel, 2 + other, ATTR_ENABLED, other == index ? 1 : 0);
            support::ControlCalls().clear();
            QTRY_VERIFY_WITH_TIMEOUT(!support::ControlCalls().empty(), 10000);
            const support::ControlCall call = support::ControlCalls().front();
            QCOMPARE(call.name, control.value("callback").toString());
            QCOMPARE(call.control, id);
            QCOMPARE(call.event, EVENT_TIMER_TICK);
            SetCtrlAttribute(panel, id, ATTR_ENABLED, 0);
        }
        QCOMPARE(DiscardPanel(panel), 0);
    }

    // Menus and their items are numbered from 2 in file order; each calls the
    // function the file names, with the bar's handle, its own identifier and
    // the panel.
    void menuIdentifiersAndCallbacksAgree() {
        const QJsonObject root = EmbeddedPanelFile();
        const QJsonArray menus =
            root.value("menubars").toArray().at(0).toObject().value("menus").toArray();
        QCOMPARE(root.value("menubars").toArray().at(0).toObject().value("name").toString(),
                 QStringLiteral("MENUBAR"));
        const int panel = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel > 0);
        const int bar = MenuBarHandle(panel);
        QVERIFY(bar > 0);

        int id = 2;
        int seen = 0;
        auto check = [&](const QJsonObject& entry, bool opensItems) {
            const QString name = entry.value("constant").toString();
            QVERIFY2(kMenuIds.count(name) == 1, qPrintable(name + " is not in the header"));
            QCOMPARE(kMenuIds.at(name), id);
            QAction* action = MenuAction(panel, id);
            QVERIFY(action != nullptr);
            QCOMPARE(Readable(action->text(), "&"),
                     Readable(entry.value("label").toString(), "__"));
            support::MenuCalls().clear();
            QCOMPARE(TriggerMenu(panel, id), !opensItems);
            if (!opensItems) {
                QCOMPARE(int(support::MenuCalls().size()), 1);
                const support::MenuCall call = support::MenuCalls().back();
                QCOMPARE(call.name, entry.value("callback").toString());
                QCOMPARE(call.menuBar, bar);
                QCOMPARE(call.item, id);
                QCOMPARE(call.panel, panel);
            }
            ++id;
            ++seen;
        };
        for (const QJsonValue& menuValue : menus) {
            const QJsonObject menu = menuValue.toObject();
            const QJsonArray items = menu.value("items").toArray();
            check(menu, !items.isEmpty());
            for (const QJsonValue& item : items) check(item.toObject(), false);
        }
        QCOMPARE(seen, int(kMenuIds.size()));
        QCOMPARE(MenuAction(panel, id), nullptr);
        QCOMPARE(DiscardPanel(panel), 0);
    }
};

QTEST_MAIN(PanelFileTest)
#include "panel_file_test.moc"
