// Where the stand-in driver and the simulator look for a board's socket: one
// rule in the shared protocol header, so both sides always meet.
#include <QtTest>

#include "gpib_wire.h"

class WireTest : public QObject {
    Q_OBJECT

private slots:
    void socketPathOfABoard_data() {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<int>("board");
        QTest::addColumn<QString>("path");
        QTest::newRow("one placeholder") << "/tmp/sim/gpib%d.sock" << 0 << "/tmp/sim/gpib0.sock";
        QTest::newRow("every placeholder") << "/run/gpib%d/board%d.sock" << 3 << "/run/gpib3/board3.sock";
        QTest::newRow("two digits") << "/tmp/gpib%d.sock" << 12 << "/tmp/gpib12.sock";
        QTest::newRow("placeholder at both ends") << "%dx%d" << 7 << "7x7";
        QTest::newRow("adjacent placeholders") << "/tmp/%d%d" << 1 << "/tmp/11";
        QTest::newRow("no placeholder: one socket for all") << "/tmp/gpib.sock" << 5 << "/tmp/gpib.sock";
        QTest::newRow("a lone percent stays") << "/tmp/100%/gpib%d" << 2 << "/tmp/100%/gpib2";
        QTest::newRow("%%d is not an escape") << "/tmp/%%d" << 4 << "/tmp/%4";
        QTest::newRow("other conversions stay") << "/tmp/%s%d" << 6 << "/tmp/%s6";
        QTest::newRow("empty") << "" << 0 << "";
    }

    void socketPathOfABoard() {
        QFETCH(QString, pattern);
        QFETCH(int, board);
        QFETCH(QString, path);
        QCOMPARE(QString::fromStdString(gpib_wire::socketPathFor(pattern.toStdString(), board)), path);
    }
};

QTEST_APPLESS_MAIN(WireTest)
#include "test_wire.moc"
