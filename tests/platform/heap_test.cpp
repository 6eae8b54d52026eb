#include "platform/heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#ifdef VELMORA_SANITIZE
// The sanitizer runtime's own count; g++ ships no header declaring it.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace {

using platform::Heap;

// Bytes the C library's allocator has handed out and not had back.
std::size_t MallocInUse()
{
#ifdef VELMORA_SANITIZE
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

struct HeapDeleter {
    void operator()(Heap* heap) const { Heap::Destroy(heap); }
};
using HeapPtr = std::unique_ptr<Heap, HeapDeleter>;

bool Aligned(const void* p, std::size_t alignment)
{
    return reinterpret_cast<std::uintptr_t>(p) % alignment == 0;
}

// Sizes across the small classes, their edges and the large blocks.
std::vector<std::size_t> TestSizes()
{
    std::vector<std::size_t> sizes = {0, 1, 15, 16, 17, 255, 256, 257, 319, 320, 321, 1000, 4096, 32767, 32768,
                                      32769, 100000};
    for (std::size_t n = 2; n < 70000; n = n * 3 / 2 + 1)
        sizes.push_back(n);
    return sizes;
}

TEST(HeapTest, BlocksAreAlignedDistinctAndHoldTheirBytes)
{
    HeapPtr heap(Heap::Create(4096));
    ASSERT_TRUE(heap);
    struct Block {
        unsigned char* p;
        std::size_t n;
    };
    std::vector<Block> blocks;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t n : TestSizes()) {
            for (bool shared : {false, true}) {
                auto* p = static_cast<unsigned char*>(shared ? Heap::SharedAlloc(n) : heap->Alloc(n));
                ASSERT_NE(p, nullptr) << n;
                EXPECT_TRUE(Aligned(p, 16)) << n;
                EXPECT_EQ(Heap::Owner(p), shared ? nullptr : heap.get());
                std::memset(p, static_cast<int>(blocks.size() & 0xFF), n);
                blocks.push_back({p, n});
            }
        }
    }
    // Every block still holds its own pattern: none overlaps another.
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const unsigned char expected = static_cast<unsigned char>(i & 0xFF);
        for (std::size_t k = 0; k < blocks[i].n; k += 1 + blocks[i].n / 64)
            ASSERT_EQ(blocks[i].p[k], expected) << "block " << i << " of " << blocks[i].n;
    }
    for (std::size_t i = 0; i < blocks.size(); i += 2)
        Heap::Free(blocks[i].p);
    for (std::size_t i = 1; i < blocks.size(); i += 2)
        if (Heap::Owner(blocks[i].p) == nullptr)
            Heap::Free(blocks[i].p); // the private rest goes with the heap
}

TEST(HeapTest, OverAlignedBlocksKeepTheirHeap)
{
    HeapPtr heap(Heap::Create());
    for (std::size_t alignment : {1u, 8u, 16u, 32u, 64u, 256u, 4096u}) {
        for (std::size_t n : {1u, 100u, 5000u, 70000u}) {
            void* mine = heap->AllocAligned(n, alignment);
            void* shared = Heap::SharedAllocAligned(n, alignment);
            ASSERT_TRUE(mine && shared);
            EXPECT_TRUE(Aligned(mine, std::max<std::size_t>(alignment, 16)));
            EXPECT_TRUE(Aligned(shared, std::max<std::size_t>(alignment, 16)));
            EXPECT_EQ(Heap::Owner(mine), heap.get());
            EXPECT_EQ(Heap::Owner(shared), nullptr);
            std::memset(mine, 0xAB, n);
            std::memset(shared, 0xCD, n);
            Heap::Free(mine);
            Heap::Free(shared);
        }
    }
    EXPECT_EQ(heap->AllocAligned(16, 48), nullptr); // not a power of two
}

TEST(HeapTest, ImpossibleRequestsFailWithNull)
{
    HeapPtr heap(Heap::Create());
    const std::size_t sizes[] = {platform::kMaxBlockBytes + 1, SIZE_MAX / 2, SIZE_MAX - 8, SIZE_MAX};
    for (std::size_t n : sizes) {
        EXPECT_EQ(heap->Alloc(n), nullptr) << n;
        EXPECT_EQ(Heap::SharedAlloc(n), nullptr) << n;
        EXPECT_EQ(heap->AllocAligned(n, 64), nullptr) << n;
        EXPECT_EQ(Heap::SharedAllocAligned(n, 64), nullptr) << n;
    }
    // The heap is still usable afterwards.
    void* p = heap->Alloc(64);
    EXPECT_NE(p, nullptr);
    Heap::Free(p);
    Heap::Free(nullptr);
}

TEST(HeapTest, GrowsBeyondItsInitialSizeAndDestroyFreesEveryBlock)
{
    // A thread keeps a few first chunks of the connection heaps it destroys
    // for its next ones: filled first, they are in the count before, and
    // the heap below gives back the one it takes.
    {
        HeapPtr spares[4];
        for (HeapPtr& spare : spares)
            spare.reset(Heap::Create(platform::kConnectionHeapBytes));
    }
    const std::size_t before = MallocInUse();
    Heap* heap = Heap::Create(platform::kConnectionHeapBytes);
    ASSERT_NE(heap, nullptr);
    std::size_t requested = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::size_t n = (i % 97 == 0) ? 50000 : static_cast<std::size_t>(i % 700);
        void* p = heap->Alloc(n);
        ASSERT_NE(p, nullptr);
        requested += n;
        if (i % 5 == 0)
            Heap::Free(p); // some come back, the rest stay until Destroy
    }
    EXPECT_GT(heap->GetReservedBytes(), platform::kConnectionHeapBytes);
    EXPECT_GT(MallocInUse(), before + requested / 2);
    Heap::Destroy(heap);
    const std::size_t after = MallocInUse();
    EXPECT_LE(after, before + 1024) << "Destroy left " << (after - before) << " bytes behind";
}

TEST(HeapTest, AFreedBlockGoesBackToItsOwnHeap)
{
    HeapPtr a(Heap::Create(4096));
    HeapPtr b(Heap::Create(4096));
    // A large block is counted in its heap's reserve until freed.
    void* big = a->Alloc(100000);
    const std::size_t aReserved = a->GetReservedBytes();
    const std::size_t bReserved = b->GetReservedBytes();
    Heap::Free(big);
    EXPECT_LT(a->GetReservedBytes(), aReserved);
    EXPECT_EQ(b->GetReservedBytes(), bReserved);
#ifndef VELMORA_SANITIZE
    // A small block is reused by its own heap, never by another.
    void* small = a->Alloc(40);
    Heap::Free(small);
    void* fromB = b->Alloc(40);
    EXPECT_NE(fromB, small);
    EXPECT_EQ(a->Alloc(40), small);
#endif
}

} // namespace
