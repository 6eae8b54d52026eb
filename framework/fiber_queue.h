#pragma once
// CFiberQueue: a ring of connection records that grows to the next power of
// two when it is full. Each worker of the pool keeps three (ready, parked,
// finished) and touches them only from its own thread.

#include <cstddef>
#include <cstdint>
#include <memory>

struct FiberConnection;

class CFiberQueue {
public:
    // capacity is rounded up to a power of two (at least 2).
    explicit CFiberQueue(std::size_t capacity = 16);

    bool IsEmpty() const { return m_head == m_tail; }
    std::size_t GetSize() const { return (m_tail - m_head) & m_mask; }
    std::size_t GetCapacity() const { return m_mask + 1; }

    void Push(FiberConnection* record);
    // Null when empty.
    FiberConnection* Pop();
    // The oldest entry without taking it; null when empty.
    FiberConnection* Peek() const { return IsEmpty() ? nullptr : m_entries[m_head]; }
    // Takes out one record wherever it is; false when it is not held.
    bool Remove(FiberConnection* record);

private:
    void Grow();

    std::unique_ptr<FiberConnection*[]> m_entries;
    std::size_t m_head = 0;
    std::size_t m_tail = 0;
    std::size_t m_mask = 0;
};
