#include "loader_lock.h"

#include <atomic>
#include <mutex>

namespace gpib::detail {
namespace {

// Lives as long as the process: a late caller after unloading still finds it.
std::recursive_mutex g_lock;
std::atomic<bool> g_exists{false};

}  // namespace

int AcquireLoaderLock() {
    g_lock.lock();
    g_exists.store(true);
    return 0;
}

void ReleaseLoaderLock() { g_lock.unlock(); }

bool LoaderLockExists() { return g_exists.load(); }

void CloseLoaderLock() { g_exists.store(false); }

}  // namespace gpib::detail
