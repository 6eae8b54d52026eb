#include "framework/server.h"

#include "framework/listening_port.h"
#include "framework/memory.h"
#include "framework/server_log.h"
#include "framework/text_util.h"
#include "framework/thread_data.h"
#include "framework/worker_pool.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/files.h"
#include "platform/net.h"
#include "platform/paths.h"

#include <algorithm>
#include <climits>
#include <sys/resource.h>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A pooled server thread: parked on the idle list between connections.
struct ServerThreadRecord {
    ConnectionWork work;
    WSocket connection;
    platform::Event wake{true, false};
    bool quit = false; // set under the idle-list lock
    // Links of the idle list, under its lock; onIdleList says the thread is
    // on it (a listener or StopAllServers takes it off before waking it).
    ServerThreadRecord* idlePrev = nullptr;
    ServerThreadRecord* idleNext = nullptr;
    bool onIdleList = false;
};

namespace {

std::mutex& ServerListMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<CServer*>& ServerList()
{
    static std::vector<CServer*> list;
    return list;
}

// The idle server threads in the order they parked: the longest idle is
// handed the next connection. Intrusive links keep both ends and the removal
// of a thread whose idle time ran out O(1); thousands of threads park here.
struct IdleList {
    ServerThreadRecord* head = nullptr;
    ServerThreadRecord* tail = nullptr;
    std::size_t count = 0;

    bool empty() const { return head == nullptr; }
    void PushBack(ServerThreadRecord* record)
    {
        record->idlePrev = tail;
        record->idleNext = nullptr;
        (tail ? tail->idleNext : head) = record;
        tail = record;
        record->onIdleList = true;
        ++count;
    }
    void Remove(ServerThreadRecord* record)
    {
        (record->idlePrev ? record->idlePrev->idleNext : head) = record->idleNext;
        (record->idleNext ? record->idleNext->idlePrev : tail) = record->idlePrev;
        record->idlePrev = record->idleNext = nullptr;
        record->onIdleList = false;
        --count;
    }
    ServerThreadRecord* PopFront()
    {
        ServerThreadRecord* record = head;
        Remove(record);
        return record;
    }
};

// The idle server threads of the whole process, and how many live.
struct ThreadPool {
    std::mutex lock;
    IdleList idle;
    int live = 0; // under lock
    // Set by StopAllServers: a thread that finishes its connection after the
    // idle list was emptied ends instead of parking.
    bool closing = false;
    std::condition_variable ended;
};

ThreadPool& Pool()
{
    static ThreadPool pool;
    return pool;
}

std::atomic<std::uint32_t> g_idleMs{kServerThreadIdleMs};
std::atomic<CServer::UnixClock> g_logClock{nullptr};

// Bounds the wait of StopAllServers for the idle threads it woke.
constexpr std::uint32_t kThreadEndWaitMs = 10000;

std::int64_t LogClockSeconds()
{
    CServer::UnixClock clock = g_logClock.load();
    return clock ? clock() : platform::UnixTimeSeconds();
}

void LogError(std::string_view text) { LogMessage(platform::kEventTypeError, kEventErrorText, {text}); }

void LogConnectionFailure(const std::exception& e)
{
    LogError("Unexpected raw exception connecting socket to client thread.");
    // The code (a handshake's 20000-20010, a toolkit status, a socket
    // error) is what tells a refused client from a broken server.
    LogMessage(platform::kEventTypeInformation, kEventInfoText, {std::string("Connection ended: ") + e.what() + "."});
}
void LogWarning(std::string_view text) { LogMessage(platform::kEventTypeWarning, kEventWarningText, {text}); }

// Accepted clients whose threads wait for their first bytes, oldest first,
// of every server: when descriptors run out they are the ones to make
// room, for they cost a descriptor and a thread each and have asked for
// nothing. Each node lives on its thread's stack while it waits.
struct SilentClient {
    WSocket* socket = nullptr;
    SilentClient* prev = nullptr;
    SilentClient* next = nullptr;
    bool linked = false;
};
struct SilentClients {
    std::mutex lock;
    SilentClient* head = nullptr;
    SilentClient* tail = nullptr;

    void Unlink(SilentClient& node)
    {
        (node.prev ? node.prev->next : head) = node.next;
        (node.next ? node.next->prev : tail) = node.prev;
        node.prev = node.next = nullptr;
        node.linked = false;
    }
};
SilentClients& Silent()
{
    static SilentClients clients;
    return clients;
}

class SilentClientScope {
public:
    explicit SilentClientScope(WSocket& socket)
    {
        m_node.socket = &socket;
        SilentClients& all = Silent();
        std::lock_guard hold(all.lock);
        m_node.prev = all.tail;
        (all.tail ? all.tail->next : all.head) = &m_node;
        all.tail = &m_node;
        m_node.linked = true;
    }
    // Once this returns no other thread touches the socket.
    ~SilentClientScope()
    {
        SilentClients& all = Silent();
        std::lock_guard hold(all.lock);
        if (m_node.linked)
            all.Unlink(m_node);
    }
    SilentClientScope(const SilentClientScope&) = delete;
    SilentClientScope& operator=(const SilentClientScope&) = delete;

private:
    SilentClient m_node;
};

// Ends the oldest silent clients waiting on threads (count at most): their
// threads see the end of input and close them. False when there was none.
bool ShutDownOldestSilentClients(int count)
{
    SilentClients& all = Silent();
    std::lock_guard hold(all.lock);
    if (!all.head)
        return false;
    for (int i = 0; i < count && all.head; ++i) {
        SilentClient* oldest = all.head;
        all.Unlink(*oldest);
        oldest->socket->Shutdown();
    }
    return true;
}


// How long a listener out of descriptors waits for a silent client's
// thread to close it before it tries again.
constexpr std::uint32_t kRoomWaitMs = 1;

// The soft limit on open descriptors when a server last started (the
// service lifts it first); no ceiling until then.
std::atomic<long> g_descriptorCeiling{LONG_MAX};
// What the process holds besides its clients' sockets (its files, logs,
// pipes, listeners), as last seen near the limit.
std::atomic<long> g_otherDescriptors{0};

// The SSL 2.0 handshake's refusals (the numbers the security layer throws).
const char* HandshakeFailureText(int code)
{
    switch (code) {
    case 20000: return "no SSL 2.0 client hello";
    case 20001: return "bad cipher list";
    case 20002: return "bad session id";
    case 20003: return "bad master key";
    case 20004: return "no client finished";
    case 20005: return "wrong connection id";
    case 20006: return "escape record";
    case 20007: return "bad padding";
    case 20008: return "short record";
    case 20009: return "bad MAC";
    case 20010: return "cipher not offered";
    }
    return nullptr;
}

// A client that cannot or will not speak SSL 2.0 (every current one) is
// refused during the handshake: that is the client's doing, said as such,
// not as an unexpected exception of ours.
void LogHandshakeFailure(const WSocket& socket, const WSocketException& e, const char* what)
{
    std::string client;
    FormatIPAddress(client, socket.GetPeerAddress());
    LogMessage(platform::kEventTypeInformation, kEventInfoText,
               {"SSL handshake with " + client + " refused: " + e.what() + " (" + what + ")."});
}

std::uint32_t SocketTimeout(std::uint32_t connTimeout) { return CClientLimits{connTimeout}.ReadTimeoutMs(); }

// Parks the thread on the idle list until a listener hands it work (true)
// or the idle time passes or the pool ends (false).
bool WaitForWork(ServerThreadRecord* record)
{
    ThreadPool& pool = Pool();
    {
        std::lock_guard lock(pool.lock);
        if (pool.closing)
            return false;
        record->wake.Reset();
        pool.idle.PushBack(record);
    }
    if (record->wake.Wait(g_idleMs.load()))
        return !record->quit;
    {
        std::lock_guard lock(pool.lock);
        if (record->onIdleList) {
            pool.idle.Remove(record);
            return false;
        }
    }
    // Taken off the list just as the wait ran out: a listener (or the end of
    // the pool) wakes it after letting go of the lock, and the record must
    // live until then, so the wake is awaited rather than the work dropped.
    record->wake.Wait();
    return !record->quit;
}

void EndServerThread(ServerThreadRecord* record)
{
    {
        CHeapSwitch shared;
        delete record;
    }
    ThreadPool& pool = Pool();
    std::lock_guard lock(pool.lock);
    --pool.live;
    pool.ended.notify_all();
}

} // namespace

void ServerThreadMain(ServerThreadRecord* record)
{
    CThreadHeap heap;
    try {
        heap.Create();
    } catch (...) {
        // No heap, no service: the connection goes back.
        CServer* server = record->work.server;
        record->connection.Abort();
        server->EndConnection();
        EndServerThread(record);
        return;
    }
    std::srand(platform::TickCount32());
    try {
        do {
            CServer* server = record->work.server;
            record->connection.SetPeerAddress(record->work.clientAddress);
            server->AddThreadEntry(&record->connection);
            server->ServeThreadConnection(record->connection, record->work);
            server->RemoveThreadEntry(&record->connection);
            // From here on the server may be stopped and deleted.
            server->EndConnection();
        } while (WaitForWork(record));
    } catch (...) {
        LogWarning("Unexpected raw exception in ServerThread.  Not to worry; we can always create another thread...");
    }
    heap.Destroy();
    EndServerThread(record);
}

// ---------------------------------------------------------------------------
// CServer

CServer::CServer()
{
    std::lock_guard lock(ServerListMutex());
    CHeapSwitch shared;
    auto& list = ServerList();
    if (std::find(list.begin(), list.end(), this) == list.end())
        list.push_back(this);
}

CServer::~CServer()
{
    // A server deleted while running would leave threads on freed memory.
    if (IsRunning())
        CServer::Stop();
    std::lock_guard lock(ServerListMutex());
    auto& list = ServerList();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void CServer::SetLogClockForTesting(UnixClock clock) { g_logClock.store(clock); }

bool CServer::IsRunning() const { return m_plain != nullptr || m_secure != nullptr; }

int CServer::SetUpListener(Listener& listener, std::uint32_t port, std::uint32_t address)
{
    WSocketBase& socket = listener.socket;
    socket.SetThrowOnError(true);
    try {
        socket.Create(platform::kAddressFamilyInet, platform::kSocketStream, 0);
        socket.Check(platform::SetNoDelay(socket.GetHandle(), true));
        // Without a cap a large reply queues megabytes per connection in the
        // kernel, and whatever the client's window holds back is then sent
        // from the client's own acknowledgements, on its time. A short queue,
        // refilled from the page cache as it drains, keeps that work here.
        // A kernel without the option serves as before.
        platform::SetUnsentLimit(socket.GetHandle(), kUnsentLimit);
        socket.Bind(static_cast<std::uint16_t>(port), address);
        socket.Listen(kListenBacklog);
    } catch (const WSocketException& e) {
        char text[160];
        std::snprintf(text, sizeof text, "Socket error %d starting server.", e.error);
        LogError(text);
        // The number alone does not say which server failed (Linux also
        // refuses an all-address and a specific-address listener on one
        // port, which Windows allowed): name the port and the reason.
        std::string where;
        FormatIPAddress(where, address);
        std::snprintf(text, sizeof text, "Port %u at %s cannot be used: %s.", port, where.c_str(),
                      platform::WinSockErrorText(e.error).c_str());
        LogError(text);
        socket.SetThrowOnError(false);
        socket.Abort();
        return e.error;
    }
    socket.SetThrowOnError(false);
    return 0;
}

int CServer::Start(unsigned index)
{
    if (IsRunning())
        return 0;
    if (rlimit limit{}; ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(LONG_MAX))
        g_descriptorCeiling.store(static_cast<long>(limit.rlim_cur));
    CServerListenSettings settings = GetListenSettings();

    const bool needsPlain = !(settings.useSSL && settings.sslOnly);
    if ((needsPlain && settings.portUnreadable) || (settings.useSSL && settings.sslPortUnreadable)) {
        // Any port in its place (80, 443) would be one nobody chose.
        LogError(std::string("A server does not start: its ") +
                 (needsPlain && settings.portUnreadable ? "Port" : "SSLPort") + " value cannot be read.");
        return platform::kWsaeInval;
    }
    // Port 0 would serve on a port the kernel picks while the server is
    // announced on port 0, and a port past 65535 would fail with a bare
    // "Invalid argument": both are refused here, naming the value.
    auto refused = [&settings](bool used, const char* name, std::uint32_t port) {
        if (!used || IsListeningPort(port))
            return false;
        LogError("A server does not start: " +
                 (settings.source.empty() ? std::string("its ") + name + " value"
                                          : std::string("the value ") + name + " of " + settings.source) +
                 " is " + std::to_string(port) + ", not a port from " + std::to_string(kMinListeningPort) + " to " +
                 std::to_string(kMaxListeningPort) + ".");
        return true;
    };
    if (refused(needsPlain, "Port", settings.port) || refused(settings.useSSL, "SSLPort", settings.sslPort))
        return platform::kWsaeInval;

    CHeapSwitch shared;
    std::unique_ptr<Listener> plain;
    std::unique_ptr<Listener> secure;
    if (needsPlain) {
        plain = std::make_unique<Listener>();
        if (int error = SetUpListener(*plain, settings.port, settings.address))
            return error;
    }
    if (settings.useSSL) {
        secure = std::make_unique<Listener>();
        secure->secure = true;
        if (int error = SetUpListener(*secure, settings.sslPort, settings.address)) {
            if (plain)
                plain->socket.Abort();
            return error;
        }
    }

    // Without the worker pool connections are served on server threads.
    const bool fibers = settings.useFibers && WorkerPoolRunning();
    if (settings.useFibers && !fibers)
        ClearUseFibers();

    m_allDone.Set();
    m_activeConnections.store(-1);
    {
        std::lock_guard lock(m_semaphoreMutex);
        m_clientSlots.reset();
        if (settings.maxUsers > 0)
            m_clientSlots = std::make_shared<platform::Semaphore>(static_cast<long>(settings.maxUsers),
                                                                  static_cast<long>(settings.maxUsers));
    }
    m_maxUsers = settings.maxUsers;
    m_connTimeout = settings.connTimeout;
    {
        CEventLockHolder log(m_logLock);
        CloseLogFile();
        // The first hit after a start expands the name at once.
        m_logExpanded = false;
    }

    m_stats.Create(index, GetServerType(), settings.port, settings.sslPort, settings.address);
    PrepareStart();

    {
        std::lock_guard lock(Pool().lock);
        Pool().closing = false;
    }
    m_stopping.store(false);
    m_plain = std::move(plain);
    m_secure = std::move(secure);
    m_fiberMode = fibers;
    for (Listener* listener : {m_plain.get(), m_secure.get()}) {
        if (m_fiberMode && listener &&
            !PostServerAccepts(this, listener->socket.GetHandle(), listener->secure, settings.listeners,
                               settings.connTimeout)) {
            // The pool ended under us: both sockets are served on threads.
            RetireServerAccepts(this);
            m_fiberMode = false;
            ClearUseFibers();
        }
    }
    if (!m_fiberMode) {
        for (Listener* listener : {m_plain.get(), m_secure.get()}) {
            if (!listener)
                continue;
            platform::SetNonBlocking(listener->socket.GetHandle(), false);
            listener->thread = std::thread(&CServer::ListenLoop, this, listener);
        }
    }
    return 0;
}

void CServer::ListenLoop(Listener* listener)
{
    for (;;) {
        try {
            AcceptLoop(*listener);
            return;
        } catch (...) {
            if (m_stopping.load())
                return;
            LogError("Unexpected raw exception in ListenThread.  Attempting to respawn a listener for this socket...");
            platform::SleepMs(kListenerRespawnPauseMs);
        }
    }
}

void CServer::AcceptLoop(Listener& listener)
{
    WSocketBase& socket = listener.socket;
    socket.SetThrowOnError(false);
    for (;;) {
        std::uint32_t peer = 0;
        int handle = socket.Accept(&peer, true);
        if (handle < 0) {
            int error = platform::LastSocketError();
            if (m_stopping.load() || error == platform::kWsaeInval || error == platform::kWsaeNotSock)
                return;
            // Out of descriptors, a client that has sent nothing yields its
            // own to the next; with none such, the listener waits a moment.
            if (error == platform::kWsaeMFile) {
                ReportDescriptorsRunOut();
                if (ShutDownOldestSilentClients(1)) {
                    platform::SleepMs(kRoomWaitMs);
                    continue;
                }
            }
            // A client that reset before its accept, or descriptors running
            // out for a moment, must not end the listener for good.
            if (error != platform::kWsaeConnAborted && error != platform::kWsaeConnReset)
                platform::SleepMs(10);
            continue;
        }
        if (m_stopping.load()) {
            platform::CloseHandle(handle);
            continue;
        }
        // The work of requests needs descriptors of its own (a file, a
        // pipe): near the limit, the oldest client that has sent nothing
        // makes room for the one just come.
        if (LeavesTooFewDescriptors(handle))
            ShutDownOldestSilentClients(1);
        // Counted before the hand-over, so Stop waits for the thread.
        BeginConnection();
        try {
            HandOver(handle, peer, listener.secure, socket.GetHandle());
        } catch (...) {
            EndConnection();
            LogError("Unexpected raw exception adding client thread.");
        }
    }
}

void CServer::HandOver(int handle, std::uint32_t peer, bool secure, int listeningSocket)
{
    CHeapSwitch shared;
    ConnectionWork work{this, listeningSocket, peer, 0, secure};
    ThreadPool& pool = Pool();
    ServerThreadRecord* idle = nullptr;
    {
        std::lock_guard lock(pool.lock);
        if (!pool.idle.empty())
            idle = pool.idle.PopFront();
        else
            ++pool.live;
    }
    if (idle) {
        // Off the list the thread is this listener's alone until woken (it
        // waits for the wake even when its idle time runs out), so it is
        // prepared and woken outside the lock: the wake-up is the costly part.
        idle->work = work;
        idle->connection.AttachAccepted(handle);
        idle->connection.SetTimeout(SocketTimeout(m_connTimeout));
        idle->wake.Set();
        return;
    }
    ServerThreadRecord* record = nullptr;
    try {
        record = new ServerThreadRecord;
        record->work = work;
        if (record->connection.AttachAccepted(handle) != 0)
            throw WSocketException(&record->connection, platform::LastSocketError());
        handle = platform::kInvalidSocket;
        record->connection.SetTimeout(SocketTimeout(m_connTimeout));
        std::thread(ServerThreadMain, record).detach();
    } catch (...) {
        if (handle != platform::kInvalidSocket)
            platform::CloseHandle(handle);
        delete record;
        std::lock_guard lock(pool.lock);
        --pool.live;
        pool.ended.notify_all();
        throw;
    }
}

int CServer::AcquireClientSlot()
{
    if (!TakeSlot())
        return 0;
    BeginConnection();
    return 1;
}

void CServer::ReleaseClientSlot()
{
    GiveSlot();
    EndConnection();
}

bool CServer::TakeSlot()
{
    if (m_stopping.load())
        return false;
    if (m_maxUsers > 0) {
        std::shared_ptr<platform::Semaphore> slots;
        {
            std::lock_guard lock(m_semaphoreMutex);
            slots = m_clientSlots;
        }
        if (!slots)
            return false;
        std::uint32_t wait = CClientLimits{m_connTimeout}.WaitMs();
        if (!slots->Wait(wait))
            return false;
        // Stop releases every waiter; none of them is served.
        if (m_stopping.load())
            return false;
    }
    m_stats.AddClient();
    return true;
}

void CServer::GiveSlot()
{
    if (m_maxUsers > 0) {
        std::shared_ptr<platform::Semaphore> slots;
        {
            std::lock_guard lock(m_semaphoreMutex);
            slots = m_clientSlots;
        }
        if (slots)
            slots->Release();
    }
    m_stats.RemoveClient();
}

void CServer::BeginConnection()
{
    std::lock_guard lock(m_activeMutex);
    if (m_activeConnections.fetch_add(1) == -1)
        m_allDone.Reset();
}

void CServer::EndConnection()
{
    std::lock_guard lock(m_activeMutex);
    if (m_activeConnections.fetch_sub(1) - 1 < 0)
        m_allDone.Set();
}

void CServer::AddThreadEntry(WSocket* connection)
{
    std::lock_guard lock(m_threadListMutex);
    CHeapSwitch shared;
    m_threadList.push_back({connection, platform::MonotonicMs()});
}

void CServer::RemoveThreadEntry(WSocket* connection)
{
    std::lock_guard lock(m_threadListMutex);
    auto it = std::find_if(m_threadList.begin(), m_threadList.end(),
                           [connection](const ThreadEntry& entry) { return entry.connection == connection; });
    if (it != m_threadList.end())
        m_threadList.erase(it);
}

void CServer::ShutdownConnections()
{
    std::lock_guard lock(m_threadListMutex);
    for (const ThreadEntry& entry : m_threadList)
        entry.connection->Shutdown();
}

void CServer::HandleConnection(WSocket& socket, const ConnectionWork& work)
{
    CConnectionPause* pause = socket.GetPause();
    const bool resumed = pause && pause->resumed;
    bool impersonating = resumed && pause->impersonating;
    bool handshaking = false;
    // Work done for this client elsewhere (a query) watches its socket.
    struct ClientHandleScope {
        explicit ClientHandleScope(int handle) { SetClientHandle(handle); }
        ~ClientHandleScope() { SetClientHandle(-1); }
    } client(socket.GetHandle());
    try {
        // A resumed connection did all of this on its first turn; its
        // identity came back with the fiber's own.
        if (!resumed) {
            RefreshConfiguration();
            if (platform::LogonTokenPtr token = GetConnectionToken()) {
                if (platform::Impersonate(token) != 0) {
                    LogError("Could not authenticate or log in anonymous user via NT; connection terminated.");
                    platform::RevertToSelf();
                    socket.EndHeadDeadline();
                    socket.Close();
                    socket.ResetBuffers();
                    return;
                }
                impersonating = true;
            }
        }
        bool serve = true;
        if (work.secure && !resumed) {
            // A secure port never falls back to plain text.
            serve = socket.SetSecure(true) == 0;
            if (serve) {
                PrepareSecure(socket);
                handshaking = true;
                socket.StartSecure();
                handshaking = false;
            }
        }
        if (serve) {
            // A resumed request loop finds the socket as it left it.
            if (!resumed)
                socket.SetThrowOnError(true);
            ServerRequest(&socket);
            if (pause && pause->requested) {
                // The pool waits for the next request; the connection, its
                // identity and its counts stay as they are.
                pause->impersonating = impersonating;
                return;
            }
        }
        socket.Close();
        AddConnectionStats(socket, work.secure);
    } catch (const WSocketException& e) {
        // A client of the secure port that left before sending a byte (a
        // browser's pre-connect) made no handshake: it ends quietly and at
        // once, as on the plain port.
        const char* refusal = handshaking && e.socket == nullptr ? HandshakeFailureText(e.error) : nullptr;
        if (work.secure && e.socket == nullptr && socket.GetBytesReceived() == 0) {
        } else if (refusal)
            LogHandshakeFailure(socket, e, refusal);
        else
            LogConnectionFailure(e);
    } catch (const std::exception& e) {
        LogConnectionFailure(e);
    } catch (...) {
        LogError("Unexpected raw exception connecting socket to client thread.");
    }
    if (pause)
        pause->Clear();
    if (impersonating)
        platform::RevertToSelf();
    // Still counted when it ended inside its head (or silent): the count is
    // this server's, and the server is still there.
    socket.EndHeadDeadline();
    socket.Close();
    socket.ResetBuffers();
}

bool LeavesTooFewDescriptors(int handle)
{
    const long room = g_descriptorCeiling.load(std::memory_order_relaxed) - kDescriptorReserve;
    const long clients = OpenClientSockets();
    if (handle >= room) {
        // Every handle below this one is taken: what is not a client's is
        // the server's own.
        g_otherDescriptors.store(handle + 1 - clients, std::memory_order_relaxed);
    } else if (clients + g_otherDescriptors.load(std::memory_order_relaxed) < room) {
        return false;
    }
    ReportDescriptorsRunOut();
    return true;
}

void ReportDescriptorsRunOut()
{
    static std::atomic<bool> reported{false};
    if (reported.exchange(true))
        return;
    rlimit limit{};
    std::string count = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? std::to_string(limit.rlim_cur) : "?";
    LogWarning("Out of descriptors (limit " + count +
               "): clients that have sent nothing are closed, oldest first, to accept new ones.");
}

bool CServer::AwaitFirstData(WSocket& socket)
{
    SilentClientScope silent(socket);
    std::uint32_t silence = CClientLimits{m_connTimeout}.WaitMs();
    // HeaderTimeout 0 (no head limit) counts no silent connection.
    if (silence <= kSilentGraceMs || !CountsSilentConnections())
        return socket.WaitForInput(silence);
    // Silent past the grace, the connection counts against its address as a
    // slow head does: connections that never send would otherwise hold the
    // server from one address until ConnTimeout, however many they are.
    if (socket.WaitForInput(kSilentGraceMs))
        return true;
    if (!socket.CountSilent(&m_slowHeads))
        return false;
    if (!socket.WaitForInput(silence == platform::kInfinite ? silence : silence - kSilentGraceMs))
        return false;
    socket.Spoke();
    return true;
}

void CServer::ServeThreadConnection(WSocket& socket, const ConnectionWork& work)
{
    if (!AwaitFirstData(socket) || !TakeSlot()) {
        socket.EndHeadDeadline();
        socket.Abort();
        socket.ResetBuffers();
        return;
    }
    HandleConnection(socket, work);
    GiveSlot();
}

void CServer::ServeFiberConnection(WSocket& socket, const ConnectionWork& work)
{
    CConnectionPause* pause = socket.GetPause();
    // A resumed connection holds its slot and its entry from its first turn.
    if (!pause || !pause->resumed) {
        if (!AcquireClientSlot()) {
            socket.Abort();
            socket.ResetBuffers();
            return;
        }
        AddThreadEntry(&socket);
    }
    HandleConnection(socket, work);
    if (pause && pause->requested)
        return;
    RemoveThreadEntry(&socket);
    // From here on the server may be stopped and deleted.
    ReleaseClientSlot();
}

void CServer::AddConnectionStats(const WSocket& socket, bool secure)
{
    m_stats.AddConnection(secure, static_cast<std::uint64_t>(socket.GetBytesSent()),
                          static_cast<std::uint64_t>(socket.GetBytesReceived()));
}

void CServer::WaitForConnections()
{
    if (m_allDone.Wait(kStopConnectionWaitMs))
        return;
    ShutdownConnections();
    if (m_allDone.Wait(kStopConnectionWaitMs))
        return;
    // Their sockets are shut down, so every socket wait has ended; what is
    // left is finishing other work (a program, a query). Threads are never
    // killed: wait for them, shutting down sockets of late arrivals too.
    LogMessage(platform::kEventTypeWarning, kEventThreadKilled);
    do
        ShutdownConnections();
    while (!m_allDone.Wait(kStopConnectionWaitMs));
}

void CServer::StopListener(Listener& listener)
{
    WSocketBase& socket = listener.socket;
    if (socket.IsOpen()) {
        platform::SetNonBlocking(socket.GetHandle(), true);
        // Connections still queued are not served; close them.
        for (;;) {
            int handle = platform::AcceptSocket(socket.GetHandle(), nullptr, nullptr);
            if (handle < 0)
                break;
            platform::CloseHandle(handle);
        }
        socket.Shutdown();
    }
    if (listener.thread.joinable())
        listener.thread.join();
    socket.Abort();
}

int CServer::Stop()
{
    if (!IsRunning())
        return 0;
    m_stopping.store(true);

    std::shared_ptr<platform::Semaphore> slots;
    {
        std::lock_guard lock(m_semaphoreMutex);
        slots = std::move(m_clientSlots);
    }
    if (slots)
        while (slots->Release())
            ;

    WaitForConnections();
    if (m_fiberMode) {
        // No worker may accept on the sockets once they are closed.
        RetireServerAccepts(this);
        m_fiberMode = false;
    }
    {
        CHeapSwitch shared;
        if (m_plain)
            StopListener(*m_plain);
        if (m_secure)
            StopListener(*m_secure);
        m_plain.reset();
        m_secure.reset();
    }
    // A connection the listener handed over while it was stopping.
    WaitForConnections();

    {
        CEventLockHolder log(m_logLock);
        if (m_openLog && platform::IsUnlinked(m_openLog->handle.load()))
            m_openLog->ReportLost("was deleted while in use; the hits logged since are lost");
        CloseLogFile();
        // No hit runs any more: what threads' copies still hold is closed
        // now, so the next start (or another server) can open the name.
        for (const auto& retired : m_retiredLogs)
            if (auto file = retired.lock())
                file->Close();
        m_retiredLogs.clear();
    }
    m_stats.Close();
    return 0;
}

// ---------------------------------------------------------------------------
// The access log

void CServer::LogHit(std::string_view line)
{
    std::shared_ptr<const LogFile> file;
    if (!HasLogFile())
        return;
    // While the expanded name is not due for another look, the open file is
    // taken without the logging lock, which every hit would otherwise queue on.
    if (m_logValidUntilMs.load(std::memory_order_acquire) > platform::MonotonicMs() &&
        m_logValidMinute.load(std::memory_order_relaxed) == LogClockSeconds() / 60) {
        file = m_logFile.Get();
    } else {
        if (!m_logLock.Lock(kLogMutexWaitMs)) {
            LogWarning("Timeout waiting to claim logging mutex (1); hit will not be logged.");
            return;
        }
        struct Release {
            CEventLock& lock;
            ~Release() { lock.Unlock(); }
        } release{m_logLock};
        OpenLogFile();
        file = m_openLog;
    }
    if (!file || line.empty())
        return;
    // Written outside the lock: one append of the whole line lands in one
    // piece, and the file stays open until its last writer is done even if
    // the name changes meanwhile.
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text += '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        long n = platform::WriteHandle(file->handle.load(std::memory_order_relaxed), text.data() + done, text.size() - done);
        if (n < 0 && file->handle.load() >= 0)
            file->ReportLost(std::string("cannot be written (") + std::strerror(errno) + "); hits are not logged");
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

void CServer::LogFile::Close() const
{
    int open = handle.exchange(-1);
    if (open >= 0)
        platform::CloseHandle(open);
}

void CServer::LogFile::ReportLost(std::string_view why) const
{
    if (!lostReported.exchange(true))
        LogWarning("The access log " + name + " " + std::string(why) + ".");
}

void CServer::FlushLog()
{
    if (!m_logLock.Lock(kLogMutexWaitMs)) {
        LogWarning("Timeout waiting to claim logging mutex (2); hit will not be logged.");
        return;
    }
    // Lines are written through to the file as they come; nothing is held.
    m_logLock.Unlock();
}

std::string CServer::GetLogFileName() const
{
    CEventLockHolder held(m_logLock);
    return m_openLog ? m_openLog->name : std::string();
}

void CServer::OpenLogFile()
{
    std::uint64_t now = platform::MonotonicMs();
    std::int64_t minute = LogClockSeconds() / 60;
    if (m_logExpanded && now < m_lastExpansionMs + kLogReexpandMs && minute == m_lastExpansionMinute)
        return;
    m_logExpanded = true;
    m_lastExpansionMs = now;
    m_lastExpansionMinute = minute;
    struct Publish {
        CServer& server;
        // Whatever the expansion found, it stands until the next look.
        ~Publish()
        {
            server.m_logValidMinute.store(server.m_lastExpansionMinute, std::memory_order_relaxed);
            server.m_logValidUntilMs.store(server.m_lastExpansionMs + kLogReexpandMs, std::memory_order_release);
        }
    } publish{*this};

    CHeapSwitch shared;
    std::string name;
    try {
        name = ExpandLogFileText(GetLogFileText());
    } catch (...) {
        name.clear();
    }
    if (m_openLog && m_openLog->name == name) {
        if (!platform::IsUnlinked(m_openLog->handle.load()))
            return;
        // Deleted under us (a run folder removed to start again): hits went
        // nowhere since, and go to the name again from now on.
        m_openLog->ReportLost("was deleted while in use; the hits logged since are lost, and it is written anew");
    }
    CloseLogFile();
    if (name.empty())
        return;
    for (const auto& retired : m_retiredLogs) {
        auto file = retired.lock();
        if (file && file->name == name && !platform::IsUnlinked(file->handle.load())) {
            PublishLogFile(std::move(file));
            return;
        }
    }
    std::string path = name;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        platform::CreateDirectories(path.substr(0, slash));
    int handle = platform::OpenForAppend(path, true);
    if (handle < 0)
        return; // the name stays empty, so a later expansion tries again
    PublishLogFile(std::make_shared<const LogFile>(handle, std::move(name)));
}

void CServer::PublishLogFile(std::shared_ptr<const LogFile> file)
{
    CHeapSwitch shared;
    m_openLog = std::move(file);
    m_logFile.Set(m_openLog);
}

void CServer::CloseLogFile()
{
    m_logValidUntilMs.store(0);
    CHeapSwitch shared;
    if (m_openLog) {
        std::erase_if(m_retiredLogs, [](const auto& retired) { return retired.expired(); });
        m_retiredLogs.push_back(m_openLog);
    }
    m_openLog.reset();
    m_logFile.Set(nullptr);
}

// ---------------------------------------------------------------------------
// The process's servers

std::vector<CServer*> GetServerList()
{
    std::lock_guard lock(ServerListMutex());
    return ServerList();
}

void StartAllServers(std::uint32_t workers, std::uint32_t concurrency)
{
    if (workers != 0 && !WorkerPoolRunning() && !StartWorkerThreads(workers, concurrency, ServerFiber))
        LogError("The worker pool could not be started; every server runs on threads.");
    std::vector<CServer*> servers = GetServerList();
    for (unsigned i = 0; i < servers.size(); ++i)
        servers[i]->Start(i);
    SetGlobalServerCount(static_cast<std::uint32_t>(servers.size()));
}

void StopAllServers()
{
    for (CServer* server : GetServerList())
        server->Stop();
    ThreadPool& pool = Pool();
    std::unique_lock lock(pool.lock);
    pool.closing = true;
    while (!pool.idle.empty()) {
        ServerThreadRecord* record = pool.idle.PopFront();
        record->quit = true;
        record->wake.Set();
    }
    pool.ended.wait_for(lock, std::chrono::milliseconds(kThreadEndWaitMs), [&pool] { return pool.live == 0; });
    lock.unlock();
    StopWorkerThreads();
}

void DeleteAllServers()
{
    for (;;) {
        CServer* first;
        {
            std::lock_guard lock(ServerListMutex());
            if (ServerList().empty())
                return;
            first = ServerList().front();
        }
        delete first;
    }
}

int GetServerThreadCount()
{
    ThreadPool& pool = Pool();
    std::lock_guard lock(pool.lock);
    return pool.live;
}

int GetIdleServerThreadCount()
{
    ThreadPool& pool = Pool();
    std::lock_guard lock(pool.lock);
    return static_cast<int>(pool.idle.count);
}

void SetServerThreadIdleForTesting(std::uint32_t milliseconds)
{
    g_idleMs.store(milliseconds ? milliseconds : kServerThreadIdleMs);
}
