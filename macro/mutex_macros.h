#pragma once
// Named mutexes for pages: mutex (name, text) expands text while the
// process-wide mutex of that name (case folded) is held, so a read, change
// and write of shared data cannot interleave between requests.
//
// A mutex belongs to the fiber (or, outside fibers, the thread) that took
// it and is recursive for it, so a nested mutex of the same name in the
// same request goes straight through, while two requests on fibers of one
// worker are kept apart. Waiting parks the fiber, never its worker. The
// mutex is released on every way out of the text, an error included, and
// when the request's fiber is torn down while it holds one.

#include "platform/sync.h"

#include <cstddef>
#include <memory>
#include <string_view>

class CMacroContext;

// The fiber-aware recursive lock behind one name.
class CNamedMutex {
public:
    CNamedMutex() = default;
    CNamedMutex(const CNamedMutex&) = delete;
    CNamedMutex& operator=(const CNamedMutex&) = delete;

    // Waits as long as it takes; again by the owner only counts.
    void Lock();
    // The owner only; the last release wakes the next waiter.
    void Unlock();
    // True when nobody holds it (for tests and statistics).
    bool IsFree();

private:
    platform::WaitQueue m_queue;
    // Under the queue's lock: the owning fiber or thread, and its depth.
    const void* m_owner = nullptr;
    int m_depth = 0;
};

// The mutex of name (folded to lower case), made on first use.
std::shared_ptr<CNamedMutex> FindNamedMutex(std::string_view name);
// How many names the table holds.
std::size_t NamedMutexCount();

// Registers mutex and its quote companion "'mutex" (the name expanded, the
// text passed raw) in global, emptying the table first.
void RegisterMutexMacros(CMacroContext& global);
// Empties the table at engine stop; a mutex still held lives on until its
// holder lets go.
void MutexTableClear();
