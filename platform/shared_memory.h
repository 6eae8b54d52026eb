#pragma once
// Named shared memory and the named mutexes that guard it, shared between
// processes of the same user.
//
// Names. The system names its objects like "Tessa/VLInfo2"; POSIX wants one
// leading '/' and no other, so every '/' or '\' becomes '.' and a '/' goes in
// front: "/Tessa.VLInfo2". When VELMORA_SHM_PREFIX is set and not empty, its
// text (cleaned the same way) goes before the name: "/<prefix>.Tessa.VLInfo2".
// That is the seam for tests, which run as parallel processes and must not
// meet each other's (or a running server's) objects.
//
// Lifetime. The object that made a name (its O_EXCL open succeeded) unlinks
// the name when it closes, so a process that ends cleanly leaves nothing in
// /dev/shm. Anyone who still has the object mapped keeps a working view; a
// later opener of the name gets a new object. A process that dies leaves its
// names behind: the next opener reuses them, and RemoveUnusedSharedMemory
// removes them (an open object holds a shared lock on its file, which the
// kernel drops however the process ends).
//
// Trust. Only an object of this user with mode 0600 is opened; one that
// another user made first (names are known in advance) or that others may
// open is unlinked and made afresh.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kShmPrefixVariable = "VELMORA_SHM_PREFIX";
// Where the system keeps the objects, one file per name.
inline constexpr const char* kSharedMemoryFolder = "/dev/shm";

// The POSIX name of a system object name, prefix included.
std::string SharedMemoryName(std::string_view name);

// Removes this user's objects whose system names begin with prefix and that
// no process has open: what processes that died left. Returns how many went.
int RemoveUnusedSharedMemory(std::string_view prefix);

class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory() { Close(); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Opens the named object, creating it (mode 0600) when it does not exist
    // or is not this user's private object, makes it at least bytes long and
    // maps bytes of it read-write. False (nothing open) when any step fails,
    // including an existing object that stays shorter than bytes: touching a
    // mapping past the object's end would kill the process. Closes what was
    // open first.
    bool Create(std::string_view name, std::size_t bytes);
    // Maps bytes of memory no other program can open, for a block whose
    // name cannot be had. False when even that fails. Closes what was open
    // first.
    bool CreateUnnamed(std::size_t bytes);
    // Unmaps and closes; unlinks the name when this object made it.
    void Close();
    // Removes the name now, whoever made it.
    void Unlink();

    bool IsOpen() const { return m_data != nullptr; }
    // True when this object created the name (and will unlink it).
    bool IsCreator() const { return m_creator; }
    void* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    const std::string& Name() const { return m_name; }
    // Whose the object was that Create removed instead of using ("user
    // 65534's, mode 0666"); empty when there was none.
    const std::string& Refused() const { return m_refused; }

private:
    void* m_data = nullptr;
    std::size_t m_size = 0;
    int m_handle = -1;
    bool m_creator = false;
    std::string m_name;
    std::string m_refused;
};

// A robust, process-shared mutex in its own shared memory object. Not
// recursive: a thread that already holds it gets failed from Wait. The owner
// is a thread, so it must not be held across a fiber switch.
class NamedMutex {
public:
    enum class WaitResult {
        acquired,
        // The previous owner died holding it; the caller now owns it and
        // the mutex has been made consistent again.
        abandoned,
        timeout,
        failed,
    };

    NamedMutex() = default;
    ~NamedMutex() { Close(); }
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Opens or creates the mutex of that name (mapped like SharedMemory
    // names). The process that creates the name initialises the mutex;
    // others wait, at most kInitWaitMs, until it is ready. False when it
    // could not be opened or never became ready.
    bool Create(std::string_view name);
    // Must not be called while this process holds the mutex.
    void Close();
    bool IsOpen() const { return m_shared != nullptr; }
    const std::string& Name() const { return m_memory.Name(); }
    const std::string& Refused() const { return m_memory.Refused(); }

    // kInfinite waits without limit, 0 only tries.
    WaitResult Wait(std::uint32_t milliseconds);
    // False when the caller does not hold the mutex.
    bool Release();

    // A creator that dies between creating the name and initialising the
    // mutex would stall openers forever; this bounds their wait.
    static constexpr std::uint32_t kInitWaitMs = 2000;

private:
    struct Shared;

    Shared* m_shared = nullptr;
    SharedMemory m_memory;
};

} // namespace platform
