#include "framework/slow_heads.h"

#include "framework/thread_data.h"
#include "framework/wsocket.h"

#include <algorithm>

CHeadMarkPtr CSlowHeads::EnterSilent(std::uint32_t address, WSocket* socket) { return Enter(address, socket, true); }

CHeadMarkPtr CSlowHeads::EnterHead(std::uint32_t address, WSocket* socket) { return Enter(address, socket, false); }

CHeadMarkPtr CSlowHeads::Enter(std::uint32_t address, WSocket* socket, bool silent)
{
    // The count outlives the connection: never on its private heap.
    CHeapSwitch shared;
    std::lock_guard hold(m_mutex);
    std::vector<Entry>& entries = m_entries[address];
    if (static_cast<int>(entries.size()) >= kMaxSlowHeadsPerAddress) {
        // The oldest connection that never spoke is the likeliest to be
        // abandoned, and has no request to lose.
        auto oldest = std::find_if(entries.begin(), entries.end(), [](const Entry& e) { return e.silent; });
        if (oldest == entries.end())
            return nullptr;
        CHeadMarkPtr victim = std::move(oldest->mark);
        entries.erase(oldest);
        std::lock_guard closing(victim->mutex);
        // Its owner sees the end of input and closes it without a reply.
        if (victim->socket)
            victim->socket->Shutdown();
    }
    auto mark = std::make_shared<CHeadMark>();
    mark->socket = socket;
    entries.push_back({mark, silent});
    return mark;
}

void CSlowHeads::Spoke(std::uint32_t address, const CHeadMarkPtr& mark)
{
    std::lock_guard hold(m_mutex);
    auto found = m_entries.find(address);
    if (found == m_entries.end())
        return;
    for (Entry& entry : found->second) {
        if (entry.mark == mark)
            entry.silent = false;
    }
}

void CSlowHeads::Leave(std::uint32_t address, const CHeadMarkPtr& mark)
{
    CHeapSwitch shared;
    std::lock_guard hold(m_mutex);
    auto found = m_entries.find(address);
    if (found == m_entries.end())
        return;
    std::vector<Entry>& entries = found->second;
    entries.erase(std::remove_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.mark == mark; }),
                  entries.end());
    if (entries.empty())
        m_entries.erase(found);
}

int CSlowHeads::Count(std::uint32_t address)
{
    std::lock_guard hold(m_mutex);
    auto found = m_entries.find(address);
    return found == m_entries.end() ? 0 : static_cast<int>(found->second.size());
}

void CSlowHeads::Forget(const CHeadMarkPtr& mark)
{
    std::lock_guard hold(mark->mutex);
    mark->socket = nullptr;
}
