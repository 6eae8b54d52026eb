#include "framework/generation.h"

#include "framework/wsocket.h"
#include "platform/clock.h"
#include "platform/net.h"

#include <algorithm>

std::uint64_t CGeneration::Current()
{
    m_queue.Lock();
    std::uint64_t value = m_generation;
    m_queue.Unlock();
    return value;
}

bool CGeneration::IsClosed()
{
    m_queue.Lock();
    bool closed = m_closed;
    m_queue.Unlock();
    return closed;
}

void CGeneration::Advance()
{
    m_queue.Lock();
    ++m_generation;
    m_queue.WakeAll();
    m_queue.Unlock();
}

void CGeneration::Close()
{
    m_queue.Lock();
    m_closed = true;
    ++m_generation;
    m_queue.WakeAll();
    m_queue.Unlock();
}

void CGeneration::Reopen()
{
    m_queue.Lock();
    m_closed = false;
    m_queue.Unlock();
}

CGeneration::WaitResult CGeneration::WaitForChange(std::uint64_t seen, std::uint64_t deadlineMs)
{
    m_queue.Lock();
    for (;;) {
        if (m_closed) {
            m_queue.Unlock();
            return WaitResult::Closed;
        }
        if (m_generation != seen) {
            m_queue.Unlock();
            return WaitResult::Changed;
        }
        if (!m_queue.Wait(deadlineMs)) {
            m_queue.Unlock();
            return WaitResult::TimedOut;
        }
    }
}

CGeneration::WaitResult CGeneration::WaitForClose(std::uint64_t deadlineMs)
{
    m_queue.Lock();
    for (;;) {
        if (m_closed) {
            m_queue.Unlock();
            return WaitResult::Closed;
        }
        if (!m_queue.Wait(deadlineMs)) {
            m_queue.Unlock();
            return WaitResult::TimedOut;
        }
    }
}

CGeneration::WaitResult CGeneration::WaitForChangeOrInput(std::uint64_t seen, WSocket& connection,
                                                          std::uint64_t deadlineMs)
{
    for (;;) {
        // A zero-time look never parks: input already buffered, or the
        // handle readable (data or the peer's close).
        if (connection.GetAppInput().GetHeld() > 0 ||
            (connection.IsOpen() && platform::WaitHandle(connection.GetHandle(), false, 0) > 0))
            return WaitResult::Input;
        std::uint64_t now = platform::MonotonicMs();
        if (now >= deadlineMs)
            return WaitResult::TimedOut;
        std::uint64_t slice = std::min<std::uint64_t>(deadlineMs, now + kInputPollMs);
        WaitResult result = WaitForChange(seen, slice);
        if (result != WaitResult::TimedOut)
            return result;
    }
}
