#pragma once
// CSnapshot: the current immutable value of a configuration part. A reload
// builds a new value and publishes it; a reader takes a copy of the pointer
// and keeps a consistent view for as long as it holds it, however many
// reloads happen meanwhile.
//
// Every worker reads it on every request. A copy of one shared pointer
// would make every reader count on one cache line that all the cores pass
// around (and an atomic shared pointer adds a lock bit on top), so each
// thread keeps its own copy of the current value behind a control block of
// its own, and hands out copies of that; a reload is seen by a generation
// number that only changes with it.

#include "framework/thread_data.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

namespace snapshot_detail {

// One sequence for every snapshot: a number is never seen twice, so a
// thread's copy is never taken for the value of another snapshot that now
// lives at the same address.
inline std::atomic<std::uint64_t> g_lastGeneration{0};
inline std::uint64_t NextGeneration() { return g_lastGeneration.fetch_add(1, std::memory_order_relaxed) + 1; }

struct Slot {
    const void* owner = nullptr;
    std::uint64_t generation = 0;
    std::shared_ptr<const void> value;
};
inline constexpr std::size_t kSlotCount = 32;
// Dropped with the thread; a value stays alive in a thread's slot until
// that thread reads the slot again.
inline thread_local std::array<Slot, kSlotCount> t_slots;

} // namespace snapshot_detail

template <class T>
class CSnapshot {
public:
    explicit CSnapshot(std::shared_ptr<const T> value) : m_value(std::move(value)) {}
    CSnapshot(const CSnapshot& other) : m_value(other.Get()) {}
    CSnapshot& operator=(const CSnapshot& other)
    {
        Set(other.Get());
        return *this;
    }

    std::shared_ptr<const T> Get() const
    {
        const std::uint64_t generation = m_generation.load(std::memory_order_acquire);
        snapshot_detail::Slot& slot =
            snapshot_detail::t_slots[(reinterpret_cast<std::uintptr_t>(this) >> 4) % snapshot_detail::kSlotCount];
        if (slot.owner != this || slot.generation != generation) [[unlikely]]
            Refresh(slot, generation);
        return std::static_pointer_cast<const T>(slot.value);
    }

    // The old value is released here, after the swap: readers holding it
    // keep it alive. The value is stored before its generation, so a reader
    // that sees the new number reads the new value.
    void Set(std::shared_ptr<const T> value)
    {
        m_value.exchange(std::move(value), std::memory_order_acq_rel);
        m_generation.store(snapshot_detail::NextGeneration(), std::memory_order_release);
    }

private:
    void Refresh(snapshot_detail::Slot& slot, std::uint64_t generation) const
    {
        std::shared_ptr<const T> value = m_value.load(std::memory_order_acquire);
        // Kept past the reader's turn: never on a connection's private heap.
        CHeapSwitch shared;
        auto holder = std::make_shared<std::shared_ptr<const T>>(std::move(value));
        slot.value = std::shared_ptr<const void>(holder, holder->get());
        slot.owner = this;
        slot.generation = generation;
    }

    std::atomic<std::shared_ptr<const T>> m_value;
    std::atomic<std::uint64_t> m_generation{snapshot_detail::NextGeneration()};
};
