// Where the stand-in driver and the simulator look for a board's socket: one
// rule in the shared protocol header, so both sides always meet.
#include <QtTest>

#include <tuple>

#include "gpib_wire.h"

class WireTest : public QObject {
    Q_OBJECT

private slots:
    void socketPathOfABoard() {
        // pattern, board, path
        const std::tuple<const char*, int, const char*> rows[] = {
            {"/run/gpib%d/board%d.sock", 3, "/run/gpib3/board3.sock"},  // every placeholder
            {"/tmp/%d%d", 1, "/tmp/11"},                                // replacements are not scanned again
            {"/tmp/gpib.sock", 5, "/tmp/gpib.sock"},                    // one socket for every board
            {"/tmp/100%/gpib%d", 2, "/tmp/100%/gpib2"},                 // a lone percent stays
            {"/tmp/%%d", 4, "/tmp/%4"},                                 // "%%" is no escape
        };
        for (const auto& [pattern, board, path] : rows)
            QCOMPARE(gpib_wire::socketPathFor(pattern, board), std::string(path));
    }
};

QTEST_APPLESS_MAIN(WireTest)
#include "test_wire.moc"
