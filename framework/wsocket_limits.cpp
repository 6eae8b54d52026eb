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
    // Without a head limit (0) nothing is counted either.
    if (milliseconds == 0)
        slowHeads = nullptr;
    CHeadMarkPtr counted;
    if (m_headMark && slowHeads != nullptr && m_slowHeads == slowHeads) {
        counted = std::move(m_headMark);
        slowHeads->Spoke(m_peerAddress, counted);
    }
    EndHeadDeadline();
    m_headActive = true;
    m_headWindowMs = milliseconds;
    m_slowHeads = slowHeads;
    m_headMark = std::move(counted);
    if (m_appInput->GetHeld() > 0)
        m_headStart = platform::MonotonicMs();
}

void WSocket::EndHeadDeadline()
{
    m_bodyCounting = false;
    if (m_headMark) {
        if (m_slowHeads)
            m_slowHeads->Leave(m_peerAddress, m_headMark);
        CSlowHeads::Forget(m_headMark);
        m_headMark.reset();
    }
    m_headActive = false;
    m_headWindowMs = 0;
    m_headStart = 0;
    m_slowHeads = nullptr;
    m_headRefused = false;
}

bool WSocket::HeadCutOff() const
{
    return m_headRefused ||
           (m_headWindowMs != 0 && m_headStart != 0 && platform::MonotonicMs() >= m_headStart + m_headWindowMs);
}

bool WSocket::CountSilent(CSlowHeads* slowHeads)
{
    if (m_headMark)
        return true;
    m_slowHeads = slowHeads;
    m_headMark = slowHeads->EnterSilent(m_peerAddress, this);
    m_headRefused = !m_headMark;
    return m_headMark != nullptr;
}

void WSocket::Spoke()
{
    if (m_headMark && m_slowHeads)
        m_slowHeads->Spoke(m_peerAddress, m_headMark);
}

bool WSocket::AdmitHeadBytes()
{
    std::uint64_t now = platform::MonotonicMs();
    if (m_headStart == 0) {
        m_headStart = now;
        return true;
    }
    if (!m_slowHeads || m_headMark || now < m_headStart + kSlowHeadGraceMs)
        return true;
    m_headMark = m_slowHeads->EnterHead(m_peerAddress, this);
    m_headRefused = !m_headMark;
    return m_headMark != nullptr;
}

void WSocket::StartBodyPace(CSlowHeads* slowHeads)
{
    m_bodyPace.Start();
    // A head still counted gives its place back first (EndHeadDeadline).
    if (slowHeads && !m_headMark) {
        m_slowHeads = slowHeads;
        m_bodyCounting = true;
    }
}

void WSocket::EndBodyPace()
{
    m_bodyPace.Stop();
    if (m_bodyCounting)
        EndHeadDeadline();
}

bool WSocket::AdmitBodyBytes()
{
    // A body that keeps its pace is never counted: an honest upload from
    // behind a crowded address goes on however long it takes.
    if (m_headMark || !m_bodyPace.Active() || !m_bodyPace.Behind(kSlowHeadGraceMs))
        return true;
    m_headMark = m_slowHeads->EnterHead(m_peerAddress, this);
    if (m_headMark)
        return true;
    m_bodyPace.Refuse();
    return false;
}
