#include "macro/mutex_macros.h"

#include "framework/event_lock.h"
#include "framework/thread_data.h"
#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "platform/ascii.h"
#include "platform/fiber.h"

#include <string>
#include <unordered_map>

namespace {

thread_local char t_threadIdentity;

// Who takes a mutex: the running fiber, or the thread outside fibers.
const void* CurrentOwner()
{
    if (platform::Fiber* fiber = platform::Fiber::Current())
        return fiber;
    return &t_threadIdentity;
}

struct MutexTable {
    CEventLock lock;
    std::unordered_map<std::string, std::shared_ptr<CNamedMutex>> mutexes;
};

MutexTable& Table()
{
    static MutexTable& table = *[] {
        CHeapSwitch heap;
        static MutexTable built;
        return &built;
    }();
    return table;
}

// Lets go on every way out of the protected text.
class CMutexHold {
public:
    explicit CMutexHold(CNamedMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~CMutexHold() { m_mutex.Unlock(); }
    CMutexHold(const CMutexHold&) = delete;
    CMutexHold& operator=(const CMutexHold&) = delete;

private:
    CNamedMutex& m_mutex;
};

class CMutexMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2)
            return;
        std::shared_ptr<CNamedMutex> mutex = FindNamedMutex(argv[0]);
        if (!mutex)
            return;
        CMutexHold hold(*mutex);
        scope->ExpandArgument(out, argv[1]);
    }
};

} // namespace

void CNamedMutex::Lock()
{
    const void* me = CurrentOwner();
    m_queue.Lock();
    if (m_owner == me) {
        ++m_depth;
        m_queue.Unlock();
        return;
    }
    bool woken = false;
    while (m_owner != nullptr) {
        // A waiter woken but beaten to the mutex keeps its turn.
        woken ? m_queue.WaitFirst(platform::kNoDeadline) : m_queue.Wait(platform::kNoDeadline);
        woken = true;
    }
    m_owner = me;
    m_depth = 1;
    m_queue.Unlock();
}

void CNamedMutex::Unlock()
{
    m_queue.Lock();
    if (m_owner == CurrentOwner() && --m_depth == 0) {
        m_owner = nullptr;
        m_queue.WakeOne();
    }
    m_queue.Unlock();
}

bool CNamedMutex::IsFree()
{
    m_queue.Lock();
    bool free = m_owner == nullptr;
    m_queue.Unlock();
    return free;
}

std::shared_ptr<CNamedMutex> FindNamedMutex(std::string_view name)
{
    std::string key(name);
    for (char& c : key)
        c = platform::LowerAscii(c);
    MutexTable& table = Table();
    CHeapSwitch heap;
    CEventLockHolder hold(table.lock);
    std::shared_ptr<CNamedMutex>& slot = table.mutexes[key];
    if (!slot)
        slot = std::make_shared<CNamedMutex>();
    return slot;
}

std::size_t NamedMutexCount()
{
    MutexTable& table = Table();
    CEventLockHolder hold(table.lock);
    return table.mutexes.size();
}

void RegisterMutexMacros(CMacroContext& global)
{
    MutexTableClear();
    global.Register("mutex", std::make_unique<CMutexMacro>());
    global.Register("'mutex", std::make_unique<CConstantMacro>(" '"));
}

void MutexTableClear()
{
    MutexTable& table = Table();
    CHeapSwitch heap;
    std::unordered_map<std::string, std::shared_ptr<CNamedMutex>> old;
    {
        CEventLockHolder hold(table.lock);
        old.swap(table.mutexes);
    }
}
