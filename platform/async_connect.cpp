#include "platform/async_connect.h"

#include "platform/errors.h"
#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace platform {

struct PendingLookup::State {
    ~State()
    {
        if (signal >= 0)
            ::close(signal);
    }
    int signal = -1;
    mutable std::mutex mutex;
    bool done = false;
    int result = -1;
    int error = 0;
    std::uint32_t address = 0;
};

PendingLookup::PendingLookup() : m_state(std::make_shared<State>()) {}

PendingLookup::~PendingLookup() = default;

int PendingLookup::Start(const std::string& host, std::uint32_t timeoutMs)
{
    m_state = std::make_shared<State>();
    m_state->signal = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_state->signal < 0) {
        SetLastSocketError(kWsaeNoBufs);
        return -1;
    }
    auto finish = [](State& state, int result, int error, std::uint32_t address) {
        {
            std::lock_guard hold(state.mutex);
            state.result = result;
            state.error = error;
            state.address = address;
            state.done = true;
        }
        std::uint64_t one = 1;
        ssize_t written = ::write(state.signal, &one, sizeof one);
        static_cast<void>(written);
    };
    std::uint32_t literal = 0;
    if (ParseIPv4(host.c_str(), &literal)) {
        finish(*m_state, 0, 0, literal);
        return 0;
    }
    try {
        std::thread([state = m_state, host, timeoutMs, finish] {
            std::uint32_t address = 0;
            int result = LookupIPv4Address(host.c_str(), timeoutMs, &address);
            finish(*state, result, result < 0 ? LastSocketError() : 0, address);
        }).detach();
    } catch (const std::system_error&) {
        SetLastSocketError(kWsaeNoBufs);
        return -1;
    }
    return 0;
}

int PendingLookup::GetHandle() const { return m_state->signal; }

bool PendingLookup::IsDone() const
{
    std::lock_guard hold(m_state->mutex);
    return m_state->done;
}

int PendingLookup::GetResult(std::uint32_t* address) const
{
    std::lock_guard hold(m_state->mutex);
    if (!m_state->done) {
        SetLastSocketError(kWsaeTimedOut);
        return -1;
    }
    if (m_state->result < 0) {
        SetLastSocketError(m_state->error);
        return -1;
    }
    *address = m_state->address;
    return 0;
}

int StartConnectIPv4(int socket, std::uint32_t address, std::uint16_t port)
{
    if (SetNonBlocking(socket, true) < 0)
        return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    if (::connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
        return 0;
    if (errno == EINPROGRESS || errno == EINTR)
        return 1;
    SetLastSocketError(WinSockErrorFromErrno(errno));
    return -1;
}

int FinishConnect(int socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        error = errno;
    if (error == 0)
        return 0;
    SetLastSocketError(WinSockErrorFromErrno(error));
    return -1;
}

} // namespace platform
