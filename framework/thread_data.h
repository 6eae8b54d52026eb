#pragma once
// ThreadData: the record every thread carries, and the guards that switch
// the thread's allocation heap.
//
// The record is constant-initialised to zero and has no destructor, so it is
// usable before main, in every thread from its first instruction, and while
// other thread-local objects are being destroyed at thread exit.

#include "platform/heap.h"

#include <cstddef>
#include <cstdint>

// The identity a thread impersonates; given meaning by the logon layer.
struct CLogonToken;
// The macro calls in progress whose arguments include raw ones; given
// meaning by the macro expander.
struct CRawArgumentFrame;
class WSocket;

struct ThreadData {
    // Null: the thread runs as the process itself.
    const CLogonToken* token;
    // Monotonic ms after which a blocking socket call of this thread is cut short; 0 none.
    std::uint64_t blockingDeadline;
    // The hook that was in place before this thread installed its own; null none.
    const void* previousBlockingHook;
    // Where AllocMemory puts blocks; null: the shared heap.
    platform::Heap* heap;
    // The macro expander's nesting depth. Kept here, not in a thread-local
    // of its own, so that it follows a connection fiber across switches.
    int expandDepth;
    // Innermost macro call with raw arguments; follows its fiber likewise.
    CRawArgumentFrame* rawArguments;
    // While budgeted, what the thread (or fiber) may still take, net, from
    // the program's heaps (CAllocationBudget, memory.h).
    bool budgeted;
    bool budgetExceeded;
    std::int64_t budgetLeft;
    // The descriptor of the connection being served, plus one (0: none, as
    // the record starts zeroed), so that work done for it on another thread
    // can tell when its client has left.
    int clientHandlePlusOne;
    // The client of the page being expanded, watched by what may run long
    // for it (a program); null outside a page. Follows its fiber.
    WSocket* pageClient;
};

namespace thread_data_detail {
extern thread_local constinit ThreadData t_threadData;
}

inline ThreadData& GetThreadData() { return thread_data_detail::t_threadData; }

inline platform::Heap* GetThreadHeap() { return thread_data_detail::t_threadData.heap; }
// Returns the heap that was set before.
inline platform::Heap* SetThreadHeap(platform::Heap* heap)
{
    platform::Heap* previous = thread_data_detail::t_threadData.heap;
    thread_data_detail::t_threadData.heap = heap;
    return previous;
}

inline const CLogonToken* GetThreadToken() { return thread_data_detail::t_threadData.token; }
inline void SetThreadToken(const CLogonToken* token) { thread_data_detail::t_threadData.token = token; }

// -1 when the thread serves no connection.
inline int GetClientHandle() { return thread_data_detail::t_threadData.clientHandlePlusOne - 1; }
inline void SetClientHandle(int handle) { thread_data_detail::t_threadData.clientHandlePlusOne = handle + 1; }

inline std::uint64_t GetBlockingDeadline() { return thread_data_detail::t_threadData.blockingDeadline; }
inline void SetBlockingDeadline(std::uint64_t deadlineMs) { thread_data_detail::t_threadData.blockingDeadline = deadlineMs; }

// Names the client of a page for the length of its expansion.
class CPageClientScope {
public:
    explicit CPageClientScope(WSocket& client) : m_saved(thread_data_detail::t_threadData.pageClient)
    {
        thread_data_detail::t_threadData.pageClient = &client;
    }
    ~CPageClientScope() { thread_data_detail::t_threadData.pageClient = m_saved; }
    CPageClientScope(const CPageClientScope&) = delete;
    CPageClientScope& operator=(const CPageClientScope&) = delete;

private:
    WSocket* m_saved;
};

inline WSocket* GetPageClient() { return thread_data_detail::t_threadData.pageClient; }

// Puts another heap in place of the thread's for the length of a scope (the
// shared heap by default) and restores the old one on every exit path.
class CHeapSwitch {
public:
    explicit CHeapSwitch(platform::Heap* heap = nullptr) : m_saved(SetThreadHeap(heap)) {}
    ~CHeapSwitch() { SetThreadHeap(m_saved); }
    CHeapSwitch(const CHeapSwitch&) = delete;
    CHeapSwitch& operator=(const CHeapSwitch&) = delete;

    platform::Heap* GetSaved() const { return m_saved; }

private:
    platform::Heap* m_saved;
};

// Owns the private heap of a connection thread or fiber.
class CThreadHeap {
public:
    CThreadHeap() = default;
    ~CThreadHeap() { Destroy(); }
    CThreadHeap(CThreadHeap&& other) noexcept : m_heap(other.m_heap) { other.m_heap = nullptr; }
    CThreadHeap& operator=(CThreadHeap&& other) noexcept;
    CThreadHeap(const CThreadHeap&) = delete;
    CThreadHeap& operator=(const CThreadHeap&) = delete;

    // Creates the heap and makes it the calling thread's allocation heap.
    // Throws CMemoryException when the heap cannot be created; an earlier
    // heap of this holder is destroyed first.
    void Create(std::size_t initialBytes = platform::kConnectionHeapBytes);
    // Destroys the heap (every block in it goes) and sets the calling
    // thread's allocation heap to none. Does nothing when no heap is held.
    void Destroy() noexcept;

    platform::Heap* Get() const { return m_heap; }
    explicit operator bool() const { return m_heap != nullptr; }

private:
    platform::Heap* m_heap = nullptr;
};
