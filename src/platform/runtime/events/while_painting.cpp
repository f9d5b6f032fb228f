// Running a blocking call on a worker thread while the user-interface thread
// keeps the windows painted and runs nothing else.
//
// One worker lives for the whole process: a driver keeps per-thread state
// (its status word), and a thread started per call would cost more than many
// calls take. Both sides spin briefly before they sleep, because most calls
// (a write to an instrument that listens) are over within a few microseconds.
#include <QCoreApplication>
#include <QThread>

#include <pthread.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "paint_pump.h"
#include "runtime.h"

namespace runtime {
namespace {

using Clock = std::chrono::steady_clock;
// How long either side polls before it sleeps.
constexpr auto kSpin = std::chrono::microseconds(200);

template <typename Predicate>
bool spin_until(Predicate ready) {
    const auto until = Clock::now() + kSpin;
    while (Clock::now() < until)
        if (ready()) return true;
    return ready();
}

class Worker {
public:
    Worker() : thread_([this] { serve(); }) {}
    ~Worker() {
        {
            const std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_worker_.notify_one();
        thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void run(void (*work)(void*), void* context) {
        {
            const std::lock_guard lock(mutex_);
            work_ = work;
            context_ = context;
            done_.store(false);
            pending_.store(true);
        }
        wake_worker_.notify_one();
        if (spin_until([this] { return done_.load(); })) return;
        const auto slice = std::chrono::milliseconds(detail::PaintSlice_ms(INT_MAX));
        std::unique_lock lock(mutex_);
        while (!work_done_.wait_for(lock, slice, [this] { return done_.load(); })) {
            lock.unlock();
            detail::KeepPainting();
            lock.lock();
        }
    }

private:
    void serve() {
        // Stop signals belong to the user-interface thread, which handles them
        // between steps; here one would break off a driver call mid-transfer.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        for (;;) {
            spin_until([this] { return pending_.load(); });
            std::unique_lock lock(mutex_);
            wake_worker_.wait(lock, [this] { return pending_.load() || quit_; });
            if (quit_) return;
            pending_.store(false);
            void (*work)(void*) = work_;
            void* context = context_;
            lock.unlock();
            work(context);
            lock.lock();
            done_.store(true);
            lock.unlock();
            work_done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_worker_;
    std::condition_variable work_done_;
    std::atomic<bool> pending_{false};
    std::atomic<bool> done_{false};
    bool quit_ = false;
    void (*work_)(void*) = nullptr;
    void* context_ = nullptr;
    std::thread thread_;
};

}  // namespace

void RunWhilePainting(void (*work)(void* context), void* context) {
    if (work == nullptr) return;
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        // There is no window this thread could paint.
        work(context);
        return;
    }
    static Worker worker;
    worker.run(work, context);
}

}  // namespace runtime
