#pragma once
// The program's allocation routines. Every operator new and delete in the
// process goes through them, so a block lands in the calling thread's private
// heap when one is set (see thread_data.h) and in the shared heap otherwise.

#include <cstddef>
#include <new>

// Thrown when an allocation cannot be satisfied; callers never see null.
class CMemoryException : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

// Never returns null: throws CMemoryException instead.
void* AllocMemory(std::size_t bytes);
// Null is ignored. A block always goes back to the heap it came from,
// whatever the caller's heap setting is now.
void FreeMemory(void* block) noexcept;
