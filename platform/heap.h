#pragma once
// Private heaps and the shared heap.
//
// A private heap is an arena that grows by chunks and is freed wholesale when
// destroyed. It is not serialised: one thread uses it, or every user holds an
// outer lock. The shared heap is the C library's malloc and is thread-safe.
//
// Every block, shared ones included, starts with a 16-byte header that names
// its heap, so Heap::Free always returns a block to the heap it came from,
// whatever heap the caller has current. Blocks are 16-byte aligned.
//
// Built with VELMORA_SANITIZE, a private heap takes each block from malloc and
// keeps it on a list, so AddressSanitizer sees every block and Destroy still
// frees all of them.

#include <cstddef>
#include <cstdint>

namespace platform {

// Initial size of the private heap of a connection thread or fiber.
inline constexpr std::size_t kConnectionHeapBytes = 256 * 1024;
// No request above this is passed on to the system: it cannot be met on
// x86-64 and the sanitizers' allocator treats such requests as fatal.
inline constexpr std::size_t kMaxBlockBytes = std::size_t{1} << 40;

class Heap {
public:
    // Null when the memory for the first chunk is not there.
    static Heap* Create(std::size_t initialBytes = kConnectionHeapBytes);
    // Frees every block of the heap at once. Null is ignored.
    static void Destroy(Heap* heap) noexcept;

    // Null on failure, as for every allocation routine below. A zero-byte
    // request gets a block of its own.
    void* Alloc(std::size_t bytes) noexcept;
    // alignment is a power of two; up to 16 it costs nothing extra.
    void* AllocAligned(std::size_t bytes, std::size_t alignment) noexcept;

    static void* SharedAlloc(std::size_t bytes) noexcept;
    static void* SharedAllocAligned(std::size_t bytes, std::size_t alignment) noexcept;
    // Allocates on heap, or on the shared heap when heap is null.
    static void* AllocOn(Heap* heap, std::size_t bytes) noexcept
    {
        return heap ? heap->Alloc(bytes) : SharedAlloc(bytes);
    }

    // Returns a block of any heap to its own heap. Null is ignored.
    static void Free(void* block) noexcept;
    // The heap a live block belongs to; null for the shared heap.
    static Heap* Owner(const void* block) noexcept;
    // What a live block takes from its heap, header included.
    static std::size_t BlockBytes(const void* block) noexcept;

    // Bytes taken from the system for this heap (chunks and large blocks).
    std::size_t GetReservedBytes() const { return m_reservedBytes; }

    Heap(const Heap&) = delete;
    Heap& operator=(const Heap&) = delete;

private:
    struct Chunk;
    struct LargeLink;
    struct FreeBlock;

    // Requests up to this size come from the size classes of the chunks;
    // larger ones get a system block of their own.
    static constexpr std::size_t kMaxSmallBytes = 32 * 1024;
    static constexpr unsigned kClassCount = 44;

    explicit Heap(std::size_t initialBytes) : m_nextChunkBytes(initialBytes) {}
    ~Heap();

    void* AllocSmall(unsigned sizeClass) noexcept;
    void* AllocLarge(std::size_t bytes) noexcept;
    bool AddChunk(std::size_t atLeast) noexcept;
    void FreeHere(void* block, std::uint32_t sizeClass) noexcept;

    FreeBlock* m_free[kClassCount] = {};
    char* m_bump = nullptr;
    char* m_bumpEnd = nullptr;
    Chunk* m_chunks = nullptr;
    LargeLink* m_large = nullptr;
    std::size_t m_nextChunkBytes;
    std::size_t m_reservedBytes = 0;
};

// Blocks a thread gave back, kept (up to N) for its next request of the
// same size; Release frees what is still kept when the thread ends. For a
// block size taken and given back on every request, where a trip through
// malloc's bins each time costs, and page faults when malloc has returned
// the pages in between.
template <std::size_t N, void (*Release)(void*)>
class SpareBlocks {
public:
    SpareBlocks() = default;
    SpareBlocks(const SpareBlocks&) = delete;
    SpareBlocks& operator=(const SpareBlocks&) = delete;
    ~SpareBlocks()
    {
        while (m_count > 0)
            Release(m_items[--m_count].block);
    }

    // A kept block of that size, or null.
    void* Take(std::size_t bytes)
    {
        for (std::size_t i = 0; i < m_count; ++i) {
            if (m_items[i].bytes == bytes) {
                void* block = m_items[i].block;
                m_items[i] = m_items[--m_count];
                return block;
            }
        }
        return nullptr;
    }
    // False when N are kept already: the caller frees the block.
    bool Keep(void* block, std::size_t bytes)
    {
        if (m_count == N)
            return false;
        m_items[m_count++] = {block, bytes};
        return true;
    }

private:
    struct Item {
        void* block;
        std::size_t bytes;
    };
    Item m_items[N] = {};
    std::size_t m_count = 0;
};

} // namespace platform
