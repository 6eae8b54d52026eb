#include "platform/heap.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <malloc.h>
#include <new>

namespace platform {

namespace {

// Sits right before every block the heaps hand out. Kept at 16 bytes so the
// block behind it keeps malloc's 16-byte alignment.
struct BlockHeader {
    Heap* owner;          // null: the shared heap
    std::uint32_t kind;   // a size class, or one of the kinds below
    std::uint32_t offset; // kAligned: bytes back to the block that holds this one
};
static_assert(sizeof(BlockHeader) == 16);

constexpr std::uint32_t kLarge = 0xFFFFFFF0u;
constexpr std::uint32_t kShared = 0xFFFFFFF1u;
constexpr std::uint32_t kAligned = 0xFFFFFFF2u;

constexpr std::size_t kGranule = 16;

void FreeChunk(void* chunk) { std::free(chunk); }

// First chunks of connection heaps a thread gave back, for its next heap: a
// fiber worker makes and drops one such heap per request.
thread_local SpareBlocks<2, FreeChunk> t_spareChunks;

// Chunks double from the initial size up to this; beyond it they stay even.
constexpr std::size_t kMaxChunkBytes = 4 * 1024 * 1024;
// A heap asked for less still starts with a chunk this big.
constexpr std::size_t kMinChunkBytes = 4 * 1024;
// The offset field is 32 bits.
constexpr std::size_t kMaxAlignment = std::size_t{1} << 31;

// Size classes: 16-byte steps up to 256, then four steps per power of two.
constexpr unsigned kSmallSteps = 16;

constexpr unsigned ClassOf(std::size_t bytes)
{
    if (bytes <= kSmallSteps * kGranule)
        return bytes == 0 ? 0 : static_cast<unsigned>((bytes - 1) / kGranule);
    const unsigned top = static_cast<unsigned>(std::bit_width(bytes - 1)) - 1; // 2^top < bytes <= 2^(top+1)
    const unsigned sub = static_cast<unsigned>(((bytes - 1) >> (top - 2)) & 3);
    return kSmallSteps + (top - 8) * 4 + sub;
}

constexpr std::size_t ClassBytes(unsigned sizeClass)
{
    if (sizeClass < kSmallSteps)
        return (sizeClass + 1) * kGranule;
    const unsigned top = 8 + (sizeClass - kSmallSteps) / 4;
    const unsigned sub = (sizeClass - kSmallSteps) % 4;
    return (std::size_t{1} << top) + (sub + 1) * (std::size_t{1} << (top - 2));
}

constexpr auto kClassBytes = [] {
    std::array<std::size_t, 64> table{};
    for (unsigned c = 0; c < table.size(); ++c)
        table[c] = ClassBytes(c);
    return table;
}();

BlockHeader* HeaderOf(const void* block)
{
    return const_cast<BlockHeader*>(static_cast<const BlockHeader*>(block) - 1);
}

// Places an over-aligned block inside one of bytes + alignment.
void* AlignInside(void* inner, Heap* owner, std::size_t alignment)
{
    if (!inner)
        return nullptr;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(inner);
    const std::uintptr_t user = (start + sizeof(BlockHeader) + alignment - 1) & ~(alignment - 1);
    BlockHeader* header = HeaderOf(reinterpret_cast<void*>(user));
    header->owner = owner;
    header->kind = kAligned;
    header->offset = static_cast<std::uint32_t>(user - start);
    return reinterpret_cast<void*>(user);
}

bool AlignmentOk(std::size_t bytes, std::size_t alignment)
{
    return std::has_single_bit(alignment) && alignment <= kMaxAlignment && bytes <= kMaxBlockBytes;
}

} // namespace

static_assert(ClassOf(257) == kSmallSteps && ClassBytes(kSmallSteps) == 320);

struct Heap::Chunk {
    Chunk* next;
    std::size_t bytes;
};

struct Heap::LargeLink {
    LargeLink* prev;
    LargeLink* next;
    std::size_t bytes;
    std::size_t unused;
};

struct Heap::FreeBlock {
    FreeBlock* next;
};

Heap* Heap::Create(std::size_t initialBytes)
{
    static_assert(ClassOf(kMaxSmallBytes) + 1 == kClassCount);
    static_assert(ClassBytes(kClassCount - 1) == kMaxSmallBytes);
    // Keep the blocks behind these 16-byte aligned.
    static_assert(sizeof(Chunk) % kGranule == 0 && sizeof(LargeLink) % kGranule == 0);
    void* memory = std::malloc(sizeof(Heap));
    if (!memory)
        return nullptr;
    const std::size_t first = std::clamp(initialBytes, kMinChunkBytes, kMaxBlockBytes);
    Heap* heap = new (memory) Heap(first);
#ifndef VELMORA_SANITIZE
    // Take the initial size now, as the first chunk, so a heap that was
    // created can serve its first blocks.
    if (!heap->AddChunk(first - sizeof(Chunk))) {
        Destroy(heap);
        return nullptr;
    }
#endif
    return heap;
}

void Heap::Destroy(Heap* heap) noexcept
{
    if (!heap)
        return;
    heap->~Heap();
    std::free(heap);
}

Heap::~Heap()
{
    for (Chunk* chunk = m_chunks; chunk;) {
        Chunk* next = chunk->next;
        if (chunk->bytes != kConnectionHeapBytes || !t_spareChunks.Keep(chunk, chunk->bytes))
            std::free(chunk);
        chunk = next;
    }
    for (LargeLink* link = m_large; link;) {
        LargeLink* next = link->next;
        std::free(link);
        link = next;
    }
}

void* Heap::Alloc(std::size_t bytes) noexcept
{
#ifdef VELMORA_SANITIZE
    return AllocLarge(bytes);
#else
    if (bytes <= kMaxSmallBytes)
        return AllocSmall(ClassOf(bytes));
    return AllocLarge(bytes);
#endif
}

void* Heap::AllocAligned(std::size_t bytes, std::size_t alignment) noexcept
{
    if (alignment <= kGranule)
        return Alloc(bytes);
    if (!AlignmentOk(bytes, alignment))
        return nullptr;
    return AlignInside(Alloc(bytes + alignment), this, alignment);
}

void* Heap::AllocSmall(unsigned sizeClass) noexcept
{
    if (FreeBlock* block = m_free[sizeClass]) {
        m_free[sizeClass] = block->next;
        return block;
    }
    const std::size_t need = sizeof(BlockHeader) + kClassBytes[sizeClass];
    if (static_cast<std::size_t>(m_bumpEnd - m_bump) < need && !AddChunk(need))
        return nullptr;
    BlockHeader* header = reinterpret_cast<BlockHeader*>(m_bump);
    m_bump += need;
    header->owner = this;
    header->kind = sizeClass;
    header->offset = 0;
    return header + 1;
}

bool Heap::AddChunk(std::size_t atLeast) noexcept
{
    const std::size_t bytes = std::max(m_nextChunkBytes, atLeast + sizeof(Chunk));
    void* memory = bytes == kConnectionHeapBytes ? t_spareChunks.Take(bytes) : nullptr;
    Chunk* chunk = static_cast<Chunk*>(memory ? memory : std::malloc(bytes));
    if (!chunk)
        return false;
    // The old chunk's tail becomes free blocks instead of being lost.
    while (static_cast<std::size_t>(m_bumpEnd - m_bump) >= sizeof(BlockHeader) + kGranule) {
        const std::size_t room = static_cast<std::size_t>(m_bumpEnd - m_bump) - sizeof(BlockHeader);
        unsigned sizeClass = ClassOf(std::min(room, kMaxSmallBytes));
        if (kClassBytes[sizeClass] > room)
            --sizeClass;
        BlockHeader* header = reinterpret_cast<BlockHeader*>(m_bump);
        header->owner = this;
        header->kind = sizeClass;
        header->offset = 0;
        m_bump += sizeof(BlockHeader) + kClassBytes[sizeClass];
        FreeHere(header + 1, sizeClass);
    }
    chunk->next = m_chunks;
    chunk->bytes = bytes;
    m_chunks = chunk;
    m_bump = reinterpret_cast<char*>(chunk) + sizeof(Chunk);
    m_bumpEnd = reinterpret_cast<char*>(chunk) + bytes;
    m_reservedBytes += bytes;
    if (bytes < kMaxChunkBytes)
        m_nextChunkBytes = std::min(bytes * 2, kMaxChunkBytes);
    return true;
}

void* Heap::AllocLarge(std::size_t bytes) noexcept
{
    if (bytes > kMaxBlockBytes)
        return nullptr;
    const std::size_t total = sizeof(LargeLink) + sizeof(BlockHeader) + bytes;
    LargeLink* link = static_cast<LargeLink*>(std::malloc(total));
    if (!link)
        return nullptr;
    link->prev = nullptr;
    link->next = m_large;
    link->bytes = total;
    if (m_large)
        m_large->prev = link;
    m_large = link;
    m_reservedBytes += total;
    BlockHeader* header = reinterpret_cast<BlockHeader*>(link + 1);
    header->owner = this;
    header->kind = kLarge;
    header->offset = 0;
    return header + 1;
}

void Heap::FreeHere(void* block, std::uint32_t kind) noexcept
{
    if (kind == kLarge) {
        LargeLink* link = reinterpret_cast<LargeLink*>(HeaderOf(block)) - 1;
        if (link->prev)
            link->prev->next = link->next;
        else
            m_large = link->next;
        if (link->next)
            link->next->prev = link->prev;
        m_reservedBytes -= link->bytes;
        std::free(link);
        return;
    }
    FreeBlock* freed = static_cast<FreeBlock*>(block);
    freed->next = m_free[kind];
    m_free[kind] = freed;
}

void* Heap::SharedAlloc(std::size_t bytes) noexcept
{
    if (bytes > kMaxBlockBytes)
        return nullptr;
    BlockHeader* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + bytes));
    if (!header)
        return nullptr;
    header->owner = nullptr;
    header->kind = kShared;
    header->offset = 0;
    return header + 1;
}

void* Heap::SharedAllocAligned(std::size_t bytes, std::size_t alignment) noexcept
{
    if (alignment <= kGranule)
        return SharedAlloc(bytes);
    if (!AlignmentOk(bytes, alignment))
        return nullptr;
    return AlignInside(SharedAlloc(bytes + alignment), nullptr, alignment);
}

void Heap::Free(void* block) noexcept
{
    if (!block)
        return;
    BlockHeader* header = HeaderOf(block);
    if (header->kind == kAligned) {
        Free(static_cast<char*>(block) - header->offset);
        return;
    }
    if (!header->owner) {
        std::free(header);
        return;
    }
    header->owner->FreeHere(block, header->kind);
}

std::size_t Heap::BlockBytes(const void* block) noexcept
{
    if (!block)
        return 0;
    const BlockHeader* header = HeaderOf(block);
    if (header->kind == kAligned)
        return BlockBytes(static_cast<const char*>(block) - header->offset);
    if (!header->owner)
        return malloc_usable_size(const_cast<BlockHeader*>(header));
    if (header->kind == kLarge)
        return (reinterpret_cast<const LargeLink*>(header) - 1)->bytes;
    return ClassBytes(header->kind) + sizeof(BlockHeader);
}

Heap* Heap::Owner(const void* block) noexcept
{
    return block ? HeaderOf(block)->owner : nullptr;
}

} // namespace platform
