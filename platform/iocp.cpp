#include "platform/iocp.h"

#include "platform/errors.h"
#include "platform/net.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {

namespace {

// epoll data of the port's own descriptors; handles are never this large.
constexpr std::uint64_t kPostTag = std::uint64_t{1} << 40;
constexpr std::uint64_t kTimerTag = kPostTag + 1;

int FailWithErrno(int error)
{
    SetLastSocketError(WinSockErrorFromErrno(error));
    return -1;
}

int AddToEpoll(int epoll, int fd, std::uint64_t tag)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = tag;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
}

// Reads a counter descriptor (eventfd, timerfd) down to zero.
void DrainCounter(int fd)
{
    std::uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace

CompletionPort::~CompletionPort() { Close(); }

void CompletionPort::Close()
{
    for (int* fd : {&m_timer, &m_postSignal, &m_epoll}) {
        if (*fd >= 0)
            CloseHandle(*fd);
        *fd = -1;
    }
}

bool CompletionPort::Open()
{
    if (IsOpen())
        return true;
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0)
        return FailWithErrno(errno), false;
    m_postSignal = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (m_postSignal < 0 || m_timer < 0 || AddToEpoll(m_epoll, m_postSignal, kPostTag) != 0 ||
        AddToEpoll(m_epoll, m_timer, kTimerTag) != 0) {
        const int error = errno;
        Close();
        return FailWithErrno(error), false;
    }
    return true;
}

void CompletionPort::CheckOwner()
{
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner == std::thread::id())
        m_owner = self;
    else if (m_owner != self)
        throw std::logic_error("completion port used by another thread than its worker");
}

bool CompletionPort::Post(std::uintptr_t key, std::uint32_t bytes, void* pointer)
{
    if (!IsOpen()) {
        SetLastSocketError(kWsaeBadF);
        return false;
    }
    bool raise;
    {
        std::lock_guard<std::mutex> hold(m_postLock);
        m_posted.push_back(Posted{key, bytes, pointer});
        raise = !m_postSignalled;
        m_postSignalled = true;
    }
    if (!raise)
        return true;
    const std::uint64_t one = 1;
    for (;;) {
        // EAGAIN: the counter is already huge, so the owner wakes anyway.
        if (write(m_postSignal, &one, sizeof one) >= 0 || errno == EAGAIN)
            return true;
        if (errno != EINTR) {
            FailWithErrno(errno);
            return false;
        }
    }
}

int CompletionPort::Arm(int handle, bool forWrite, std::uint64_t deadlineMs, std::uint64_t cookie)
{
    if (!CheckHandle(handle))
        return -1;
    auto [it, created] = m_registrations.try_emplace(handle);
    Registration& registration = it->second;
    if (registration.watched || registration.edge) {
        // A watch cannot be modified into a one-shot wait, and an edge
        // registration may belong to an earlier handle of the same number.
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, handle, nullptr);
        registration.watched = registration.edge = false;
        registration.inEpoll = false;
    }

    epoll_event event{};
    event.events = (forWrite ? EPOLLOUT : EPOLLIN) | EPOLLONESHOT;
    event.data.u64 = static_cast<std::uint32_t>(handle);
    int rc = epoll_ctl(m_epoll, registration.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, handle, &event);
    // The number may have been closed and reused since it was last armed,
    // or registered by a wait this port forgot: try the other operation.
    if (rc != 0 && errno == ENOENT)
        rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event);
    else if (rc != 0 && errno == EEXIST)
        rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, handle, &event);
    if (rc != 0) {
        const int error = errno;
        if (created) {
            m_registrations.erase(it);
        } else {
            // Whatever was armed before is gone with the failed change.
            DropDeadline(registration);
            if (registration.armed)
                --m_armedCount;
            registration.armed = false;
            ++registration.sequence;
        }
        return FailWithErrno(error);
    }
    registration.inEpoll = true;
    DropDeadline(registration);
    if (!registration.armed)
        ++m_armedCount;
    registration.armed = true;
    registration.cookie = cookie;
    registration.sequence = ++m_nextSequence;
    SetDeadline(registration, handle, deadlineMs);
    return 0;
}

int CompletionPort::ArmEdge(int handle, bool forWrite, std::uint64_t deadlineMs, std::uint64_t cookie)
{
    if (!CheckHandle(handle))
        return -1;
    auto it = m_registrations.find(handle);
    if (it == m_registrations.end() || !it->second.edge) {
        Disarm(handle);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        event.data.u64 = static_cast<std::uint32_t>(handle);
        int rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event);
        if (rc != 0 && errno == EEXIST)
            rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, handle, &event);
        if (rc != 0)
            return FailWithErrno(errno);
        // The kernel reports a handle that is ready already as a first edge.
        it = m_registrations.try_emplace(handle).first;
        it->second.edge = true;
        it->second.inEpoll = true;
    }
    Registration& registration = it->second;
    DropDeadline(registration);
    if (registration.armed)
        --m_armedCount;
    registration.armed = false;
    // Any report of an earlier wait still queued is stale from here on.
    registration.sequence = ++m_nextSequence;
    bool& edgeSeen = forWrite ? registration.writable : registration.readable;
    if (edgeSeen) {
        edgeSeen = false;
        return 1;
    }
    ++m_armedCount;
    registration.armed = true;
    registration.forWrite = forWrite;
    registration.cookie = cookie;
    SetDeadline(registration, handle, deadlineMs);
    return 0;
}

int CompletionPort::Watch(int handle, std::uint64_t cookie)
{
    if (!CheckHandle(handle))
        return -1;
    // An exclusive registration cannot be modified, only added anew.
    Disarm(handle);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLEXCLUSIVE;
    event.data.u64 = static_cast<std::uint32_t>(handle);
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, handle, &event) != 0)
        return FailWithErrno(errno);
    Registration& registration = m_registrations[handle];
    registration.watched = true;
    registration.inEpoll = true;
    registration.cookie = cookie;
    registration.sequence = ++m_nextSequence;
    return 0;
}

bool CompletionPort::Disarm(int handle)
{
    CheckOwner();
    auto it = m_registrations.find(handle);
    if (it == m_registrations.end())
        return false;
    Registration& registration = it->second;
    // Errors are of no interest: the handle may be closed already.
    if (registration.inEpoll)
        epoll_ctl(m_epoll, EPOLL_CTL_DEL, handle, nullptr);
    DropDeadline(registration);
    if (registration.armed)
        --m_armedCount;
    m_registrations.erase(it);
    return true;
}

bool CompletionPort::CheckHandle(int handle)
{
    CheckOwner();
    if (!IsOpen()) {
        SetLastSocketError(kWsaeBadF);
        return false;
    }
    if (handle < 0)
        return FailWithErrno(EBADF), false;
    return true;
}

void CompletionPort::SetDeadline(Registration& registration, int handle, std::uint64_t deadlineMs)
{
    if (deadlineMs == kNoDeadline)
        return;
    registration.deadline = m_deadlines.emplace(deadlineMs, handle);
    registration.hasDeadline = true;
    ProgramTimer();
}

void CompletionPort::DropDeadline(Registration& registration)
{
    if (registration.hasDeadline)
        m_deadlines.erase(registration.deadline);
    registration.hasDeadline = false;
}

void CompletionPort::ProgramTimer()
{
    if (m_deadlines.empty())
        return;
    const std::uint64_t earliest = m_deadlines.begin()->first;
    // A timer set for later than needed is moved forward. One set for
    // earlier is left alone: it just wakes the port once for nothing.
    if (earliest >= m_timerAt)
        return;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(earliest / 1000);
    spec.it_value.tv_nsec = static_cast<long>(earliest % 1000) * 1000000L;
    // An all-zero value would disarm the timer instead of firing it.
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
        spec.it_value.tv_nsec = 1;
    if (timerfd_settime(m_timer, TFD_TIMER_ABSTIME, &spec, nullptr) == 0)
        m_timerAt = earliest;
}

void CompletionPort::ExpireDeadlines(std::uint64_t now)
{
    while (!m_deadlines.empty() && m_deadlines.begin()->first <= now) {
        const int handle = m_deadlines.begin()->second;
        m_deadlines.erase(m_deadlines.begin());
        Registration& registration = m_registrations.at(handle);
        registration.hasDeadline = false;
        registration.armed = false;
        --m_armedCount;
        // The one-shot interest stays enabled in the kernel; a report that
        // comes later finds the wait disarmed and is dropped.
        Completion completion;
        completion.kind = Completion::kTimedOut;
        completion.handle = handle;
        completion.cookie = registration.cookie;
        m_pending.push_back(Pending{completion, registration.sequence});
    }
}

void CompletionPort::DrainPosted()
{
    DrainCounter(m_postSignal);
    std::vector<Posted> posted;
    {
        std::lock_guard<std::mutex> hold(m_postLock);
        posted.swap(m_posted);
        m_postSignalled = false;
    }
    for (const Posted& item : posted) {
        Completion completion;
        completion.kind = Completion::kPosted;
        completion.key = item.key;
        completion.bytes = item.bytes;
        completion.pointer = item.pointer;
        m_pending.push_back(Pending{completion, 0});
    }
}

bool CompletionPort::TakePending(Completion& completion)
{
    while (!m_pending.empty()) {
        Pending next = m_pending.front();
        m_pending.pop_front();
        if (next.completion.kind != Completion::kPosted) {
            // Disarmed or armed again since the report was taken: stale.
            auto it = m_registrations.find(next.completion.handle);
            if (it == m_registrations.end() || it->second.sequence != next.sequence || it->second.armed)
                continue;
        }
        completion = next.completion;
        return true;
    }
    return false;
}

bool CompletionPort::Poll(int timeoutMs)
{
    epoll_event events[kMaxEventsPerWait];
    int count = epoll_wait(m_epoll, events, kMaxEventsPerWait, timeoutMs);
    if (count < 0)
        return errno == EINTR ? true : (FailWithErrno(errno), false);
    bool timerFired = false;
    bool posted = false;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == kPostTag) {
            posted = true;
            continue;
        }
        if (tag == kTimerTag) {
            timerFired = true;
            continue;
        }
        auto it = m_registrations.find(static_cast<int>(tag));
        if (it == m_registrations.end())
            continue;
        Registration& registration = it->second;
        if (registration.edge) {
            // Remembered until a wait takes it: edges come only once.
            const std::uint32_t got = events[i].events;
            if (got & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                registration.readable = true;
            if (got & (EPOLLOUT | EPOLLHUP | EPOLLERR))
                registration.writable = true;
            bool& edgeSeen = registration.forWrite ? registration.writable : registration.readable;
            if (!registration.armed || !edgeSeen)
                continue;
            edgeSeen = false;
        } else if (!(registration.armed || registration.watched)) {
            continue;
        }
        if (registration.watched) {
            Completion completion;
            completion.kind = Completion::kReady;
            completion.handle = it->first;
            completion.cookie = registration.cookie;
            m_pending.push_back(Pending{completion, registration.sequence});
            continue;
        }
        DropDeadline(registration);
        registration.armed = false;
        --m_armedCount;
        Completion completion;
        completion.kind = Completion::kReady;
        completion.handle = it->first;
        completion.cookie = registration.cookie;
        m_pending.push_back(Pending{completion, registration.sequence});
    }
    if (timerFired) {
        DrainCounter(m_timer);
        m_timerAt = kNoDeadline;
    }
    // Checked on every return, not only when the timer fired: a deadline due
    // now is not left waiting for the timer's own report.
    ExpireDeadlines(MonotonicMs());
    ProgramTimer();
    if (posted)
        DrainPosted();
    return true;
}

bool CompletionPort::Wait(std::uint32_t timeoutMs, Completion& completion)
{
    CheckOwner();
    if (!IsOpen()) {
        SetLastSocketError(kWsaeBadF);
        return false;
    }
    const std::uint64_t deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        if (TakePending(completion))
            return true;
        int waitMs = -1;
        if (deadline != kNoDeadline) {
            const std::uint64_t now = MonotonicMs();
            waitMs = now >= deadline ? 0 : static_cast<int>(std::min<std::uint64_t>(deadline - now, INT32_MAX));
        }
        if (!Poll(waitMs))
            return false;
        if (waitMs == 0 && m_pending.empty()) {
            SetLastSocketError(kWsaeTimedOut);
            return false;
        }
    }
}

} // namespace platform
