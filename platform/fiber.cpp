#include "platform/fiber.h"

#include <boost/context/detail/fcontext.hpp>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

#include <cxxabi.h>
#include <sys/mman.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace platform {

namespace fctx = boost::context::detail;

namespace {

thread_local constinit Fiber* t_current = nullptr;

std::size_t PageSize()
{
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t RoundUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// AddressSanitizer tracks one stack per thread; it must be told of every
// switch, or it takes the fiber's frames for a corrupted thread stack.
// fakeStack null on the way out of a fiber that has ended: its stack goes.
inline void StartSwitch(void** fakeStack, const void* bottom, std::size_t size)
{
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#else
    (void)fakeStack, (void)bottom, (void)size;
#endif
}

inline void FinishSwitch(void* fakeStack, const void** oldBottom, std::size_t* oldSize)
{
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_finish_switch_fiber(fakeStack, oldBottom, oldSize);
#else
    (void)fakeStack, (void)oldBottom, (void)oldSize;
#endif
}

[[noreturn]] void Fatal(const char* what)
{
    std::fprintf(stderr, "fiber: %s\n", what);
    std::abort();
}

} // namespace

// The first instructions a fiber runs, on its own stack.
struct FiberStart {
    static void Enter(fctx::transfer_t from) { static_cast<Fiber*>(from.data)->Start(from.fctx); }
};

Fiber::Fiber(Entry entry, std::size_t stackSize) : m_entry(std::move(entry)), m_owner(std::this_thread::get_id())
{
    if (!m_entry)
        throw std::invalid_argument("fiber without an entry function");
    if (stackSize < kMinStackSize)
        throw std::invalid_argument("fiber stack below the minimum size");
    const std::size_t page = PageSize();
    const std::size_t guard = RoundUp(kGuardSize, page);
    m_stackSize = RoundUp(stackSize, page);
    m_mappingSize = m_stackSize + guard;
    // MAP_NORESERVE: a thousand idle fibers must not claim a thousand full
    // stacks from the commit limit; pages come as the stack is touched.
    void* mapping = mmap(nullptr, m_mappingSize, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED)
        throw std::bad_alloc();
    if (mprotect(mapping, guard, PROT_NONE) != 0) {
        munmap(mapping, m_mappingSize);
        throw std::bad_alloc();
    }
    m_mapping = mapping;
    m_stackLimit = static_cast<char*>(mapping) + guard;
    m_context = fctx::make_fcontext(static_cast<char*>(m_stackLimit) + m_stackSize, m_stackSize, &FiberStart::Enter);
}

Fiber::~Fiber()
{
    if (m_state == State::kRunning)
        Fatal("a running fiber was destroyed");
    if (m_state == State::kSuspended) {
        if (m_owner != std::this_thread::get_id())
            Fatal("an unfinished fiber was destroyed on another thread than its own");
        // Suspend throws FiberUnwind from here on and never switches away,
        // so this one resume runs the fiber to its end.
        m_unwinding = true;
        Resume();
        if (m_state != State::kFinished)
            Fatal("a fiber did not finish while being unwound");
    }
#if defined(__SANITIZE_ADDRESS__)
    // The last frames of the stack never returned; their poisoning must not
    // outlive the mapping and hit whatever reuses the addresses.
    __asan_unpoison_memory_region(m_stackLimit, m_stackSize);
#endif
    munmap(m_mapping, m_mappingSize);
}

void Fiber::Restart(Entry entry)
{
    if (m_state != State::kFinished)
        throw std::logic_error("only a finished fiber can be restarted");
    if (!entry)
        throw std::invalid_argument("fiber without an entry function");
#if defined(__SANITIZE_ADDRESS__)
    // The frames of the last run never returned; their poisoning must not
    // trip the next one.
    __asan_unpoison_memory_region(m_stackLimit, m_stackSize);
#endif
    m_entry = std::move(entry);
    m_state = State::kNew;
    m_unwinding = false;
    m_failure = nullptr;
    m_failureText.clear();
    m_return = nullptr;
    m_resumer = nullptr;
    m_ehState = EhState{};
    m_context = fctx::make_fcontext(static_cast<char*>(m_stackLimit) + m_stackSize, m_stackSize, &FiberStart::Enter);
}

bool Fiber::DiscardStack()
{
    // Only a finished one: a new fiber's first context is already written at
    // the top of its stack.
    if (m_state != State::kFinished)
        return false;
    // MADV_DONTNEED rather than MADV_FREE: the memory leaves the resident
    // set now, not only once the system runs short.
    return madvise(m_stackLimit, m_stackSize, MADV_DONTNEED) == 0;
}

Fiber* Fiber::Current() { return t_current; }

void Fiber::SwapEhState()
{
    // The runtime keeps the caught-exception chain and the uncaught count
    // per thread. Fibers on one thread would otherwise share them: one that
    // ends a catch block would pop another's exception.
    auto* thread = reinterpret_cast<EhState*>(abi::__cxa_get_globals());
    std::swap(*thread, m_ehState);
}

void Fiber::Resume()
{
    if (m_owner != std::this_thread::get_id())
        throw std::logic_error("fiber resumed on another thread than its own");
    if (m_state == State::kRunning)
        throw std::logic_error("fiber resumed while it runs");
    if (m_state == State::kFinished)
        throw std::logic_error("fiber resumed after it finished");

    m_resumer = t_current;
    t_current = this;
    m_state = State::kRunning;
    SwapEhState();
    void* fakeStack = nullptr;
    StartSwitch(&fakeStack, m_stackLimit, m_stackSize);
    fctx::transfer_t back = fctx::jump_fcontext(m_context, this);
    FinishSwitch(fakeStack, nullptr, nullptr);
    SwapEhState();
    t_current = m_resumer;
    m_resumer = nullptr;
    if (m_state == State::kRunning) {
        m_state = State::kSuspended;
        m_context = back.fctx;
    }
}

void Fiber::Suspend()
{
    Fiber* self = t_current;
    if (!self)
        throw std::logic_error("suspend outside a fiber");
    if (!self->m_unwinding)
        self->SwitchOut();
    // A destructor that runs during the unwinding and wants to wait must
    // not throw a second exception: its wait just ends at once.
    if (self->m_unwinding && std::uncaught_exceptions() == 0)
        throw FiberUnwind{};
}

void Fiber::SwitchOut()
{
    void* fakeStack = nullptr;
    StartSwitch(&fakeStack, m_resumerStack, m_resumerStackSize);
    fctx::transfer_t back = fctx::jump_fcontext(m_return, nullptr);
    // Resumed, perhaps by someone else than last time.
    m_return = back.fctx;
    FinishSwitch(fakeStack, &m_resumerStack, &m_resumerStackSize);
}

void Fiber::Start(void* from)
{
    m_return = from;
    FinishSwitch(nullptr, &m_resumerStack, &m_resumerStackSize);
    Run();
    m_state = State::kFinished;
    StartSwitch(nullptr, m_resumerStack, m_resumerStackSize);
    fctx::jump_fcontext(m_return, nullptr);
    Fatal("a finished fiber was resumed");
}

void Fiber::Run() noexcept
{
    try {
        // Moved out so that what the entry holds is released on its own
        // stack when it ends, not whenever the fiber object goes.
        Entry entry = std::move(m_entry);
        m_entry = nullptr;
        entry();
    } catch (const FiberUnwind&) {
    } catch (const std::exception& failure) {
        m_failure = std::current_exception();
        try {
            m_failureText = failure.what();
        } catch (...) {
        }
    } catch (...) {
        m_failure = std::current_exception();
        try {
            m_failureText = "unknown exception";
        } catch (...) {
        }
    }
}

} // namespace platform
