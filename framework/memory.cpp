#include "framework/memory.h"

#include "framework/thread_data.h"
#include "platform/heap.h"

#include <new>

// The replacements below are what every new and delete in the process
// resolves to. They touch only the thread's constant-initialised record and
// malloc, so they work before main, during thread exit and under the
// sanitizers (which accept a program's own operator new).

namespace {

// A block under a budget is charged to it, or given back at once and
// refused when the budget cannot pay for it.
[[gnu::noinline]] void* Charge(void* block)
{
    ThreadData& data = GetThreadData();
    std::int64_t bytes = static_cast<std::int64_t>(platform::Heap::BlockBytes(block));
    if (bytes > data.budgetLeft) {
        platform::Heap::Free(block);
        data.budgetExceeded = true;
        throw CMemoryLimitException();
    }
    data.budgetLeft -= bytes;
    return block;
}

inline void* Charged(void* block)
{
    if (GetThreadData().budgeted && block) [[unlikely]]
        return Charge(block);
    return block;
}

inline void Release(void* block) noexcept
{
    ThreadData& data = GetThreadData();
    if (data.budgeted && block) [[unlikely]]
        data.budgetLeft += static_cast<std::int64_t>(platform::Heap::BlockBytes(block));
    platform::Heap::Free(block);
}

inline void* TryAlloc(std::size_t bytes)
{
    return Charged(platform::Heap::AllocOn(GetThreadHeap(), bytes));
}

inline void* TryAllocAligned(std::size_t bytes, std::size_t alignment)
{
    platform::Heap* heap = GetThreadHeap();
    return Charged(heap ? heap->AllocAligned(bytes, alignment) : platform::Heap::SharedAllocAligned(bytes, alignment));
}

// operator new gives an installed new-handler its chance before giving up.
[[gnu::noinline]] void* RetryWithHandler(std::size_t bytes, std::size_t alignment)
{
    for (;;) {
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw CMemoryException();
        handler();
        if (void* block = TryAllocAligned(bytes, alignment))
            return block;
    }
}

inline void* NewBlock(std::size_t bytes)
{
    if (void* block = TryAlloc(bytes)) [[likely]]
        return block;
    return RetryWithHandler(bytes, 0);
}

inline void* NewAligned(std::size_t bytes, std::align_val_t alignment)
{
    if (void* block = TryAllocAligned(bytes, static_cast<std::size_t>(alignment))) [[likely]]
        return block;
    return RetryWithHandler(bytes, static_cast<std::size_t>(alignment));
}

inline void* NewNoThrow(std::size_t bytes, std::size_t alignment) noexcept
{
    try {
        return alignment ? NewAligned(bytes, std::align_val_t{alignment}) : NewBlock(bytes);
    } catch (...) {
        return nullptr;
    }
}

} // namespace

void* AllocMemory(std::size_t bytes)
{
    if (void* block = TryAlloc(bytes)) [[likely]]
        return block;
    throw CMemoryException();
}

void FreeMemory(void* block) noexcept { Release(block); }

CAllocationBudget::CAllocationBudget(std::int64_t bytes) : m_outermost(!GetThreadData().budgeted)
{
    if (!m_outermost)
        return;
    ThreadData& data = GetThreadData();
    data.budgetLeft = bytes;
    data.budgetExceeded = false;
    data.budgeted = true;
}

CAllocationBudget::~CAllocationBudget()
{
    if (m_outermost)
        GetThreadData().budgeted = false;
}

bool CAllocationBudget::Exceeded() const { return GetThreadData().budgetExceeded; }

void* operator new(std::size_t bytes) { return NewBlock(bytes); }
void* operator new[](std::size_t bytes) { return NewBlock(bytes); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return NewNoThrow(bytes, 0); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return NewNoThrow(bytes, 0); }
void* operator new(std::size_t bytes, std::align_val_t alignment) { return NewAligned(bytes, alignment); }
void* operator new[](std::size_t bytes, std::align_val_t alignment) { return NewAligned(bytes, alignment); }
void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return NewNoThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return NewNoThrow(bytes, static_cast<std::size_t>(alignment));
}

// Every block knows its heap, so the size and alignment a delete passes are not needed.
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { Release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { Release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { Release(block); }
