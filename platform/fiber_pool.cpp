#include "platform/fiber_pool.h"

#include <algorithm>
#include <utility>

namespace platform {

FiberPool::FiberPool(std::size_t hotSet, std::size_t stackSize) : m_hotSet(hotSet), m_stackSize(stackSize) {}

std::unique_ptr<Fiber> FiberPool::Take(Fiber::Entry entry)
{
    std::unique_ptr<Fiber> fiber;
    if (!m_spares.empty()) {
        Spare& spare = m_spares.back();
        spare.fiber->Restart(std::move(entry));
        fiber = std::move(spare.fiber);
        if (spare.cold)
            --m_cold;
        m_spares.pop_back();
    } else {
        fiber = std::make_unique<Fiber>(std::move(entry), m_stackSize);
        ++m_created;
    }
    ++m_live;
    m_intervalPeak = std::max(m_intervalPeak, m_live);
    return fiber;
}

void FiberPool::Give(std::unique_ptr<Fiber> fiber)
{
    if (!fiber)
        return;
    if (m_live)
        --m_live;
    // Spares plus live fibers never exceed the peak, so every finished one
    // is kept until Trim decides the peak has passed.
    if (fiber->IsFinished())
        m_spares.push_back(Spare{std::move(fiber), false});
}

std::size_t FiberPool::Trim()
{
    // A quarter rounded up, so that a small peak decays to nothing too.
    m_peak = std::max({m_intervalPeak, m_live, m_peak - (m_peak + 3) / 4});
    m_intervalPeak = m_live;
    const std::size_t keep = std::max(m_hotSet, m_peak - m_live);
    std::size_t freed = 0;
    while (m_spares.size() > keep) {
        if (m_spares.front().cold)
            --m_cold;
        m_spares.pop_front();
        ++freed;
    }
    const std::size_t coldEnd = m_spares.size() > m_hotSet ? m_spares.size() - m_hotSet : 0;
    for (std::size_t i = 0; i < coldEnd; ++i) {
        Spare& spare = m_spares[i];
        if (!spare.cold && spare.fiber->DiscardStack()) {
            spare.cold = true;
            ++m_cold;
        }
    }
    return freed;
}

std::size_t FiberPool::Clear()
{
    std::size_t freed = m_spares.size();
    m_spares.clear();
    m_cold = 0;
    return freed;
}

} // namespace platform
