#include "platform/logon_queue.h"

#include "platform/fiber.h"
#include "platform/sync.h"

#include <algorithm>

#include <pthread.h>

namespace platform {

struct LogonQueue::Job {
    const std::function<void()>* work = nullptr;
    Event done{true};
};

LogonQueue& LogonQueue::Instance()
{
    // Never destroyed: its threads may still wait on it while the process ends.
    static LogonQueue* queue = new (SharedHeapAllocator<LogonQueue>().allocate(1)) LogonQueue();
    return *queue;
}

// pthread_create rather than std::thread: the latter keeps its start record
// on the creating fiber's heap for the whole life of the thread.
void LogonQueue::StartThreads()
{
    while (m_threads < kLogonThreads) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, &LogonQueue::ThreadEntry, this) != 0)
            return; // tried again with the next logon
        pthread_detach(thread);
        ++m_threads;
    }
}

void* LogonQueue::ThreadEntry(void* queue)
{
    static_cast<LogonQueue*>(queue)->ThreadLoop();
    return nullptr;
}

namespace {

// Whether a caller no longer needs its logon.
bool IsAbandoned(const std::function<bool()>& abandoned)
{
    Fiber* fiber = Fiber::Current();
    return (fiber && fiber->IsUnwinding()) || (abandoned && abandoned());
}

} // namespace

bool LogonQueue::RunInTurn(LogonClient client, const std::function<void()>& work,
                           const std::function<bool()>& abandoned)
{
    JobPtr job = std::allocate_shared<Job>(SharedHeapAllocator<Job>());
    job->work = &work;
    bool queued = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_threads < kLogonThreads)
            StartThreads();
        queued = m_threads > 0;
        if (queued) {
            ClientQueue& queue = m_queues[client];
            if (queue.jobs.empty() && !queue.running)
                m_turns.push_back(client);
            queue.jobs.push_back(job);
        }
    }
    if (!queued) {
        // No thread at all: better a logon that holds its caller's thread
        // than none.
        work();
        return true;
    }
    m_ready.notify_one();
    if (!abandoned && !Fiber::Current()) {
        job->done.Wait();
        return true;
    }
    while (!job->done.Wait(kLogonWaitSliceMs)) {
        if (IsAbandoned(abandoned) && Withdraw(client, job))
            return false;
    }
    return true;
}

// Takes a job that has not had its turn off its client's queue; false when
// a logon thread has it already.
bool LogonQueue::Withdraw(LogonClient client, const JobPtr& job)
{
    std::lock_guard<std::mutex> hold(m_lock);
    auto found = m_queues.find(client);
    if (found == m_queues.end())
        return false;
    ClientQueue& queue = found->second;
    auto at = std::find(queue.jobs.begin(), queue.jobs.end(), job);
    if (at == queue.jobs.end())
        return false;
    queue.jobs.erase(at);
    if (queue.jobs.empty() && !queue.running) {
        m_queues.erase(found);
        m_turns.erase(std::find(m_turns.begin(), m_turns.end(), client));
    }
    return true;
}

LogonQueue::JobPtr LogonQueue::NextJob(std::unique_lock<std::mutex>& hold, LogonClient* client)
{
    m_ready.wait(hold, [this] { return !m_turns.empty(); });
    *client = m_turns.front();
    m_turns.pop_front();
    ClientQueue& queue = m_queues.find(*client)->second;
    JobPtr job = std::move(queue.jobs.front());
    queue.jobs.pop_front();
    queue.running = true;
    return job;
}

// A client whose logon ended goes to the back of the turns when it has more
// waiting: behind every client that came meanwhile.
void LogonQueue::Finished(LogonClient client)
{
    bool more = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        auto found = m_queues.find(client);
        found->second.running = false;
        more = !found->second.jobs.empty();
        if (more)
            m_turns.push_back(client);
        else
            m_queues.erase(found);
    }
    if (more)
        m_ready.notify_one();
}

void LogonQueue::ThreadLoop()
{
    for (;;) {
        JobPtr job;
        LogonClient client = 0;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            job = NextJob(hold, &client);
        }
        try {
            (*job->work)();
        } catch (...) {
            // The caller's result keeps the failure it started with.
        }
        Finished(client);
        // The job stays ours until Set has left it: the caller may return,
        // dropping its share, as soon as it sees the event set.
        job->done.Set();
    }
}

} // namespace platform
