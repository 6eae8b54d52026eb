#include "framework/thread_data.h"

#include "framework/memory.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

struct HeapDeleter {
    void operator()(platform::Heap* heap) const { platform::Heap::Destroy(heap); }
};
using HeapPtr = std::unique_ptr<platform::Heap, HeapDeleter>;

TEST(ThreadDataTest, EveryThreadStartsWithAZeroedRecordOfItsOwn)
{
    HeapPtr heap(platform::Heap::Create());
    const auto* token = reinterpret_cast<const CLogonToken*>(heap.get()); // any non-null address will do
    CHeapSwitch useHeap(heap.get());
    SetThreadToken(token);
    SetBlockingDeadline(12345);
    GetThreadData().previousBlockingHook = token;
    SetClientHandle(7);

    ThreadData seen{token, 1, token, heap.get(), 1, nullptr, true, true, 1, 8, nullptr};
    int otherClient = 0;
    std::thread other([&] {
        seen = GetThreadData();
        otherClient = GetClientHandle();
    });
    other.join();
    EXPECT_EQ(seen.token, nullptr);
    EXPECT_EQ(seen.blockingDeadline, 0u);
    EXPECT_EQ(seen.previousBlockingHook, nullptr);
    EXPECT_EQ(seen.heap, nullptr);
    EXPECT_EQ(otherClient, -1) << "a new thread serves no connection";

    // This thread's record is untouched by the other thread.
    EXPECT_EQ(GetThreadToken(), token);
    EXPECT_EQ(GetBlockingDeadline(), 12345u);
    EXPECT_EQ(GetThreadHeap(), heap.get());
    EXPECT_EQ(GetClientHandle(), 7);
    SetClientHandle(-1);
    SetThreadToken(nullptr);
    SetBlockingDeadline(0);
    GetThreadData().previousBlockingHook = nullptr;
}

TEST(ThreadDataTest, SetThreadHeapReturnsThePreviousHeap)
{
    HeapPtr a(platform::Heap::Create());
    HeapPtr b(platform::Heap::Create());
    EXPECT_EQ(SetThreadHeap(a.get()), nullptr);
    EXPECT_EQ(SetThreadHeap(b.get()), a.get());
    EXPECT_EQ(SetThreadHeap(nullptr), b.get());
    EXPECT_EQ(GetThreadHeap(), nullptr);
}

TEST(ThreadDataTest, HeapSwitchesNestAndRestoreWhenAnExceptionPasses)
{
    HeapPtr a(platform::Heap::Create());
    HeapPtr b(platform::Heap::Create());
    {
        CHeapSwitch outer(a.get());
        EXPECT_EQ(outer.GetSaved(), nullptr);
        try {
            CHeapSwitch inner(b.get());
            EXPECT_EQ(GetThreadHeap(), b.get());
            {
                CHeapSwitch shared; // the default is the shared heap
                EXPECT_EQ(GetThreadHeap(), nullptr);
                throw std::runtime_error("leave every scope");
            }
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(GetThreadHeap(), a.get());
    }
    EXPECT_EQ(GetThreadHeap(), nullptr);
}

TEST(ThreadDataTest, ThreadHeapBecomesTheAllocationHeapUntilDestroyed)
{
    CThreadHeap heap;
    EXPECT_FALSE(heap);
    heap.Destroy(); // nothing held: nothing happens
    heap.Create();
    ASSERT_TRUE(heap);
    EXPECT_EQ(GetThreadHeap(), heap.Get());
    int* leftBehind = new int[1000]; // never freed: the heap takes it along
    EXPECT_EQ(platform::Heap::Owner(leftBehind), heap.Get());
    heap.Destroy();
    EXPECT_FALSE(heap);
    EXPECT_EQ(GetThreadHeap(), nullptr);

    // A moved holder owns the heap; the source destroys nothing.
    CThreadHeap first;
    first.Create(4096);
    platform::Heap* created = first.Get();
    CThreadHeap second(std::move(first));
    EXPECT_EQ(second.Get(), created);
    EXPECT_FALSE(first);
    first.Destroy();
    EXPECT_EQ(GetThreadHeap(), created);
    second.Destroy();
    EXPECT_EQ(GetThreadHeap(), nullptr);
}

} // namespace
