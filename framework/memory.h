#pragma once
// The program's allocation routines. Every operator new and delete in the
// process goes through them, so a block lands in the calling thread's private
// heap when one is set (see thread_data.h) and in the shared heap otherwise.

#include <cstddef>
#include <cstdint>
#include <new>

// Thrown when an allocation cannot be satisfied; callers never see null.
class CMemoryException : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

// Thrown when a block would take more than an allocation budget allows.
class CMemoryLimitException : public CMemoryException {
public:
    const char* what() const noexcept override { return "allocation budget exhausted"; }
};

// Caps what the calling thread (or connection fiber) may hold from here to
// the end of the scope: blocks allocated meanwhile count against the
// budget, blocks freed meanwhile count back, and an allocation that would
// go past it throws CMemoryLimitException. A budget inside another one
// changes nothing: the outermost holds.
class CAllocationBudget {
public:
    explicit CAllocationBudget(std::int64_t bytes);
    ~CAllocationBudget();
    CAllocationBudget(const CAllocationBudget&) = delete;
    CAllocationBudget& operator=(const CAllocationBudget&) = delete;

    // True when an allocation was refused since the budget began, even if
    // whoever saw the exception did not let it through.
    bool Exceeded() const;

private:
    bool m_outermost;
};

// Never returns null: throws CMemoryException instead.
void* AllocMemory(std::size_t bytes);
// Null is ignored. A block always goes back to the heap it came from,
// whatever the caller's heap setting is now.
void FreeMemory(void* block) noexcept;
