#pragma once
// DirectoryWatcher: tells a waiting thread that something changed below a
// set of directory trees (a file or directory created, deleted, renamed,
// written or given a new time). Built on inotify, which watches single
// directories: the watcher keeps one watch per directory of each tree and
// adds the directories created later. When the kernel's event queue
// overflows the watcher still reports a change, so the caller re-checks
// everything it holds (a full flush) and nothing is missed.
//
// Wait, Stop and WatchTrees may be called from different threads; Open,
// Restart and destruction belong to the owner.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

class DirectoryWatcher {
public:
    // A tree deeper or wider than this is watched in part: every watch costs
    // kernel memory, and the user's watch limit is shared by all programs.
    static constexpr std::size_t kMaxWatches = 8192;

    enum WaitResult { kChanged, kStopped, kTimedOut, kFailed };

    DirectoryWatcher();
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Creates the inotify instance and the stop signal. False with errno's
    // Win32 number in GetLastError when the system refuses.
    bool Open();
    // Drops every watch and watches each root with the directories below
    // it. A root that cannot be watched is skipped; returns how many roots
    // are watched.
    std::size_t WatchTrees(const std::vector<std::string>& roots);
    std::size_t GetWatchCount() const
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_paths.size();
    }

    // Waits until a change arrives (the pending events are all consumed),
    // Stop is called or timeoutMs passes (kInfinite from clock.h: no limit).
    // Without any watch it still waits, for Stop or the time-out.
    WaitResult Wait(std::uint32_t timeoutMs);
    // Waits only for Stop: true when stopped, false when timeoutMs passed.
    bool WaitForStop(std::uint32_t timeoutMs);
    // Wakes Wait for good: every later Wait returns kStopped at once.
    void Stop();
    // Clears the stop signal so the watcher can serve again.
    void Restart();

    int GetLastError() const { return m_lastError; }

private:
    void AddTree(const std::string& root);
    void AddOne(const std::string& directory);
    // Reads the queued events; true when any of them is a change.
    bool Drain();
    void Close();

    int m_inotify = -1;
    int m_stop = -1;
    std::atomic<int> m_lastError{0};
    // Guards the watch table: WatchTrees runs beside a Wait that drains.
    mutable std::mutex m_mutex;
    std::unordered_map<int, std::string> m_paths;
};

} // namespace platform
