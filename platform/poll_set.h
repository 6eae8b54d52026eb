#pragma once
// PollSet: one descriptor that becomes readable when any of a few watched
// handles has input (or is at its end), so that a caller whose waits go
// through a single-handle seam (a fiber's parking wait) can wait on several.

#include <cstdint>

namespace platform {

class PollSet {
public:
    PollSet() = default;
    ~PollSet();
    PollSet(const PollSet&) = delete;
    PollSet& operator=(const PollSet&) = delete;

    // Creates the set; 0 or -1 (last socket error set).
    int Open();
    // Watches handle for input; bit is what Ready reports for it. Without
    // forInput only a reset or hang-up of the handle makes it ready.
    int Add(int handle, std::uint32_t bit, bool forInput = true);
    // Watches a socket only for its peer's close or reset: input the peer
    // sends ahead does not make it ready, a FIN does.
    int AddHangUp(int handle, std::uint32_t bit);
    // The set's own descriptor: readable while a watched handle is ready.
    int GetHandle() const { return m_handle; }
    // The bits of the handles ready now, without waiting; -1 on failure.
    int Ready(std::uint32_t* bits);

private:
    int Watch(int handle, std::uint32_t events, std::uint32_t bit);

    int m_handle = -1;
};

} // namespace platform
