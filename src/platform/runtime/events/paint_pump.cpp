// Painting between the slices of a blocking wait.
#include "paint_pump.h"

#include <QApplication>
#include <QThread>
#include <QWidget>

#include <poll.h>

#include <algorithm>

namespace runtime::detail {
namespace {

// Well under the longest gap between paints an operator should ever see
// (100 ms): the rest is left for the painting itself and for a busy machine
// waking the thread late.
constexpr int kPaintSlice_ms = 40;

bool OnUserInterfaceThread(const QApplication& application) {
    return QThread::currentThread() == application.thread();
}

}  // namespace

int PaintSlice_ms(int remaining_ms) { return std::clamp(remaining_ms, 0, kPaintSlice_ms); }

void KeepPainting() {
    auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (application == nullptr || !OnUserInterfaceThread(*application)) return;
    // Only these two kinds of posted event are sent: every other one (input,
    // queued calls, data-ready deliveries) stays queued for after the step.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    // Exposures reach the windows only through the event dispatcher, which
    // would also fire timers and socket callbacks: repainting whole windows
    // restores what another window uncovered without going through it.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && !window->isMinimized()) window->repaint();
    }
}

bool PollWhilePainting(int descriptor, short events, const Deadline& deadline) {
    if (descriptor < 0) return true;
    for (;;) {
        const int remaining_ms = deadline.remaining_ms();
        pollfd entry{descriptor, events, 0};
        // Errors and hang-ups count as ready: the caller's own wait reports them.
        if (::poll(&entry, 1, PaintSlice_ms(remaining_ms)) != 0) return true;
        if (remaining_ms <= kPaintSlice_ms) return false;
        KeepPainting();
    }
}

}  // namespace runtime::detail
