#pragma once
// CSnapshot: the current immutable value of a configuration part. A reload
// builds a new value and publishes it; a reader takes a copy of the pointer
// and keeps a consistent view for as long as it holds it, however many
// reloads happen meanwhile.

#include <memory>
#include <mutex>
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

    std::shared_ptr<const T> Get() const
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_value;
    }
    // The old value is released by the caller's copy, outside the lock:
    // readers holding it keep it alive.
    void Set(std::shared_ptr<const T> value)
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_value.swap(value);
    }

private:
    mutable std::mutex m_mutex; // guards the pointer only
    std::shared_ptr<const T> m_value;
};
