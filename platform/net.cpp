#include "platform/net.h"

#include "platform/clock.h"
#include "platform/errors.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

static_assert(platform::kAddressFamilyInet == AF_INET);
static_assert(platform::kSocketStream == SOCK_STREAM);
static_assert(platform::kSocketDatagram == SOCK_DGRAM);

namespace platform {

namespace {

thread_local int t_lastSocketError = 0;

// Records errno's WinSock number at once, before anything can change errno.
int FailSetup()
{
    t_lastSocketError = WinSockErrorFromErrno(errno);
    return -1;
}

long FailTransfer()
{
    t_lastSocketError = TransferErrorFromErrno(errno);
    return -1;
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

// One transfer call, repeated while a signal interrupts it; the byte count or
// -1 with the error recorded.
template <typename Transfer>
long RetryInterrupted(Transfer transfer)
{
    for (;;) {
        ssize_t done = transfer();
        if (done >= 0)
            return static_cast<long>(done);
        if (errno != EINTR)
            return FailTransfer();
    }
}

// getsockname or getpeername as an IPv4 address and host-order port;
// inetOnly refuses a socket of another family.
int SocketAddress(int (*query)(int, sockaddr*, socklen_t*), SocketHandle socket, bool inetOnly,
                  std::uint32_t* address, std::uint16_t* port)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (query(socket, reinterpret_cast<sockaddr*>(&sa), &length) < 0)
        return FailSetup();
    if (inetOnly && sa.sin_family != AF_INET) {
        t_lastSocketError = kWsaeAfNoSupport;
        return -1;
    }
    if (address)
        *address = sa.sin_addr.s_addr;
    if (port)
        *port = ntohs(sa.sin_port);
    return 0;
}

int LookupErrorFromGai(int status)
{
    switch (status) {
    case EAI_NONAME:
        return kWsaHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return kWsaNoData;
#endif
    case EAI_AGAIN:
        return kWsaTryAgain;
    case EAI_MEMORY:
        return kWsaeNoBufs;
    case EAI_SYSTEM:
        return WinSockErrorFromErrno(errno);
    default:
        return kWsaNoRecovery;
    }
}

// A look-up that has not answered within its deadline still occupies a
// thread; past this many the next caller fails at once rather than piling
// threads onto a dead name server.
constexpr int kMaxPendingCalls = 64;
std::atomic<int> g_pendingCalls{0};

struct PendingCall {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int result = 0;
    std::function<int()> call;
};

} // namespace

int LastSocketError() { return t_lastSocketError; }
void SetLastSocketError(int code) { t_lastSocketError = code; }

int WinSockErrorFromErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case EINTR: return kWsaeIntr;
    case EBADF: return kWsaeBadF;
    case EACCES: return kWsaeAcces;
    case EPERM: return kWsaeAcces;
    case EFAULT: return kWsaeFault;
    case EINVAL: return kWsaeInval;
    case EMFILE: return kWsaeMFile;
    case ENFILE: return kWsaeMFile;
    case EAGAIN: return kWsaeWouldBlock;
    case EINPROGRESS: return kWsaeInProgress;
    case EALREADY: return kWsaeAlready;
    case ENOTSOCK: return kWsaeNotSock;
    case EDESTADDRREQ: return kWsaeDestAddrReq;
    case EMSGSIZE: return kWsaeMsgSize;
    case EPROTOTYPE: return kWsaeProtoType;
    case ENOPROTOOPT: return kWsaeNoProtoOpt;
    case EPROTONOSUPPORT: return kWsaeProtoNoSupport;
    case ESOCKTNOSUPPORT: return kWsaeSocktNoSupport;
    case EOPNOTSUPP: return kWsaeOpNotSupp;
    case ENOSYS: return kWsaeOpNotSupp;
    case EPFNOSUPPORT: return kWsaePfNoSupport;
    case EAFNOSUPPORT: return kWsaeAfNoSupport;
    case EADDRINUSE: return kWsaeAddrInUse;
    case EADDRNOTAVAIL: return kWsaeAddrNotAvail;
    case ENETDOWN: return kWsaeNetDown;
    case ENETUNREACH: return kWsaeNetUnreach;
    case ENETRESET: return kWsaeNetReset;
    case ECONNABORTED: return kWsaeConnAborted;
    case EPIPE: return kWsaeConnAborted;
    case ECONNRESET: return kWsaeConnReset;
    case ENOBUFS: return kWsaeNoBufs;
    case ENOMEM: return kWsaeNoBufs;
    case EISCONN: return kWsaeIsConn;
    case ENOTCONN: return kWsaeNotConn;
    case ESHUTDOWN: return kWsaeShutdown;
    case ETOOMANYREFS: return kWsaeTooManyRefs;
    case ETIMEDOUT: return kWsaeTimedOut;
    case ECONNREFUSED: return kWsaeConnRefused;
    case ELOOP: return kWsaeLoop;
    case ENAMETOOLONG: return kWsaeNameTooLong;
    case EHOSTDOWN: return kWsaeHostDown;
    case EHOSTUNREACH: return kWsaeHostUnreach;
    default: return kWsaeConnAborted;
    }
}

int TransferErrorFromErrno(int error)
{
    switch (error) {
    case 0: return 0;
    case EAGAIN: return kWsaeWouldBlock;
    case EINTR: return kWsaeIntr;
    case ETIMEDOUT: return kWsaeTimedOut;
    case ECONNRESET: return kWsaeConnReset;
    case ENOTCONN: return kWsaeNotConn;
    default: return kWsaeConnAborted;
    }
}

std::string WinSockErrorText(int code)
{
    // The errno each number stands for; the first of two that share one.
    static constexpr int kErrnoOf[][2] = {
        {kWsaeIntr, EINTR}, {kWsaeBadF, EBADF}, {kWsaeAcces, EACCES}, {kWsaeFault, EFAULT},
        {kWsaeInval, EINVAL}, {kWsaeMFile, EMFILE}, {kWsaeWouldBlock, EAGAIN}, {kWsaeInProgress, EINPROGRESS},
        {kWsaeAlready, EALREADY}, {kWsaeNotSock, ENOTSOCK}, {kWsaeDestAddrReq, EDESTADDRREQ},
        {kWsaeMsgSize, EMSGSIZE}, {kWsaeProtoType, EPROTOTYPE}, {kWsaeNoProtoOpt, ENOPROTOOPT},
        {kWsaeProtoNoSupport, EPROTONOSUPPORT}, {kWsaeSocktNoSupport, ESOCKTNOSUPPORT},
        {kWsaeOpNotSupp, EOPNOTSUPP}, {kWsaePfNoSupport, EPFNOSUPPORT}, {kWsaeAfNoSupport, EAFNOSUPPORT},
        {kWsaeAddrInUse, EADDRINUSE}, {kWsaeAddrNotAvail, EADDRNOTAVAIL}, {kWsaeNetDown, ENETDOWN},
        {kWsaeNetUnreach, ENETUNREACH}, {kWsaeNetReset, ENETRESET}, {kWsaeConnAborted, ECONNABORTED},
        {kWsaeConnReset, ECONNRESET}, {kWsaeNoBufs, ENOBUFS}, {kWsaeIsConn, EISCONN}, {kWsaeNotConn, ENOTCONN},
        {kWsaeShutdown, ESHUTDOWN}, {kWsaeTooManyRefs, ETOOMANYREFS}, {kWsaeTimedOut, ETIMEDOUT},
        {kWsaeConnRefused, ECONNREFUSED}, {kWsaeLoop, ELOOP}, {kWsaeNameTooLong, ENAMETOOLONG},
        {kWsaeHostDown, EHOSTDOWN}, {kWsaeHostUnreach, EHOSTUNREACH},
    };
    for (const auto& entry : kErrnoOf)
        if (entry[0] == code)
            return std::strerror(entry[1]);
    return "error " + std::to_string(code);
}

void IgnoreBrokenPipeSignal()
{
    static const bool ignored = [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        return sigaction(SIGPIPE, &action, nullptr) == 0;
    }();
    (void)ignored;
}

bool ParseIPv4(const char* text, std::uint32_t* address)
{
    in_addr parsed{};
    if (!text || inet_aton(text, &parsed) == 0)
        return false;
    *address = parsed.s_addr;
    return true;
}

SocketHandle OpenSocket(int family, int type, int protocol)
{
    int handle = socket(family, type | SOCK_CLOEXEC, protocol);
    return handle < 0 ? FailSetup() : handle;
}

int SetCloseOnExec(int handle)
{
    int flags = fcntl(handle, F_GETFD);
    if (flags < 0 || fcntl(handle, F_SETFD, flags | FD_CLOEXEC) < 0)
        return FailSetup();
    return 0;
}

int SetNonBlocking(int handle, bool on)
{
    int flags = fcntl(handle, F_GETFL);
    if (flags < 0)
        return FailSetup();
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted != flags && fcntl(handle, F_SETFL, wanted) < 0)
        return FailSetup();
    return 0;
}

int BindIPv4(SocketHandle socket, std::uint16_t port, std::uint32_t address)
{
    // Windows lets a restarted server bind a port whose old connections are
    // still in TIME_WAIT; on Linux that takes SO_REUSEADDR (which, unlike
    // Windows' option of that name, never lets two listeners share a port).
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM) {
        int on = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in sa = MakeAddress(address, port);
    if (bind(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0)
        return FailSetup();
    return 0;
}

int ListenSocket(SocketHandle socket, int backlog)
{
    return listen(socket, backlog) < 0 ? FailSetup() : 0;
}

SocketHandle AcceptSocket(SocketHandle listener, std::uint32_t* peerAddress, std::uint16_t* peerPort,
                          bool nonBlocking)
{
    const int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    for (;;) {
        sockaddr_in sa{};
        socklen_t length = sizeof sa;
        int handle = accept4(listener, reinterpret_cast<sockaddr*>(&sa), &length, flags);
        if (handle >= 0) {
            if (peerAddress)
                *peerAddress = sa.sin_addr.s_addr;
            if (peerPort)
                *peerPort = ntohs(sa.sin_port);
            return handle;
        }
        if (errno != EINTR)
            return FailSetup();
    }
}

int ConnectIPv4(SocketHandle socket, std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs)
{
    // A non-blocking connect waited for by poll gives the time-out, and an
    // interrupted connect is simply waited for instead of being restarted.
    int flags = fcntl(socket, F_GETFL);
    if (flags < 0)
        return FailSetup();
    if (!(flags & O_NONBLOCK) && fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0)
        return FailSetup();
    sockaddr_in sa = MakeAddress(address, port);
    int result = 0;
    if (connect(socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            result = FailSetup();
        } else {
            int ready = WaitHandle(socket, true, timeoutMs == 0 ? kInfinite : timeoutMs);
            if (ready <= 0) {
                result = -1;
            } else {
                int error = 0;
                socklen_t length = sizeof error;
                if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) < 0) {
                    result = FailSetup();
                } else if (error != 0) {
                    t_lastSocketError = WinSockErrorFromErrno(error);
                    result = -1;
                }
            }
        }
    }
    if (!(flags & O_NONBLOCK)) {
        int saved = t_lastSocketError;
        fcntl(socket, F_SETFL, flags);
        t_lastSocketError = saved;
    }
    return result;
}

int ShutdownSocket(SocketHandle socket)
{
    return shutdown(socket, SHUT_RDWR) < 0 ? FailSetup() : 0;
}

int SetNoDelay(SocketHandle socket, bool on)
{
    int value = on ? 1 : 0;
    return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) < 0 ? FailSetup() : 0;
}

int SetUnsentLimit(SocketHandle socket, int bytes)
{
    return setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &bytes, sizeof bytes) < 0 ? FailSetup() : 0;
}

int SetResetOnClose(SocketHandle socket)
{
    linger value{};
    value.l_onoff = 1;
    value.l_linger = 0;
    return setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value) < 0 ? FailSetup() : 0;
}

int CloseHandle(int handle)
{
    return close(handle) < 0 ? FailSetup() : 0;
}

int LocalAddress(SocketHandle socket, std::uint32_t* address, std::uint16_t* port)
{
    return SocketAddress(getsockname, socket, true, address, port);
}

int PeerAddress(SocketHandle socket, std::uint32_t* address, std::uint16_t* port)
{
    return SocketAddress(getpeername, socket, false, address, port);
}

long SendBytes(SocketHandle socket, const void* bytes, std::size_t n, bool moreToCome)
{
    int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreToCome ? MSG_MORE : 0);
    return RetryInterrupted([&] { return send(socket, bytes, n, flags); });
}

long ReceiveBytes(SocketHandle socket, void* bytes, std::size_t n)
{
    return RetryInterrupted([&] { return recv(socket, bytes, n, MSG_DONTWAIT); });
}

long ReadHandle(int handle, void* bytes, std::size_t n)
{
    return RetryInterrupted([&] { return read(handle, bytes, n); });
}

long WriteHandle(int handle, const void* bytes, std::size_t n)
{
    IgnoreBrokenPipeSignal();
    return RetryInterrupted([&] { return write(handle, bytes, n); });
}

long ReadFileAt(int file, void* bytes, std::size_t n, std::int64_t offset)
{
    return RetryInterrupted([&] { return pread(file, bytes, n, static_cast<off_t>(offset)); });
}

long SendFileRange(SocketHandle socket, int file, std::int64_t offset, std::size_t n)
{
    // sendfile takes no MSG_NOSIGNAL.
    IgnoreBrokenPipeSignal();
    for (;;) {
        off_t position = static_cast<off_t>(offset);
        ssize_t sent = sendfile(socket, file, &position, n);
        if (sent >= 0)
            return static_cast<long>(sent);
        if (errno == EINTR)
            continue;
        // A source sendfile cannot read from (a pipe, some file systems):
        // reported as "not supported" so the caller can read and send instead.
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == ESPIPE) {
            t_lastSocketError = kWsaeOpNotSupp;
            return -1;
        }
        return FailTransfer();
    }
}

bool PeerHungUp(int handle)
{
    pollfd entry{handle, POLLRDHUP, 0};
    int ready;
    do
        ready = poll(&entry, 1, 0);
    while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

int CurrentThreadId()
{
    return static_cast<int>(::syscall(SYS_gettid));
}

namespace {

// The line /proc gives for a thread's system call: its number and six
// arguments; false when the thread runs or is not in a call.
bool BlockingCall(int tid, unsigned long call[7])
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", tid);
    FILE* file = std::fopen(path, "re");
    if (!file)
        return false;
    const int fields = std::fscanf(file, "%lu %lx %lx %lx %lx %lx %lx", &call[0], &call[1], &call[2], &call[3], &call[4],
                                 &call[5], &call[6]);
    std::fclose(file);
    return fields == 7;
}

// SO_TYPE fails on a descriptor that is no socket.
bool IsStreamSocket(int fd)
{
    int type = 0;
    socklen_t length = sizeof type;
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

} // namespace

namespace {

std::atomic<void (*)(int)> g_shutDownPause{nullptr};

// The descriptor a blocked call waits on, from its /proc line; -1 for a
// call that waits on none, or on more than one.
int WaitedDescriptor(const unsigned long call[7])
{
    switch (call[0]) {
    case SYS_read:
    case SYS_write:
    case SYS_recvfrom:
    case SYS_sendto:
    case SYS_recvmsg:
    case SYS_sendmsg:
        return static_cast<int>(call[1]);
#ifdef SYS_poll
    case SYS_poll:
#endif
    case SYS_ppoll: {
        if (call[2] != 1)
            return -1;
        // The array is on the waiting thread's stack; read through the
        // kernel, so a call that just returned gives an error, not a fault.
        pollfd entry{};
        const int memory = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
        if (memory < 0)
            return -1;
        const ssize_t got = ::pread(memory, &entry, sizeof entry, static_cast<off_t>(call[1]));
        ::close(memory);
        return got == static_cast<ssize_t>(sizeof entry) ? entry.fd : -1;
    }
    default:
        return -1;
    }
}

bool SameFile(int one, int other)
{
    struct stat first {};
    struct stat second {};
    return ::fstat(one, &first) == 0 && ::fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

bool ShutDownSocketThreadWaitsOn(int tid)
{
    unsigned long call[7];
    if (tid <= 0 || !BlockingCall(tid, call))
        return false;
    const int fd = WaitedDescriptor(call);
    if (fd < 0)
        return false;
    // The number alone is not the socket: the thread may return and its
    // library close it, and another connection be given the same number,
    // before the shut-down. A duplicate pins the socket; the checks after
    // it tell whether the number still named the waited one when pinned.
    const int pinned = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (pinned < 0)
        return false;
    if (auto pause = g_shutDownPause.load())
        pause(fd);
    unsigned long again[7];
    const bool same = IsStreamSocket(pinned) && BlockingCall(tid, again) && std::memcmp(call, again, sizeof call) == 0 &&
                      SameFile(fd, pinned);
    // shutdown acts on the socket, so the duplicate reaches the waiter.
    const bool shut = same && ::shutdown(pinned, SHUT_RDWR) == 0;
    ::close(pinned);
    return shut;
}

void SetShutDownPauseForTesting(void (*pause)(int descriptor))
{
    g_shutDownPause.store(pause);
}

int WaitHandle(int handle, bool forWrite, std::uint32_t timeoutMs)
{
    const std::uint64_t start = MonotonicMs();
    for (;;) {
        int wait = -1;
        if (timeoutMs != kInfinite) {
            std::uint64_t spent = MonotonicMs() - start;
            std::uint64_t left = spent >= timeoutMs ? 0 : timeoutMs - spent;
            wait = left > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        }
        pollfd entry{handle, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        int ready = poll(&entry, 1, wait);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) {
                t_lastSocketError = kWsaeBadF;
                return -1;
            }
            // POLLHUP and POLLERR count as ready: the transfer call reports them.
            return 1;
        }
        if (ready == 0) {
            if (timeoutMs != kInfinite && MonotonicMs() - start >= timeoutMs) {
                t_lastSocketError = kWsaeTimedOut;
                return 0;
            }
            continue;
        }
        if (errno != EINTR)
            return FailSetup();
    }
}

int CallWithDeadline(std::function<int()> call, std::uint32_t timeoutMs, int* result)
{
    if (g_pendingCalls.fetch_add(1) >= kMaxPendingCalls) {
        g_pendingCalls.fetch_sub(1);
        t_lastSocketError = kWsaTryAgain;
        return -1;
    }
    auto state = std::make_shared<PendingCall>();
    state->call = std::move(call);
    try {
        std::thread([state] {
            int answer = state->call();
            {
                std::lock_guard<std::mutex> hold(state->mutex);
                state->result = answer;
                state->done = true;
            }
            state->finished.notify_all();
            g_pendingCalls.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        g_pendingCalls.fetch_sub(1);
        t_lastSocketError = kWsaeNoBufs;
        return -1;
    }
    std::unique_lock<std::mutex> hold(state->mutex);
    auto isDone = [&] { return state->done; };
    if (timeoutMs == kInfinite)
        state->finished.wait(hold, isDone);
    else if (!state->finished.wait_for(hold, std::chrono::milliseconds(timeoutMs), isDone)) {
        t_lastSocketError = kWsaeTimedOut;
        return -1;
    }
    *result = state->result;
    return 0;
}

namespace {

// Runs a resolver call under the deadline; error is where the call leaves its
// code, read only once the call has ended.
int RunLookup(std::function<int()> lookup, std::uint32_t timeoutMs, const int& error)
{
    int status = 0;
    if (CallWithDeadline(std::move(lookup), timeoutMs, &status) < 0)
        return -1;
    if (status < 0) {
        t_lastSocketError = error;
        return -1;
    }
    return 0;
}

} // namespace

int LookupIPv4Address(const char* host, std::uint32_t timeoutMs, std::uint32_t* address)
{
    if (!host || !*host) {
        t_lastSocketError = kWsaHostNotFound;
        return -1;
    }
    if (ParseIPv4(host, address))
        return 0;
    struct Answer {
        std::string host;
        std::uint32_t address = 0;
        int error = 0;
    };
    auto answer = std::make_shared<Answer>();
    answer->host = host;
    auto lookup = [answer] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        int gai = getaddrinfo(answer->host.c_str(), nullptr, &hints, &list);
        if (gai != 0) {
            answer->error = LookupErrorFromGai(gai);
            return -1;
        }
        answer->address = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
        freeaddrinfo(list);
        return 0;
    };
    if (RunLookup(lookup, timeoutMs, answer->error) < 0)
        return -1;
    *address = answer->address;
    return 0;
}

int LookupHostName(std::uint32_t address, std::uint32_t timeoutMs, std::string* name)
{
    struct Answer {
        std::uint32_t address = 0;
        std::string name;
        int error = 0;
    };
    auto answer = std::make_shared<Answer>();
    answer->address = address;
    auto lookup = [answer] {
        sockaddr_in sa = MakeAddress(answer->address, 0);
        char host[NI_MAXHOST];
        int gai = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
        if (gai != 0) {
            answer->error = LookupErrorFromGai(gai);
            return -1;
        }
        answer->name = host;
        return 0;
    };
    if (RunLookup(lookup, timeoutMs, answer->error) < 0)
        return -1;
    *name = answer->name;
    return 0;
}

} // namespace platform
