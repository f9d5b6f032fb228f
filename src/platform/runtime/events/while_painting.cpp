// Running a blocking call on a worker thread while the user-interface thread
// keeps the windows painted and runs nothing else.
#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "paint_pump.h"
#include "runtime.h"

namespace runtime {

void RunWhilePainting(void (*work)(void* context), void* context) {
    if (work == nullptr) return;
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        // There is no window this thread could paint.
        work(context);
        return;
    }

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread worker([&] {
        work(context);
        const std::lock_guard lock(mutex);
        done = true;
        finished.notify_one();
    });
    const auto slice = std::chrono::milliseconds(detail::PaintSlice_ms(INT_MAX));
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, slice, [&] { return done; })) {
        lock.unlock();
        detail::KeepPainting();
        lock.lock();
    }
    lock.unlock();
    worker.join();
}

}  // namespace runtime
