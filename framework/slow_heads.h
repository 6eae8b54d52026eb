#pragma once
// Connections still reading their request head after a short grace, and
// connections that have sent nothing after a longer one, by client address,
// so that no one address can hold a server with heads it sends slowly or
// never. The graces keep a burst of fast clients (a benchmark opening
// thousands of connections at once) and a crowd behind one address that
// connects ahead of its requests (a NAT, browsers' pre-connects) from ever
// being counted.

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class WSocket;

// A connection still in its head this long after its first byte is counted.
inline constexpr std::uint32_t kSlowHeadGraceMs = 2000;
// A connection that has sent nothing this long is counted. Longer: a client
// may well connect before it knows what to ask.
inline constexpr std::uint32_t kSilentGraceMs = 10000;
// Counted connections one address may have. When one more must be counted,
// the oldest that has sent nothing is closed to make room; only when all of
// them have begun their heads is the newcomer refused.
inline constexpr int kMaxSlowHeadsPerAddress = 32;

// A counted connection as its address's list knows it. The connection
// forgets it (socket null) before it closes, so a shutdown from another
// thread never reaches a closed or reused socket.
struct CHeadMark {
    std::mutex mutex;
    WSocket* socket = nullptr;
};
using CHeadMarkPtr = std::shared_ptr<CHeadMark>;

class CSlowHeads {
public:
    // Counts a connection that has sent nothing past its grace; null
    // (nothing counted) when the address is full of heads under way.
    CHeadMarkPtr EnterSilent(std::uint32_t address, WSocket* socket);
    // Counts a head still under way past its grace; null when the address
    // is full of heads under way.
    CHeadMarkPtr EnterHead(std::uint32_t address, WSocket* socket);
    // A counted silent connection sent its first bytes: it stays counted,
    // now as a head, and is no longer closed to make room.
    void Spoke(std::uint32_t address, const CHeadMarkPtr& mark);
    // Gives the count back (nothing when the connection was closed to make
    // room, and its place given already).
    void Leave(std::uint32_t address, const CHeadMarkPtr& mark);
    int Count(std::uint32_t address);

    // Whoever holds mark forgets its socket (before closing it).
    static void Forget(const CHeadMarkPtr& mark);

private:
    struct Entry {
        CHeadMarkPtr mark;
        bool silent;
    };
    CHeadMarkPtr Enter(std::uint32_t address, WSocket* socket, bool silent);

    std::mutex m_mutex;
    // Oldest first.
    std::unordered_map<std::uint32_t, std::vector<Entry>> m_entries;
};
