// What assistive technology reads from the main panel, through Qt's own
// accessibility interfaces: a window named by its title, every field named by
// the label beside it, and the lamp's state following the program's changes.
#include <QAccessible>
#include <QtTest>

#include "runtime.h"
#include "runtime_testing.h"
#include "ui.h"
#include "upload_ids.h"

using namespace runtime;

namespace {

QAccessibleInterface* Accessible(QWidget* widget) { return QAccessible::queryAccessibleInterface(widget); }

// The text of the label the interface is labelled by, if any.
QString LabelledBy(QAccessibleInterface* field) {
    for (const auto& [label, relation] : field->relations(QAccessible::Label))
        return label->text(QAccessible::Name).simplified();
    return {};
}

}  // namespace

class AccessiblePanelTest : public QObject {
    Q_OBJECT

    int panel_ = 0;

private slots:
    void init() {
        SetCallbackTable(orvex::control_callbacks(), orvex::menu_callbacks());
        panel_ = LoadPanel(0, "upload.panel", ids::UPDATE);
        QVERIFY(panel_ > 0);
        SetCtrlAttribute(panel_, ids::UPDATE_TIMER, ATTR_ENABLED, 0);
    }
    void cleanup() { DiscardPanel(panel_); }

    void windowIsNamedByTitle() {
        QAccessibleInterface* window = Accessible(PanelWindow(panel_));
        QVERIFY(window != nullptr);
        QCOMPARE(window->role(), QAccessible::Window);
        QVERIFY2(window->text(QAccessible::Name).startsWith(u"Orvex Firmware Upgrade"),
                 qPrintable(window->text(QAccessible::Name)));
    }

    void fieldsAreNamedByTheirLabels_data() {
        QTest::addColumn<int>("control");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("captioned");
        QTest::newRow("display field") << ids::UPDATE_BUS_SELECTION << "Selected Bus" << true;
        QTest::newRow("ring") << ids::UPDATE_GPIBBOARDS << "GPIB Board" << true;
        QTest::newRow("ring of numbers") << ids::UPDATE_BUS_SELECTION_2 << "Address" << true;
        QTest::newRow("input field") << ids::UPDATE_IPADDR << "IP Address" << true;
        QTest::newRow("shortcut mark before a blank") << ids::UPDATE_PASSWORD << "Unit Password" << true;
        QTest::newRow("caption on two lines")
            << ids::UPDATE_REVISION << "Firmware Version Before Update" << true;
        QTest::newRow("caption after a line break") << ids::UPDATE_CURRENTREV << "After Update" << true;
        QTest::newRow("slide") << ids::UPDATE_NUMERICSLIDE << "progress... %" << true;
        QTest::newRow("lamp") << ids::UPDATE_TX << "Transmit" << true;
        QTest::newRow("button") << ids::UPDATE_FILENAMEBUTTON << "Select Filename" << false;
        QTest::newRow("field filled by the button beside it")
            << ids::UPDATE_FILE_NAME << "Select Filename" << false;
    }
    void fieldsAreNamedByTheirLabels() {
        QFETCH(int, control);
        QFETCH(QString, name);
        QFETCH(bool, captioned);
        QAccessibleInterface* field = Accessible(ControlWidget(panel_, control));
        QVERIFY(field != nullptr);
        // On Linux a combo box speaks its current item as its name and its
        // label through the relation; elsewhere it takes the name we give.
        if (field->role() == QAccessible::ComboBox) {
            QCOMPARE(ControlWidget(panel_, control)->accessibleName(), name);
        } else {
            QCOMPARE(field->text(QAccessible::Name), name);
        }
        if (captioned) QCOMPARE(LabelledBy(field), name);
    }

    void lampTellsWhetherItIsLit() {
        QAccessibleInterface* lamp = Accessible(ControlWidget(panel_, ids::UPDATE_TX));
        QCOMPARE(lamp->text(QAccessible::Description), u"Transmit: off");
        for (const auto& [value, text] :
             {std::pair{1, u"Transmit: on"}, {0, u"Transmit: off"}, {1, u"Transmit: on"}}) {
            QCOMPARE(SetCtrlVal(panel_, ids::UPDATE_TX, value), 0);
            QCOMPARE(lamp->text(QAccessible::Description), text);
        }
    }
};

QTEST_MAIN(AccessiblePanelTest)
#include "test_accessible_panel.moc"
