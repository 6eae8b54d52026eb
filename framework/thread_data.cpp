#include "framework/thread_data.h"

#include "framework/memory.h"

namespace thread_data_detail {
thread_local constinit ThreadData t_threadData{};
}

CThreadHeap& CThreadHeap::operator=(CThreadHeap&& other) noexcept
{
    if (this != &other) {
        Destroy();
        m_heap = other.m_heap;
        other.m_heap = nullptr;
    }
    return *this;
}

void CThreadHeap::Create(std::size_t initialBytes)
{
    Destroy();
    m_heap = platform::Heap::Create(initialBytes);
    if (!m_heap)
        throw CMemoryException();
    SetThreadHeap(m_heap);
}

void CThreadHeap::Destroy() noexcept
{
    if (!m_heap)
        return;
    platform::Heap::Destroy(m_heap);
    m_heap = nullptr;
    SetThreadHeap(nullptr);
}
