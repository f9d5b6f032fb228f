// The process-wide loader lock. It serialises loading and every name lookup
// across the threads of the process and across every module of the process
// that carries this binding, so it is a named object whose name holds the
// process ID: the POSIX named semaphore "/GPIB driver binding lock <pid>"
// (value 1 when free). All modules that open that name share one semaphore.
//
// A semaphore has no owner, so re-entry is counted per thread inside this
// module: a thread that holds the lock (setting the status while loading
// looks up SetGpibStatusVariablesForThread) takes it again without waiting.
//
// The name is unlinked when the lock is closed (at unload, or at the latest
// when the process exits normally). A process killed in between leaves
// /dev/shm/"sem.GPIB driver binding lock <pid>" behind; it is harmless unless
// it was killed while loading and a later process gets the same ID.
#pragma once

namespace gpib::detail {

// Creates the lock if the process has none yet, then waits for it without
// limit. Returns 0, or the system's error code when the lock cannot be created.
int AcquireLoaderLock();
void ReleaseLoaderLock();
bool LoaderLockExists();
// Closes the lock and removes its name; the next acquisition creates it anew.
void CloseLoaderLock();

// RAII holder: releases on scope exit what it acquired.
class LoaderLockHold {
public:
    LoaderLockHold() = default;
    ~LoaderLockHold() {
        if (held_) ReleaseLoaderLock();
    }
    LoaderLockHold(const LoaderLockHold&) = delete;
    LoaderLockHold& operator=(const LoaderLockHold&) = delete;

    int Acquire() {
        if (held_) return 0;
        const int error = AcquireLoaderLock();
        held_ = error == 0;
        return error;
    }
    bool Held() const { return held_; }

private:
    bool held_ = false;
};

}  // namespace gpib::detail
