#pragma once
// CSnapshot: the current immutable value of a configuration part. A reload
// builds a new value and publishes it; a reader takes a copy of the pointer
// and keeps a consistent view for as long as it holds it, however many
// reloads happen meanwhile.

#include <atomic>
#include <memory>
#include <utility>

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

    // Taken on every request, from every worker at once: an atomic pointer
    // copy, never a mutex that could put a worker thread to sleep.
    std::shared_ptr<const T> Get() const { return m_value.load(std::memory_order_acquire); }
    // The old value is released here, after the swap: readers holding it
    // keep it alive.
    void Set(std::shared_ptr<const T> value) { m_value.exchange(std::move(value), std::memory_order_acq_rel); }

private:
    std::atomic<std::shared_ptr<const T>> m_value;
};
