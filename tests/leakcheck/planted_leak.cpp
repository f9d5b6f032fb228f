// Drops memory inside Qt callbacks (a timer's callback and a slot called by a
// signal), where all of the program's own code runs: the sanitizer run must
// name both, or a suppression hides every leak the program could have.
#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>
#include <cstring>

namespace {

// Written through a volatile pointer and then cleared, so that no live
// reference to the block remains anywhere the leak checker scans; inlined, so
// that each allocation's stack names the function that leaks it.
void* volatile gSink = nullptr;

[[gnu::always_inline]] inline void Drop(std::size_t bytes) {
    gSink = std::malloc(bytes);
    std::memset(gSink, 0x5A, bytes);
    gSink = nullptr;
}
[[gnu::noinline]] void plantedLeakInTimer() { Drop(73); }
[[gnu::noinline]] void plantedLeakInSlot() { Drop(91); }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTimer trigger;
    trigger.setSingleShot(true);
    QObject::connect(&trigger, &QTimer::timeout, &app, [] { plantedLeakInSlot(); });
    QTimer::singleShot(0, &app, [] { plantedLeakInTimer(); });
    trigger.start(0);
    QTimer::singleShot(10, &app, &QCoreApplication::quit);
    return app.exec();
}
