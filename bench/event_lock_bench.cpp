// Contended CEventLock against std::mutex: threads take one lock around a
// short critical section, either back to back or with some work of their own
// between turns, as the cache, log and statistics locks are taken.
#include "framework/event_lock.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>

namespace {

// Steps of the critical section: a few tens of nanoseconds of shared work.
constexpr int kInsideSteps = 20;
// Steps between turns when the benchmark's argument asks for them.
constexpr int kOutsideSteps = 200;

std::uint64_t g_shared = 0;

void Work(std::uint64_t& value, int steps)
{
    for (int i = 0; i < steps; ++i) {
        ++value;
        benchmark::DoNotOptimize(value);
    }
}

struct EventLockAdapter {
    CEventLock lock;
    void Lock() { static_cast<void>(lock.Lock()); }
    void Unlock() { lock.Unlock(); }
};

struct MutexAdapter {
    std::mutex mutex;
    void Lock() { mutex.lock(); }
    void Unlock() { mutex.unlock(); }
};

template <class Adapter>
void BM_Contended(benchmark::State& state)
{
    static Adapter adapter;
    const int outside = state.range(0) != 0 ? kOutsideSteps : 0;
    std::uint64_t own = 0;
    for (auto _ : state) {
        adapter.Lock();
        Work(g_shared, kInsideSteps);
        adapter.Unlock();
        Work(own, outside);
    }
    state.SetItemsProcessed(state.iterations());
}

// Argument 0: back to back; 1: own work between turns.
BENCHMARK_TEMPLATE(BM_Contended, EventLockAdapter)
    ->ArgName("between")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Contended, MutexAdapter)
    ->ArgName("between")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(4)
    ->Threads(16)
    ->UseRealTime();

} // namespace
