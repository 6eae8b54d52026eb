#include "framework/fiber_queue.h"

CFiberQueue::CFiberQueue(std::size_t capacity)
{
    std::size_t size = 2;
    while (size < capacity)
        size *= 2;
    m_entries = std::make_unique<FiberConnection*[]>(size);
    m_mask = size - 1;
}

void CFiberQueue::Push(FiberConnection* record)
{
    // One slot stays free so that a full ring differs from an empty one.
    if (((m_tail + 1) & m_mask) == m_head)
        Grow();
    m_entries[m_tail] = record;
    m_tail = (m_tail + 1) & m_mask;
}

FiberConnection* CFiberQueue::Pop()
{
    if (IsEmpty())
        return nullptr;
    FiberConnection* record = m_entries[m_head];
    m_head = (m_head + 1) & m_mask;
    return record;
}

bool CFiberQueue::Remove(FiberConnection* record)
{
    for (std::size_t i = m_head; i != m_tail; i = (i + 1) & m_mask) {
        if (m_entries[i] != record)
            continue;
        // Close the gap, keeping the order of the rest.
        for (std::size_t j = i; ((j + 1) & m_mask) != m_tail; j = (j + 1) & m_mask)
            m_entries[j] = m_entries[(j + 1) & m_mask];
        m_tail = (m_tail - 1) & m_mask;
        return true;
    }
    return false;
}

void CFiberQueue::Grow()
{
    const std::size_t size = (m_mask + 1) * 2;
    auto entries = std::make_unique<FiberConnection*[]>(size);
    std::size_t count = 0;
    for (std::size_t i = m_head; i != m_tail; i = (i + 1) & m_mask)
        entries[count++] = m_entries[i];
    m_entries = std::move(entries);
    m_head = 0;
    m_tail = count;
    m_mask = size - 1;
}
