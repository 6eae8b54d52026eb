#include "platform/poll_set.h"

#include "platform/errors.h"
#include "platform/net.h"

#include <cerrno>
#include <sys/epoll.h>
#include <unistd.h>

namespace platform {

PollSet::~PollSet()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

int PollSet::Open()
{
    m_handle = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_handle < 0) {
        SetLastSocketError(WinSockErrorFromErrno(errno));
        return -1;
    }
    return 0;
}

// EPOLLHUP and EPOLLERR are always reported, even for no events asked;
// EPOLLRDHUP adds the peer's FIN.
int PollSet::Add(int handle, std::uint32_t bit, bool forInput)
{
    return Watch(handle, forInput ? EPOLLIN | EPOLLRDHUP : 0, bit);
}

int PollSet::AddHangUp(int handle, std::uint32_t bit) { return Watch(handle, EPOLLRDHUP, bit); }

int PollSet::Watch(int handle, std::uint32_t events, std::uint32_t bit)
{
    epoll_event event{};
    event.events = events;
    event.data.u32 = bit;
    if (::epoll_ctl(m_handle, EPOLL_CTL_ADD, handle, &event) < 0) {
        SetLastSocketError(WinSockErrorFromErrno(errno));
        return -1;
    }
    return 0;
}

int PollSet::Ready(std::uint32_t* bits)
{
    epoll_event events[8];
    int n;
    do {
        n = ::epoll_wait(m_handle, events, 8, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastSocketError(WinSockErrorFromErrno(errno));
        return -1;
    }
    *bits = 0;
    for (int i = 0; i < n; ++i)
        *bits |= events[i].data.u32;
    return 0;
}

} // namespace platform
