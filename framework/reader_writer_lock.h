#pragma once
// CReaderWriterLock: many readers or one writer, with a closed state.
//
// Waiting goes through the calling thread's wait seam (platform/sync.h), so
// a fiber of the worker pool that waits parks and its worker runs other
// fibers; the owner of a hold is whoever took it, not the thread.
//
// A writer that waits keeps new readers out, so a stream of readers cannot
// starve it. Close refuses every lock from then on and wakes every waiter
// with a failure; holds taken before Close stay valid until released, and
// WaitUntilFree lets the closer wait for them. An owner that is stopping
// closes the lock, waits for its users to end and only then destroys what
// the lock guards.

#include "platform/sync.h"

#include <cstdint>

class CReaderWriterLock {
public:
    CReaderWriterLock() = default;
    CReaderWriterLock(const CReaderWriterLock&) = delete;
    CReaderWriterLock& operator=(const CReaderWriterLock&) = delete;

    // True when taken; false when the lock is closed or the monotonic
    // deadline passed first (platform::kNoDeadline: no limit).
    [[nodiscard]] bool LockRead(std::uint64_t deadlineMs = platform::kNoDeadline);
    [[nodiscard]] bool LockWrite(std::uint64_t deadlineMs = platform::kNoDeadline);
    void UnlockRead();
    void UnlockWrite();

    // Refuses every lock from now on and wakes every waiter (who fails).
    void Close();
    // Back to open, for an owner that starts again; nobody may hold it.
    void Reopen();
    bool IsClosed();
    // After Close: true once no hold is left, false when the deadline came first.
    bool WaitUntilFree(std::uint64_t deadlineMs);

    // For tests and statistics: holders right now.
    int GetReaders();
    bool HasWriter();

private:
    platform::WaitQueue m_queue;
    int m_readers = 0;
    int m_waitingWriters = 0;
    bool m_writer = false;
    bool m_closed = false;
};

// Holds a read or a write lock for a scope; Held() tells whether it was taken.
class CReadLockHolder {
public:
    explicit CReadLockHolder(CReaderWriterLock& lock, std::uint64_t deadlineMs = platform::kNoDeadline)
        : m_lock(lock), m_held(lock.LockRead(deadlineMs))
    {
    }
    ~CReadLockHolder()
    {
        if (m_held)
            m_lock.UnlockRead();
    }
    CReadLockHolder(const CReadLockHolder&) = delete;
    CReadLockHolder& operator=(const CReadLockHolder&) = delete;
    bool Held() const { return m_held; }

private:
    CReaderWriterLock& m_lock;
    bool m_held;
};

class CWriteLockHolder {
public:
    explicit CWriteLockHolder(CReaderWriterLock& lock, std::uint64_t deadlineMs = platform::kNoDeadline)
        : m_lock(lock), m_held(lock.LockWrite(deadlineMs))
    {
    }
    ~CWriteLockHolder()
    {
        if (m_held)
            m_lock.UnlockWrite();
    }
    CWriteLockHolder(const CWriteLockHolder&) = delete;
    CWriteLockHolder& operator=(const CWriteLockHolder&) = delete;
    bool Held() const { return m_held; }

private:
    CReaderWriterLock& m_lock;
    bool m_held;
};
