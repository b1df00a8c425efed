// A lock for std::lock_guard on the platform's slim reader/writer lock. The
// stack avoids the C++ runtime's thread primitives: with some toolchains they
// take a thread-local slot per load of the DLL that is never given back.
#pragma once

#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    // For sleeping on a condition variable while holding the lock.
    SRWLOCK* native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
