// WSocket: the limits on how long a client may take over a request: the
// head's deadline, the per-address count of slow and silent heads, and the
// body's pace.

#include "framework/slow_heads.h"
#include "framework/wsocket.h"

std::uint64_t WSocket::ReadDeadline() const
{
    std::uint64_t deadline = Deadline();
    auto shorten = [&deadline](std::uint64_t at) {
        if (deadline == 0 || at < deadline)
            deadline = at;
    };
    if (m_headWindowMs != 0 && m_headStart != 0)
        shorten(m_headStart + m_headWindowMs);
    if (m_bodyPace.Active())
        shorten(platform::MonotonicMs() + m_bodyPace.AllowanceMs());
    return deadline;
}

void WSocket::StartHeadDeadline(std::uint32_t milliseconds, CSlowHeads* slowHeads)
{
    // A connection counted while it was silent is counted still: a second
    // grace would let it leave the count for a while.
    const bool counted = m_headCounted && slowHeads != nullptr && m_slowHeads == slowHeads;
    if (counted)
        m_headCounted = false;
    EndHeadDeadline();
    m_headActive = true;
    m_headWindowMs = milliseconds;
    m_slowHeads = slowHeads;
    m_headCounted = counted;
    if (m_appInput->GetHeld() > 0)
        m_headStart = platform::MonotonicMs();
}

void WSocket::EndHeadDeadline()
{
    if (m_headCounted && m_slowHeads)
        m_slowHeads->Leave(m_peerAddress);
    m_headActive = false;
    m_headWindowMs = 0;
    m_headStart = 0;
    m_slowHeads = nullptr;
    m_headCounted = false;
    m_headRefused = false;
}

bool WSocket::HeadCutOff() const
{
    return m_headRefused ||
           (m_headWindowMs != 0 && m_headStart != 0 && platform::MonotonicMs() >= m_headStart + m_headWindowMs);
}

bool WSocket::CountSilent(CSlowHeads* slowHeads)
{
    if (m_headCounted)
        return true;
    m_slowHeads = slowHeads;
    m_headCounted = slowHeads->Enter(m_peerAddress);
    m_headRefused = !m_headCounted;
    return m_headCounted;
}

bool WSocket::AdmitHeadBytes()
{
    std::uint64_t now = platform::MonotonicMs();
    if (m_headStart == 0) {
        m_headStart = now;
        return true;
    }
    if (!m_slowHeads || m_headCounted || now < m_headStart + kSlowHeadGraceMs)
        return true;
    m_headCounted = m_slowHeads->Enter(m_peerAddress);
    m_headRefused = !m_headCounted;
    return m_headCounted;
}
