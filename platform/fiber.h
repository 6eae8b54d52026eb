#pragma once
// Stackful fibers: a function that runs on a stack of its own and can stop
// half way (Suspend), giving the thread back to whoever resumed it, and go on
// later (Resume) exactly where it stopped.
//
// A fiber belongs to the thread that created it and only ever runs there:
// thread-local data, errno and the thread's credentials would be wrong on any
// other. Resume refuses another thread.
//
// Stacks are mapped memory with an inaccessible guard below them, so a fiber
// that runs out of stack faults at once instead of writing over its
// neighbour. Pages are only committed as the stack grows into them.
//
// An exception that leaves the entry function ends the fiber and is kept
// (GetFailure); it never crosses into the code that resumed it. Each fiber
// also keeps its own exception-handling state (the exceptions being caught
// and the count being thrown), so a fiber that suspends inside a catch block
// or a destructor run by unwinding does not disturb the others.
//
// Destroying a fiber that has started but not finished unwinds it first: the
// destructor resumes it once more and its pending Suspend throws FiberUnwind,
// so every destructor on its stack runs (locks are released, sockets closed).
// A destructor that waits during that unwinding gets its Suspend back at
// once without a switch; a scheduler sees IsUnwinding and fails such waits.
// This must happen on the fiber's own thread. A fiber never started is
// simply dropped; its entry never runs.

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <thread>

namespace platform {

// What Suspend throws in a fiber that is being destroyed. Not derived from
// std::exception; code that catches everything must rethrow it.
struct FiberUnwind {};

class Fiber {
public:
    using Entry = std::function<void()>;

    // Enough for the macro expander's deepest nesting in every build, which
    // the sanitizers roughly double. Only the pages used are committed.
#if defined(VELMORA_SANITIZE) || defined(__SANITIZE_ADDRESS__)
    static constexpr std::size_t kDefaultStackSize = 2 * 1024 * 1024;
#else
    static constexpr std::size_t kDefaultStackSize = 1024 * 1024;
#endif
    // Below this the switch itself, an exception's unwinding and one C
    // library call might not fit.
    static constexpr std::size_t kMinStackSize = 64 * 1024;
    // Inaccessible bytes below every stack. One page is not enough: a frame
    // with a large local array could step over a single page unnoticed.
    static constexpr std::size_t kGuardSize = 64 * 1024;

    enum class State { kNew, kRunning, kSuspended, kFinished };

    // Maps the stack (stackSize rounded up to whole pages). Throws
    // std::invalid_argument below kMinStackSize or without an entry, and
    // std::bad_alloc when the system has no memory for the stack.
    Fiber(Entry entry, std::size_t stackSize = kDefaultStackSize);
    ~Fiber();
    Fiber(const Fiber&) = delete;
    Fiber& operator=(const Fiber&) = delete;

    // Runs the fiber on the calling thread until it suspends or finishes.
    // May be called from a thread or from inside another fiber; Suspend goes
    // back to the caller. Throws std::logic_error on another thread than the
    // fiber's, for a running fiber and for a finished one.
    void Resume();

    // Inside a fiber: gives the thread back to whoever resumed it. Throws
    // std::logic_error outside a fiber, FiberUnwind when the fiber is being
    // destroyed (or, inside a destructor run by that unwinding, returns at
    // once).
    static void Suspend();
    // The fiber running on this thread, null outside any.
    static Fiber* Current();

    // Makes a finished fiber new again with another entry, on the same
    // stack: no mapping is made or given back, and the pages already used
    // stay committed. Throws std::logic_error unless the fiber finished,
    // std::invalid_argument without an entry.
    void Restart(Entry entry);

    // Gives the stack pages of a finished fiber back to the system; the
    // mapping and its guard stay, and after Restart the fiber faults in
    // zeroed pages. False for any other state or when the system refuses.
    bool DiscardStack();

    State GetState() const { return m_state; }
    bool IsFinished() const { return m_state == State::kFinished; }
    // True while the destructor unwinds the fiber: a wait cannot be kept.
    bool IsUnwinding() const { return m_unwinding; }
    // The exception that ended the entry; null when it returned (or was unwound).
    std::exception_ptr GetFailure() const { return m_failure; }
    // Its what(), or "unknown exception" for one not derived from std::exception.
    const std::string& GetFailureText() const { return m_failureText; }

    // The usable stack: [GetStackLimit(), GetStackLimit() + GetStackSize()).
    // The guard lies just below the limit.
    void* GetStackLimit() const { return m_stackLimit; }
    std::size_t GetStackSize() const { return m_stackSize; }
    std::thread::id GetOwner() const { return m_owner; }

private:
    // Exception-handling state of one fiber: the layout of the C++ runtime's
    // per-thread record.
    struct EhState {
        void* caughtExceptions = nullptr;
        unsigned int uncaughtExceptions = 0;
    };

    friend struct FiberStart;
    void Start(void* from);
    void Run() noexcept;
    void SwitchOut();
    void SwapEhState();

    Entry m_entry;
    std::thread::id m_owner;
    State m_state = State::kNew;
    bool m_unwinding = false;

    void* m_mapping = nullptr;
    std::size_t m_mappingSize = 0;
    void* m_stackLimit = nullptr;
    std::size_t m_stackSize = 0;

    // Where the fiber continues, while it is not running.
    void* m_context = nullptr;
    // Where Suspend goes back to, while it runs.
    void* m_return = nullptr;
    Fiber* m_resumer = nullptr;
    // The resumer's stack, for AddressSanitizer's bookkeeping of switches.
    const void* m_resumerStack = nullptr;
    std::size_t m_resumerStackSize = 0;

    EhState m_ehState;
    std::exception_ptr m_failure;
    std::string m_failureText;
};

} // namespace platform
