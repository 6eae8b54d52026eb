#include "framework/memory.h"

#include "framework/thread_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::Heap;

struct HeapDeleter {
    void operator()(Heap* heap) const { Heap::Destroy(heap); }
};
using HeapPtr = std::unique_ptr<Heap, HeapDeleter>;

// Allocates while static objects are built, before main: the blocks must land
// in whatever heap the thread has set even then.
struct BeforeMain {
    Heap* heap = nullptr;
    Heap* ownerOfNew = reinterpret_cast<Heap*>(1);
    Heap* ownerOfShared = reinterpret_cast<Heap*>(1);
    BeforeMain()
    {
        heap = Heap::Create(4096);
        {
            CHeapSwitch use(heap);
            int* p = new int(7);
            ownerOfNew = Heap::Owner(p);
            delete p;
        }
        auto* s = new std::string(100, 'x');
        ownerOfShared = Heap::Owner(s->data());
        delete s;
    }
} g_beforeMain;

// The compiler may drop a new whose block is never used; this keeps it.
template <class T>
T* Escape(T* p)
{
    asm volatile("" : : "r"(p) : "memory");
    return p;
}

struct alignas(64) Wide {
    char bytes[64];
};

TEST(MemoryTest, EveryFormOfNewUsesTheThreadsHeap)
{
    HeapPtr heap(Heap::Create());
    for (Heap* current : {heap.get(), static_cast<Heap*>(nullptr)}) {
        CHeapSwitch use(current);
        int* one = new int(1);
        int* many = new int[50];
        int* quiet = new (std::nothrow) int(2);
        int* quietMany = new (std::nothrow) int[50];
        Wide* wide = new Wide;
        Wide* wideMany = new Wide[3];
        Wide* wideQuiet = new (std::nothrow) Wide;
        std::vector<double> vector(1000);
        auto shared = std::make_shared<std::string>(200, 'y');
        void* raw = AllocMemory(10);
        const void* blocks[] = {one, many, quiet, quietMany, wide, wideMany, wideQuiet, vector.data(), shared->data(), raw};
        for (const void* p : blocks)
            EXPECT_EQ(Heap::Owner(p), current);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wide) % 64, 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(wideMany) % 64, 0u);
        delete one;
        delete[] many;
        delete quiet;
        delete[] quietMany;
        delete wide;
        delete[] wideMany;
        delete wideQuiet;
        FreeMemory(raw);
    }
}

TEST(MemoryTest, WorksBeforeMain)
{
    ASSERT_NE(g_beforeMain.heap, nullptr);
    EXPECT_EQ(g_beforeMain.ownerOfNew, g_beforeMain.heap);
    EXPECT_EQ(g_beforeMain.ownerOfShared, nullptr);
}

TEST(MemoryTest, ImpossibleAllocationsThrowAndNeverReturnNull)
{
    HeapPtr heap(Heap::Create());
    volatile std::size_t huge = SIZE_MAX / 4; // volatile: keep the compiler from folding the new away
    for (Heap* current : {heap.get(), static_cast<Heap*>(nullptr)}) {
        CHeapSwitch use(current);
        EXPECT_THROW(AllocMemory(huge), CMemoryException);
        EXPECT_THROW(AllocMemory(platform::kMaxBlockBytes + 1), CMemoryException);
        EXPECT_THROW(Escape(new char[huge]), CMemoryException);
        EXPECT_THROW(Escape(new (std::align_val_t{64}) char[huge]), std::bad_alloc);
        EXPECT_EQ(new (std::nothrow) char[huge], nullptr);
        EXPECT_EQ(operator new(huge, std::align_val_t{128}, std::nothrow), nullptr);
        EXPECT_THROW(std::vector<char>(huge / 2), std::bad_alloc);
    }
}

// Out of address space for real: a child with a low RLIMIT_AS.
TEST(MemoryTest, ExhaustedAddressSpaceThrowsUnderBothHeapSettings)
{
#ifdef VELMORA_SANITIZE
    GTEST_SKIP() << "the sanitizers reserve more address space than any limit leaves";
#else
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1)
                pages = 0;
            std::fclose(statm);
        }
        constexpr std::size_t kHeadroom = 64 << 20;
        limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + kHeadroom;
        if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0)
            _exit(2);
        Heap* heap = Heap::Create(4096);
        int failures = 0;
        for (Heap* current : {heap, static_cast<Heap*>(nullptr)}) {
            SetThreadHeap(current);
            try {
                Escape(AllocMemory(std::size_t{256} << 20));
            } catch (const CMemoryException&) {
                ++failures;
            }
            try {
                Escape(new char[std::size_t{256} << 20]);
            } catch (const CMemoryException&) {
                ++failures;
            }
            char* small = new char[64]; // what fits is still served
            small[0] = 1;
            delete[] small;
        }
        SetThreadHeap(nullptr);
        _exit(failures == 4 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not set the limit, 1: an allocation did not throw";
#endif
}

TEST(MemoryTest, FreeingNullDoesNothingUnderEitherHeapSetting)
{
    HeapPtr heap(Heap::Create(4096));
    const std::size_t reserved = heap->GetReservedBytes();
    for (Heap* current : {heap.get(), static_cast<Heap*>(nullptr)}) {
        CHeapSwitch use(current);
        FreeMemory(nullptr);
        operator delete(nullptr);
        operator delete[](nullptr, std::align_val_t{64});
        int* none = nullptr;
        delete none;
    }
    EXPECT_EQ(heap->GetReservedBytes(), reserved);
    // Both heaps still serve.
    void* a = AllocMemory(32);
    CHeapSwitch use(heap.get());
    void* b = AllocMemory(32);
    EXPECT_EQ(Heap::Owner(a), nullptr);
    EXPECT_EQ(Heap::Owner(b), heap.get());
    FreeMemory(a);
    FreeMemory(b);
}

TEST(MemoryTest, ABlockFreedUnderAnotherHeapSettingGoesBackToItsOwnHeap)
{
    HeapPtr a(Heap::Create(4096));
    HeapPtr b(Heap::Create(4096));
    char* big = nullptr;
    std::string* shared = nullptr;
    {
        CHeapSwitch use(a.get());
        big = Escape(new char[100000]);
    }
    {
        CHeapSwitch use(nullptr);
        shared = Escape(new std::string(300, 'z'));
    }
    const std::size_t aReserved = a->GetReservedBytes();
    const std::size_t bReserved = b->GetReservedBytes();
    {
        CHeapSwitch use(b.get());
        delete[] big;   // back to a
        delete shared;  // back to malloc
    }
    EXPECT_LT(a->GetReservedBytes(), aReserved);
    EXPECT_EQ(b->GetReservedBytes(), bReserved);
}

// Thread-local objects that allocate while their thread ends.
struct AllocatesAtThreadExit {
    std::atomic<int>* result = nullptr;
    ~AllocatesAtThreadExit()
    {
        if (!result)
            return;
        Heap* heap = Heap::Create(4096);
        CHeapSwitch use(heap);
        auto* text = new std::string(1000, 'e');
        const bool ok = Heap::Owner(text) == heap && Heap::Owner(text->data()) == heap;
        delete text;
        Heap::Destroy(heap);
        SetThreadHeap(nullptr);
        *result = ok ? 1 : 2;
    }
};
thread_local AllocatesAtThreadExit t_atExit;

TEST(MemoryTest, WorksWhileAThreadEnds)
{
    std::atomic<int> result{0};
    std::thread([&] { t_atExit.result = &result; }).join();
    EXPECT_EQ(result.load(), 1);
}

TEST(MemoryTest, ThreadsAllocateOnTheirOwnHeapsAtOnce)
{
    constexpr int kThreads = 4;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            CThreadHeap heap;
            heap.Create();
            bool ok = true;
            {
                std::vector<std::string*> kept;
                for (int i = 0; i < 20000; ++i) {
                    auto* s = new std::string(static_cast<std::size_t>(i % 300), 'k');
                    ok = ok && Heap::Owner(s) == heap.Get();
                    if (i % 3 == 0)
                        delete s;
                    else
                        kept.push_back(s);
                }
            }
            {
                // A block for another thread goes on the shared heap.
                CHeapSwitch shared;
                auto* handOff = new std::string(500, 'h');
                ok = ok && Heap::Owner(handOff->data()) == nullptr;
                delete handOff;
            }
            if (ok)
                ++good;
            heap.Destroy(); // the kept strings go with it
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good.load(), kThreads);
}

} // namespace
