#pragma once
// Connections still reading their request head after a short grace, by
// client address, so that no one address can hold a server with heads it
// sends slowly. The grace keeps a burst of fast clients (a benchmark opening
// thousands of connections at once) from ever being counted.

#include <cstdint>
#include <mutex>
#include <unordered_map>

// A connection still in its head this long after its first byte is counted.
inline constexpr std::uint32_t kSlowHeadGraceMs = 2000;
// Counted connections one address may have; one more is closed.
inline constexpr int kMaxSlowHeadsPerAddress = 32;

class CSlowHeads {
public:
    // Counts one more for the address; false (nothing counted) when it has
    // the most it may have already.
    bool Enter(std::uint32_t address);
    void Leave(std::uint32_t address);
    int Count(std::uint32_t address);

private:
    std::mutex m_mutex;
    std::unordered_map<std::uint32_t, int> m_counts;
};
