#include "loader_lock.h"

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>

namespace gpib::detail {
namespace {

constexpr const char* kLockNameFormat = "/GPIB driver binding lock %d";
constexpr mode_t kLockMode = 0600;  // the process's own user only
constexpr unsigned kLockFree = 1;   // created "not owned"

std::atomic<sem_t*> g_lock{nullptr};
thread_local int t_depth = 0;  // how often this thread holds the lock

using LockName = std::array<char, 64>;

LockName MakeLockName() {
    LockName name{};
    std::snprintf(name.data(), name.size(), kLockNameFormat, static_cast<int>(getpid()));
    return name;
}

void WaitFor(sem_t* lock) {
    while (sem_wait(lock) != 0 && errno == EINTR) {
    }
}

// Removes the name when the process ends normally without having unloaded,
// so that no lock outlives its process.
struct CloseAtExit {
    ~CloseAtExit() { CloseLoaderLock(); }
} g_close_at_exit;

}  // namespace

int AcquireLoaderLock() {
    if (t_depth > 0) {
        ++t_depth;
        return 0;
    }
    sem_t* lock = g_lock.load();
    if (lock == nullptr) {
        const LockName name = MakeLockName();
        errno = 0;
        sem_t* created = sem_open(name.data(), O_CREAT, kLockMode, kLockFree);
        if (created == SEM_FAILED) return errno != 0 ? errno : EINVAL;
        WaitFor(created);
        sem_t* expected = nullptr;
        if (!g_lock.compare_exchange_strong(expected, created)) {
            // Another thread stored a lock meanwhile: that one is the lock.
            sem_post(created);
            sem_close(created);
            lock = expected;
            WaitFor(lock);
        }
    } else {
        WaitFor(lock);
    }
    t_depth = 1;
    return 0;
}

void ReleaseLoaderLock() {
    if (t_depth == 0) return;
    if (--t_depth > 0) return;
    if (sem_t* lock = g_lock.load()) sem_post(lock);
}

bool LoaderLockExists() { return g_lock.load() != nullptr; }

void CloseLoaderLock() {
    sem_t* lock = g_lock.exchange(nullptr);
    if (lock == nullptr) return;
    sem_close(lock);
    const LockName name = MakeLockName();
    sem_unlink(name.data());
}

}  // namespace gpib::detail
