// A program that drops memory inside Qt callbacks (a timer's callback and a
// slot called by a signal), the places where this project's own leaks would
// happen. The sanitizer run must name both: a suppression that hid them would
// hide every leak of the program, whose code runs only in such callbacks.
#include <QCoreApplication>
#include <QObject>
#include <QTimer>

#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kTimerLeakBytes = 73;
constexpr std::size_t kSlotLeakBytes = 91;

// Written through a volatile pointer and then cleared, so that no live
// reference to the block remains anywhere the leak checker scans.
void* volatile gSink = nullptr;

[[gnu::noinline]] void plantedLeakInTimer() {
    gSink = std::malloc(kTimerLeakBytes);
    std::memset(gSink, 0x5A, kTimerLeakBytes);
    gSink = nullptr;
}

[[gnu::noinline]] void plantedLeakInSlot() {
    gSink = std::malloc(kSlotLeakBytes);
    std::memset(gSink, 0xA5, kSlotLeakBytes);
    gSink = nullptr;
}

class Receiver : public QObject {
public:
    void onFired() { plantedLeakInSlot(); }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Receiver receiver;
    QTimer trigger;
    trigger.setSingleShot(true);
    QObject::connect(&trigger, &QTimer::timeout, &receiver, &Receiver::onFired);
    QTimer::singleShot(0, &app, [] { plantedLeakInTimer(); });
    trigger.start(0);
    QTimer::singleShot(10, &app, &QCoreApplication::quit);
    return app.exec();
}
