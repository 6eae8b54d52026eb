#include "framework/slow_heads.h"

#include "framework/thread_data.h"

bool CSlowHeads::Enter(std::uint32_t address)
{
    // The count outlives the connection: never on its private heap.
    CHeapSwitch shared;
    std::lock_guard hold(m_mutex);
    int& count = m_counts[address];
    if (count >= kMaxSlowHeadsPerAddress)
        return false;
    ++count;
    return true;
}

void CSlowHeads::Leave(std::uint32_t address)
{
    std::lock_guard hold(m_mutex);
    auto found = m_counts.find(address);
    if (found == m_counts.end())
        return;
    if (--found->second <= 0)
        m_counts.erase(found);
}

int CSlowHeads::Count(std::uint32_t address)
{
    std::lock_guard hold(m_mutex);
    auto found = m_counts.find(address);
    return found == m_counts.end() ? 0 : found->second;
}
