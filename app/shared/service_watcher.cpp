#include "app/shared/service_watcher.h"

#include "platform/clock.h"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

struct CServiceWatcher::Shared {
    std::shared_ptr<IServiceManager> manager;
    std::string service;
    std::uint32_t timeoutMs = 0;

    std::mutex lock;
    std::condition_variable wake;
    // A job is a command, or nullopt for a query.
    std::deque<std::optional<ServiceCommand>> jobs;
    bool stopping = false;
    bool finished = false;
    // Cleared (under lock) when the watcher goes; read under lock by the thread.
    QObject* receiver = nullptr;
    // Touched on the receiver's thread only.
    StateHandler onState;
    bool queryPending = false;
    bool timeoutReported = false;
    // Commands sent and not yet done: a query queued behind one waits for
    // it, which is no silence of the machine.
    int commandsPending = 0;
    std::uint64_t queryQueuedMs = 0;

    void Deliver(const std::shared_ptr<Shared>& self, int state, bool fromQuery)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (!receiver)
            return;
        QMetaObject::invokeMethod(
            receiver,
            [self, state, fromQuery] {
                if (fromQuery) {
                    self->queryPending = false;
                    self->timeoutReported = false;
                } else {
                    --self->commandsPending;
                }
                if (self->onState)
                    self->onState(state);
            },
            Qt::QueuedConnection);
    }

    static void Run(std::shared_ptr<Shared> self)
    {
        for (;;) {
            std::optional<ServiceCommand> job;
            {
                std::unique_lock<std::mutex> hold(self->lock);
                self->wake.wait(hold, [&] { return self->stopping || !self->jobs.empty(); });
                if (self->stopping)
                    break;
                job = self->jobs.front();
                self->jobs.pop_front();
            }
            if (job)
                self->manager->Command(self->service, *job);
            self->Deliver(self, self->manager->QueryState(self->service), !job);
        }
        std::lock_guard<std::mutex> hold(self->lock);
        self->finished = true;
        self->wake.notify_all();
    }
};

CServiceWatcher::CServiceWatcher(std::shared_ptr<IServiceManager> manager, std::string service, QObject* receiver,
                                 StateHandler onState, std::uint32_t timeoutMs)
    : m_shared(std::make_shared<Shared>())
{
    m_shared->manager = std::move(manager);
    m_shared->service = std::move(service);
    m_shared->timeoutMs = timeoutMs;
    m_shared->receiver = receiver;
    m_shared->onState = std::move(onState);
    m_overdue = std::make_unique<QTimer>();
    m_overdue->setSingleShot(true);
    QObject::connect(m_overdue.get(), &QTimer::timeout, [this] {
        Shared& shared = *m_shared;
        if (!shared.queryPending || shared.timeoutReported || shared.commandsPending > 0)
            return;
        shared.timeoutReported = true;
        if (shared.onState)
            shared.onState(kServiceNoAnswer);
    });
    std::thread(&Shared::Run, m_shared).detach();
}

CServiceWatcher::~CServiceWatcher()
{
    m_refresh.reset();
    m_overdue.reset();
    std::unique_lock<std::mutex> hold(m_shared->lock);
    m_shared->stopping = true;
    m_shared->receiver = nullptr;
    m_shared->jobs.clear();
    m_shared->wake.notify_all();
    // A call in flight on a slow machine is left to end by itself; the
    // thread holds what it needs and reports to no one.
    m_shared->wake.wait_for(hold, std::chrono::milliseconds(kServiceWatcherJoinMs),
                            [this] { return m_shared->finished; });
}

void CServiceWatcher::Poll()
{
    Shared& shared = *m_shared;
    if (shared.queryPending) {
        if (!shared.timeoutReported && shared.commandsPending == 0 &&
            platform::MonotonicMs() - shared.queryQueuedMs >= shared.timeoutMs) {
            shared.timeoutReported = true;
            if (shared.onState)
                shared.onState(kServiceNoAnswer);
        }
        return;
    }
    shared.queryPending = true;
    shared.queryQueuedMs = platform::MonotonicMs();
    m_overdue->start(static_cast<int>(shared.timeoutMs));
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.jobs.push_back(std::nullopt);
    shared.wake.notify_all();
}

void CServiceWatcher::PollEvery(int intervalMs)
{
    Poll();
    m_refresh = std::make_unique<QTimer>();
    QObject::connect(m_refresh.get(), &QTimer::timeout, [this] { Poll(); });
    m_refresh->start(intervalMs);
}

void CServiceWatcher::Send(ServiceCommand command)
{
    ++m_shared->commandsPending;
    std::lock_guard<std::mutex> hold(m_shared->lock);
    m_shared->jobs.push_back(command);
    m_shared->wake.notify_all();
}
