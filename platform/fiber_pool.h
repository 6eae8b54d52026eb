#pragma once
// Finished fibers kept for reuse on one thread, so that a server with
// thousands of connections does not map and unmap a stack for each one:
// munmap stalls every thread of the process (the mmap lock, TLB
// shoot-downs), and a new stack is faulted in page by page.
//
// The pool keeps as many spares as the recent peak of live fibers needs.
// Trim, called now and then, lets that peak decay towards the live count,
// frees the spares beyond it and gives the pages of every spare but the most
// recently used few (the hot set) back to the system while keeping their
// mappings and guards, so an idle server holds no stack memory and a new
// burst reuses the mappings.
//
// Not thread-safe: one pool per thread, like the fibers it holds.

#include "platform/fiber.h"

#include <cstddef>
#include <deque>
#include <memory>

namespace platform {

class FiberPool {
public:
    explicit FiberPool(std::size_t hotSet, std::size_t stackSize = Fiber::kDefaultStackSize);
    FiberPool(const FiberPool&) = delete;
    FiberPool& operator=(const FiberPool&) = delete;

    // A fiber ready to run entry: a spare restarted, or a new one (which
    // may throw as the Fiber constructor does).
    std::unique_ptr<Fiber> Take(Fiber::Entry entry);
    // Takes back a finished fiber (anything else is destroyed here).
    void Give(std::unique_ptr<Fiber> fiber);
    // A fiber that Take handed out was destroyed by its holder.
    void Forget()
    {
        if (m_live)
            --m_live;
    }
    // Lets the peak decay by a quarter towards the live count, frees the
    // spares beyond it and discards the pages of the spares beyond the hot
    // set. Returns how many fibers were freed.
    std::size_t Trim();
    // Frees every spare; returns how many.
    std::size_t Clear();

    std::size_t Spares() const { return m_spares.size(); }
    // Spares whose pages were given back.
    std::size_t ColdSpares() const { return m_cold; }
    std::size_t Live() const { return m_live; }
    // Fibers (stack mappings) made since the pool was created.
    std::size_t Created() const { return m_created; }

private:
    struct Spare {
        std::unique_ptr<Fiber> fiber;
        bool cold = false;
    };

    const std::size_t m_hotSet;
    const std::size_t m_stackSize;
    // Least recently used at the front: taken and given at the back.
    std::deque<Spare> m_spares;
    std::size_t m_cold = 0;
    std::size_t m_live = 0;
    std::size_t m_peak = 0;         // what Trim keeps room for
    std::size_t m_intervalPeak = 0; // live fibers at most since the last Trim
    std::size_t m_created = 0;
};

} // namespace platform
