// The process-wide loader lock. It serialises loading and every name lookup
// across the threads of the process. It is a recursive mutex of this module:
// a thread that holds it (setting the status while loading looks up
// SetGpibStatusVariablesForThread) takes it again without waiting.
//
// A named system object would outlive a killed process, and a later process
// that happened to get the same ID would wait on it for ever; a mutex of the
// process cannot be left behind. The price: another module of the same process
// that carries its own copy of the binding has its own lock.
#pragma once

namespace gpib::detail {

// Waits for the lock without limit. Returns 0 (the system's error code if it
// ever could not be taken).
int AcquireLoaderLock();
void ReleaseLoaderLock();
// Whether a load was attempted since the last unload.
bool LoaderLockExists();
// Marks the lock unused; unloading calls it.
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
