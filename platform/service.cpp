#include "platform/service.h"

#include "platform/ascii.h"
#include "platform/clock.h"
#include "platform/paths.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <system_error>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace platform {

// The protocol of the control socket, one exchange a connection:
//   client:  "control <code>\n"
//   service: "<result> <type> <state> <controls> <exit> <specific> <checkpoint> <waithint> <pid>\n"
// The service answers after its handler returned, with the status then.

namespace {

// A request is one short line; a longer one is not ours.
constexpr std::size_t kMaxControlRequestBytes = 32;
// Pending connections beyond this wait in connect (bounded by the client).
constexpr int kControlBacklog = 16;

// Signals arrive on a pipe that the dispatcher thread polls, so the handler
// runs on the dispatcher thread whichever thread took the signal.
int g_signalPipe[2] = {-1, -1};

void OnControlSignal(int signalNumber)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

constexpr int kControlSignals[] = {SIGTERM, SIGUSR1, SIGUSR2};

std::string NotificationFor(const ServiceStatus& status)
{
    std::string text;
    auto extend = [&text, &status] {
        if (status.waitHint > 0)
            text += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t(status.waitHint) * 1000);
    };
    switch (status.currentState) {
    case kServiceStartPending:
        text = "STATUS=Starting";
        extend();
        break;
    case kServiceRunning:
        text = "READY=1\nSTATUS=Running\nMAINPID=" + std::to_string(status.processId);
        break;
    case kServiceContinuePending: text = "STATUS=Continuing"; break;
    case kServicePausePending: text = "STATUS=Pausing"; break;
    case kServicePaused: text = "STATUS=Paused"; break;
    case kServiceStopPending:
        text = "STOPPING=1\nSTATUS=Stopping";
        extend();
        break;
    default: text = "STATUS=Stopped (exit code " + std::to_string(status.win32ExitCode) + ")"; break;
    }
    return text;
}

// One datagram to $NOTIFY_SOCKET ('@' names an abstract socket); nothing
// when it is unset or does not fit an address.
void NotifySystemd(const ServiceStatus& status)
{
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (!socketPath || !*socketPath)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t length = std::strlen(socketPath);
    if (length >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, socketPath, length);
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    else if (address.sun_path[0] != '/')
        return;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    std::string text = NotificationFor(status);
    ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
             static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length));
    ::close(fd);
}

} // namespace

int ServiceStatusHandle::Report(const ServiceStatus& status)
{
    if (status.currentState < kServiceStopped || status.currentState > kServicePaused)
        return kErrorInvalidData;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_stopped)
        return kErrorServiceNotActive;
    ServiceStatus record = status;
    record.processId = static_cast<std::int32_t>(::getpid());
    if (int code = WriteServiceStatusRecord(m_name, record); code != kServiceOk)
        return code;
    m_status = record;
    if (record.currentState == kServiceStopped)
        m_stopped = true;
    NotifySystemd(record);
    if (m_onReport)
        m_onReport(record);
    return kServiceOk;
}

ServiceStatus ServiceStatusHandle::Current() const
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_status;
}

// One per process while RunServiceDispatcher runs.
class ServiceDispatcher {
public:
    explicit ServiceDispatcher(std::string_view name) { m_handle.m_name = std::string(name); }
    ~ServiceDispatcher() { Close(); }

    // On failure after the lock was taken, stopped is reported with the error.
    int Open()
    {
        int code = OpenParts();
        if (code != kServiceOk && m_locked) {
            ServiceStatus stopped;
            stopped.win32ExitCode = static_cast<std::uint32_t>(code);
            m_handle.Report(stopped);
        }
        return code;
    }
    void Run(ServiceMainFunction& serviceMain);
    void Close();

    bool NameMatches(std::string_view name) const
    {
        const std::string& own = m_handle.m_name;
        if (own.size() != name.size())
            return false;
        for (std::size_t i = 0; i < own.size(); ++i)
            if (LowerAscii(own[i]) != LowerAscii(name[i]))
                return false;
        return true;
    }
    ServiceStatusHandle* Register(ServiceControlHandler handler)
    {
        std::lock_guard<std::mutex> hold(m_handlerLock);
        m_handler = std::move(handler);
        return &m_handle;
    }

private:
    int OpenParts();
    int Deliver(std::uint32_t control, ServiceStatus& after);
    void ServeClient();
    void TakeSignals();
    void DeliverPendingStop();
    void Wake()
    {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    }

    ServiceStatusHandle m_handle;
    std::mutex m_handlerLock;
    ServiceControlHandler m_handler;
    int m_lockFd = -1;
    bool m_locked = false;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    bool m_signalsInstalled = false;
    struct sigaction m_previous[std::size(kControlSignals)] = {};
    std::atomic<bool> m_mainDone{false};
    // A stop signal that came while stops were not accepted yet.
    bool m_pendingStop = false;
};

namespace {

std::mutex g_dispatcherLock;
ServiceDispatcher* g_dispatcher = nullptr;

} // namespace

int ServiceDispatcher::OpenParts()
{
    const std::string& name = m_handle.m_name;
    std::string socketPath = ServiceSocketPath(name);
    sockaddr_un address{};
    if (socketPath.size() >= sizeof(address.sun_path))
        return kErrorFilenameTooLong;
    if (int error = CreateDirectories(ServiceRunDirectory(), 0755); error != 0)
        return ServiceErrorFromErrno(error);

    m_lockFd = ::open(ServiceLockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_lockFd < 0)
        return ServiceErrorFromErrno(errno);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(m_lockFd, F_OFD_SETLK, &whole) != 0)
        return errno == EAGAIN || errno == EACCES ? kErrorServiceAlreadyRunning : ServiceErrorFromErrno(errno);
    m_locked = true;

    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return ServiceErrorFromErrno(errno);
    m_handle.m_onReport = [this](const ServiceStatus&) { Wake(); };
    ServiceStatus first;
    first.currentState = kServiceStartPending;
    if (int code = m_handle.Report(first); code != kServiceOk)
        return code;

    // We hold the lock, so a socket file left here is a dead run's.
    ::unlink(socketPath.c_str());
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0)
        return ServiceErrorFromErrno(errno);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return ServiceErrorFromErrno(errno);
    // Until the chmod the umask decides; the peer check below covers that moment.
    ::chmod(socketPath.c_str(), 0600);
    if (::listen(m_listenFd, kControlBacklog) != 0)
        return ServiceErrorFromErrno(errno);

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return ServiceErrorFromErrno(errno);
    struct sigaction action {};
    action.sa_handler = OnControlSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kControlSignals); ++i)
        ::sigaction(kControlSignals[i], &action, &m_previous[i]);
    m_signalsInstalled = true;
    return kServiceOk;
}

void ServiceDispatcher::Close()
{
    if (m_signalsInstalled) {
        for (std::size_t i = 0; i < std::size(kControlSignals); ++i)
            ::sigaction(kControlSignals[i], &m_previous[i], nullptr);
        m_signalsInstalled = false;
    }
    for (int& fd : g_signalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(ServiceSocketPath(m_handle.m_name).c_str());
        m_listenFd = -1;
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    {
        // Reports after this point only write the record.
        std::lock_guard<std::mutex> hold(m_handle.m_lock);
        m_handle.m_onReport = nullptr;
    }
    // Closing releases the run-time lock: from now on the service reads as stopped.
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

int ServiceDispatcher::Deliver(std::uint32_t control, ServiceStatus& after)
{
    ServiceStatus now = m_handle.Current();
    after = now;
    if (now.currentState == kServiceStopped)
        return kErrorServiceNotActive;
    if (control < kServiceControlStop || control > kServiceControlInterrogate)
        return kErrorInvalidServiceControl;
    if (control == kServiceControlStop && !(now.controlsAccepted & kServiceAcceptStop))
        return kErrorServiceCannotAcceptControl;
    if ((control == kServiceControlPause || control == kServiceControlContinue) &&
        !(now.controlsAccepted & kServiceAcceptPauseContinue))
        return kErrorServiceCannotAcceptControl;
    ServiceControlHandler handler;
    {
        std::lock_guard<std::mutex> hold(m_handlerLock);
        handler = m_handler;
    }
    if (!handler)
        return kErrorServiceCannotAcceptControl;
    handler(control);
    after = m_handle.Current();
    return kServiceOk;
}

void ServiceDispatcher::ServeClient()
{
    int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0)
        return;
    ucred peer{};
    socklen_t peerSize = sizeof peer;
    bool allowed = ::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0 &&
                   (peer.uid == ::geteuid() || peer.uid == 0);

    // Read one line, bounded in size and time.
    char request[kMaxControlRequestBytes + 1] = {};
    std::size_t filled = 0;
    const std::uint64_t deadline = MonotonicMs() + kServiceRequestReadTimeoutMs;
    bool complete = false;
    while (filled < kMaxControlRequestBytes) {
        std::uint64_t now = MonotonicMs();
        if (now >= deadline)
            break;
        pollfd wait{client, POLLIN, 0};
        int ready = ::poll(&wait, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        ssize_t n = ::recv(client, request + filled, kMaxControlRequestBytes - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
        if (std::memchr(request, '\n', filled)) {
            complete = true;
            break;
        }
    }
    std::uint32_t control = 0;
    int result = kErrorInvalidServiceControl;
    ServiceStatus status = m_handle.Current();
    if (complete) {
        char* end = nullptr;
        const char* digits = request + std::strlen("control ");
        unsigned long parsed = 0;
        bool wellFormed = std::strncmp(request, "control ", 8) == 0 && *digits >= '0' && *digits <= '9';
        if (wellFormed) {
            parsed = std::strtoul(digits, &end, 10);
            wellFormed = *end == '\n' && parsed <= UINT32_MAX;
        }
        control = wellFormed ? static_cast<std::uint32_t>(parsed) : 0;
        if (!allowed)
            result = kErrorAccessDenied;
        else if (wellFormed)
            result = Deliver(control, status);
    }
    if (complete || filled > 0) {
        std::string reply = std::to_string(result) + " " + std::to_string(status.serviceType) + " " +
                            std::to_string(status.currentState) + " " + std::to_string(status.controlsAccepted) +
                            " " + std::to_string(status.win32ExitCode) + " " +
                            std::to_string(status.serviceSpecificExitCode) + " " +
                            std::to_string(status.checkPoint) + " " + std::to_string(status.waitHint) + " " +
                            std::to_string(status.processId) + "\n";
        // A reply this short fits an empty socket buffer, so this cannot block for long.
        ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::close(client);
}

void ServiceDispatcher::TakeSignals()
{
    unsigned char signals[16];
    ssize_t n;
    while ((n = ::read(g_signalPipe[0], signals, sizeof signals)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            ServiceStatus ignored;
            switch (signals[i]) {
            case SIGTERM:
                if (Deliver(kServiceControlStop, ignored) == kErrorServiceCannotAcceptControl)
                    m_pendingStop = true;
                break;
            case SIGUSR1: Deliver(kServiceControlPause, ignored); break;
            case SIGUSR2: Deliver(kServiceControlContinue, ignored); break;
            }
        }
    }
}

void ServiceDispatcher::DeliverPendingStop()
{
    if (!m_pendingStop)
        return;
    ServiceStatus now = m_handle.Current();
    if (now.currentState == kServiceStopped || now.currentState == kServiceStopPending) {
        m_pendingStop = false;
        return;
    }
    if (now.controlsAccepted & kServiceAcceptStop) {
        m_pendingStop = false;
        ServiceStatus ignored;
        Deliver(kServiceControlStop, ignored);
    }
}

void ServiceDispatcher::Run(ServiceMainFunction& serviceMain)
{
    std::vector<std::string> arguments{m_handle.m_name};
    std::thread mainThread;
    try {
        mainThread = std::thread([this, &serviceMain, arguments] {
            serviceMain(arguments);
            m_mainDone = true;
            Wake();
        });
    } catch (const std::system_error&) {
        ServiceStatus stopped;
        stopped.win32ExitCode = kErrorServiceNoThread;
        m_handle.Report(stopped);
        return;
    }
    while (!m_mainDone) {
        pollfd waits[3] = {{m_listenFd, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int ready = ::poll(waits, 3, -1);
        if (ready < 0)
            continue;
        if (waits[2].revents) {
            std::uint64_t count;
            [[maybe_unused]] ssize_t ignored = ::read(m_wakeFd, &count, sizeof count);
        }
        if (waits[1].revents)
            TakeSignals();
        if (waits[0].revents)
            ServeClient();
        DeliverPendingStop();
    }
    mainThread.join();
    ServiceStatus last = m_handle.Current();
    if (last.currentState != kServiceStopped) {
        last.currentState = kServiceStopped;
        last.controlsAccepted = 0;
        last.checkPoint = 0;
        last.waitHint = 0;
        m_handle.Report(last);
    }
}

int RunServiceDispatcher(std::string_view name, ServiceMainFunction serviceMain)
{
    if (int code = ValidateServiceName(name); code != kServiceOk)
        return code;
    ServiceDispatcher dispatcher(name);
    {
        std::lock_guard<std::mutex> hold(g_dispatcherLock);
        // One service a process: a second dispatcher would fight over the signals.
        if (g_dispatcher)
            return kErrorServiceAlreadyRunning;
        if (int code = dispatcher.Open(); code != kServiceOk)
            return code;
        g_dispatcher = &dispatcher;
    }
    dispatcher.Run(serviceMain);
    {
        std::lock_guard<std::mutex> hold(g_dispatcherLock);
        g_dispatcher = nullptr;
    }
    dispatcher.Close();
    return kServiceOk;
}

ServiceStatusHandle* RegisterServiceControlHandler(std::string_view name, ServiceControlHandler handler)
{
    std::lock_guard<std::mutex> hold(g_dispatcherLock);
    if (!g_dispatcher || !g_dispatcher->NameMatches(name))
        return nullptr;
    return g_dispatcher->Register(std::move(handler));
}

} // namespace platform
