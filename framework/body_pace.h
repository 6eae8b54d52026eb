#pragma once
// The pace of a request body. A client sending its body a byte now and then
// renews the per-read time-out at every byte, and would hold its
// connection, its worker and its client slot for as long as it liked; a
// body must keep up a minimum rate instead. The allowance is a bucket:
// waiting for the client drains it, bytes refill it (never above the
// grace), and a wait that empties it ends the body. Only time spent waiting
// for the client counts, so a page or program that reads its input late is
// never held against the client. A server whose ConnTimeout is 0 (reads
// without limit) starts no pace.

#include <cstdint>

// What a body may wait before its first bytes, and the longest pause it may
// make later: enough for a slow start on a poor line, far below the
// per-read time-out that a trickle renews.
inline constexpr std::int64_t kBodyGraceMs = 20000;
// Below this rate an upload is a trickle: each byte buys 1000 / rate ms of
// waiting. An honest slow upload (10 KB/s) stays far above it.
inline constexpr std::int64_t kMinBodyBytesPerSecond = 500;

class CBodyPace {
public:
    void Start()
    {
        m_active = true;
        m_ranOut = false;
        m_bodyOnly = false;
        m_allowanceMs = kBodyGraceMs;
    }
    void Stop() { m_active = false; }
    bool Active() const { return m_active; }
    // The body comes in a framing of its own (chunks): from now on only the
    // bytes the reader hands to Took buy time, so a client cannot keep its
    // body alive with chunk-size lines and their extensions.
    void CountBodyOnly() { m_bodyOnly = true; }
    // Milliseconds the client may still keep the reader waiting.
    std::uint64_t AllowanceMs() const { return m_allowanceMs > 0 ? static_cast<std::uint64_t>(m_allowanceMs) : 0; }
    // The last body ended because the allowance ran out, or it was refused
    // (kept after Stop).
    bool RanOut() const { return m_ranOut; }
    // The body has fallen behind its pace by more than lag milliseconds.
    bool Behind(std::int64_t lagMs) const { return m_allowanceMs < kBodyGraceMs - lagMs; }
    // The body is ended for its client's sake, as if its allowance had run out.
    void Refuse() { m_ranOut = true; }
    // A wait of waitedMs for the client that brought bytes (0 or more).
    void Waited(std::uint64_t waitedMs, std::int64_t bytes)
    {
        m_allowanceMs -= static_cast<std::int64_t>(waitedMs);
        if (bytes > 0) {
            if (!m_bodyOnly)
                Credit(bytes);
        } else if (m_allowanceMs <= 0) {
            m_ranOut = true;
        }
    }
    // Body bytes a reader of framed input took; false when the allowance
    // is spent (framing that came quickly does not keep a body alive).
    bool Took(std::int64_t bodyBytes)
    {
        Credit(bodyBytes);
        if (m_allowanceMs <= 0)
            m_ranOut = true;
        return !m_ranOut;
    }

private:
    void Credit(std::int64_t bytes)
    {
        m_allowanceMs += bytes * 1000 / kMinBodyBytesPerSecond;
        if (m_allowanceMs > kBodyGraceMs)
            m_allowanceMs = kBodyGraceMs;
    }

    bool m_active = false;
    bool m_ranOut = false;
    bool m_bodyOnly = false;
    std::int64_t m_allowanceMs = 0;
};
