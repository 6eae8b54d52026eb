// Placeholder until the heap-aware allocator lands.
#include "framework/memory.h"
#include <cstdlib>
void* AllocMemory(std::size_t bytes)
{
    void* p = std::malloc(bytes ? bytes : 1);
    if (!p)
        throw CMemoryException();
    return p;
}
void FreeMemory(void* block) noexcept { std::free(block); }
