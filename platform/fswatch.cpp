#include "platform/fswatch.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// What counts as a change: names created, deleted or moved, contents
// written, times or attributes set, a watched directory itself gone.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                     IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

int Win32FromErrno(int error)
{
    switch (error) {
    case ENOENT: return 2;
    case ENOTDIR: return 3;
    case EACCES:
    case EPERM: return 5;
    case ENOMEM:
    case ENOSPC:
    case EMFILE:
    case ENFILE: return 8;
    default: return 31; // ERROR_GEN_FAILURE
    }
}

// poll(2) on both descriptors; EINTR retried within the same deadline.
int PollBoth(int first, int second, std::uint32_t timeoutMs, bool* firstReady, bool* secondReady)
{
    const std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    for (;;) {
        // poll(2) skips a negative descriptor, so a missing first one is harmless.
        pollfd fds[2] = {{first, POLLIN, 0}, {second, POLLIN, 0}};
        int wait = -1;
        if (deadline != 0) {
            std::uint64_t now = MonotonicMs();
            wait = now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, INT_MAX));
        }
        int n = ::poll(fds, 2, wait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        *firstReady = first >= 0 && (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        *secondReady = (fds[1].revents & POLLIN) != 0;
        return n;
    }
}

} // namespace

DirectoryWatcher::DirectoryWatcher() = default;

DirectoryWatcher::~DirectoryWatcher() { Close(); }

void DirectoryWatcher::Close()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_stop >= 0)
        ::close(m_stop);
    m_inotify = m_stop = -1;
    m_paths.clear();
}

bool DirectoryWatcher::Open()
{
    Close();
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0) {
        m_lastError = Win32FromErrno(errno);
        return false;
    }
    m_stop = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_stop < 0) {
        m_lastError = Win32FromErrno(errno);
        Close();
        return false;
    }
    return true;
}

std::size_t DirectoryWatcher::WatchTrees(const std::vector<std::string>& roots)
{
    if (m_inotify < 0)
        return 0;
    std::lock_guard<std::mutex> hold(m_mutex);
    for (const auto& [descriptor, path] : m_paths)
        ::inotify_rm_watch(m_inotify, descriptor);
    m_paths.clear();
    // Events of the old watches may still be queued; they only cause one
    // extra check.
    std::size_t watched = 0;
    for (const std::string& root : roots) {
        std::size_t before = m_paths.size();
        AddTree(root);
        if (m_paths.size() > before)
            ++watched;
    }
    return watched;
}

void DirectoryWatcher::AddOne(const std::string& directory)
{
    if (m_paths.size() >= kMaxWatches)
        return;
    int descriptor = ::inotify_add_watch(m_inotify, directory.c_str(), kWatchMask | IN_ONLYDIR);
    if (descriptor < 0) {
        m_lastError = Win32FromErrno(errno);
        return;
    }
    m_paths[descriptor] = directory;
}

void DirectoryWatcher::AddTree(const std::string& root)
{
    // Breadth first with an explicit queue: no recursion depth to exhaust,
    // and the watch cap ends the walk.
    std::vector<std::string> pending{root};
    for (std::size_t next = 0; next < pending.size() && m_paths.size() < kMaxWatches; ++next) {
        std::string directory = pending[next];
        std::size_t before = m_paths.size();
        AddOne(directory);
        if (m_paths.size() == before)
            continue;
        DIR* stream = ::opendir(directory.c_str());
        if (!stream)
            continue;
        while (dirent* item = ::readdir(stream)) {
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0)
                continue;
            std::string child = directory;
            if (child.empty() || child.back() != '/')
                child += '/';
            child += item->d_name;
            bool isDirectory = item->d_type == DT_DIR;
            if (item->d_type == DT_UNKNOWN) {
                struct stat status {};
                isDirectory = ::lstat(child.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
            }
            // Symbolic links are not followed: a link cycle would never end.
            if (isDirectory)
                pending.push_back(std::move(child));
        }
        ::closedir(stream);
    }
}

bool DirectoryWatcher::Drain()
{
    alignas(inotify_event) char buffer[16384];
    bool changed = false;
    for (;;) {
        ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return changed;
        std::lock_guard<std::mutex> hold(m_mutex);
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                changed = true; // events were lost: the caller re-checks everything
                continue;
            }
            if (event->mask & IN_IGNORED) {
                m_paths.erase(event->wd);
                continue;
            }
            changed = true;
            if ((event->mask & IN_ISDIR) && (event->mask & (IN_CREATE | IN_MOVED_TO)) && event->len > 0) {
                auto parent = m_paths.find(event->wd);
                if (parent != m_paths.end()) {
                    std::string child = parent->second;
                    if (child.empty() || child.back() != '/')
                        child += '/';
                    child += event->name;
                    AddTree(child);
                }
            }
        }
    }
}

DirectoryWatcher::WaitResult DirectoryWatcher::Wait(std::uint32_t timeoutMs)
{
    if (m_stop < 0)
        return kFailed;
    const std::uint64_t deadline = timeoutMs == kInfinite ? 0 : MonotonicMs() + timeoutMs;
    for (;;) {
        std::uint32_t left = kInfinite;
        if (deadline != 0) {
            std::uint64_t now = MonotonicMs();
            left = now >= deadline ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(deadline - now, kInfinite - 1));
        }
        bool changes = false;
        bool stopped = false;
        if (PollBoth(m_inotify, m_stop, left, &changes, &stopped) < 0) {
            m_lastError = Win32FromErrno(errno);
            return kFailed;
        }
        if (stopped)
            return kStopped;
        if (changes && Drain())
            return kChanged;
        if (!changes && left == 0)
            return kTimedOut;
        // Only ignored events (a removed watch): keep waiting.
    }
}

bool DirectoryWatcher::WaitForStop(std::uint32_t timeoutMs)
{
    if (m_stop < 0)
        return true;
    bool unused = false;
    bool stopped = false;
    if (PollBoth(-1, m_stop, timeoutMs, &unused, &stopped) < 0)
        return false;
    return stopped;
}

void DirectoryWatcher::Stop()
{
    if (m_stop < 0)
        return;
    std::uint64_t one = 1;
    // The counter only grows; a full counter is still readable, so a failed
    // write still leaves the watcher stopped.
    [[maybe_unused]] ssize_t written = ::write(m_stop, &one, sizeof one);
}

void DirectoryWatcher::Restart()
{
    if (m_stop < 0)
        return;
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t got = ::read(m_stop, &value, sizeof value);
}

} // namespace platform
