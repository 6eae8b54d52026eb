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
// names behind, and the next opener reuses them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

inline constexpr const char* kShmPrefixVariable = "VELMORA_SHM_PREFIX";

// The POSIX name of a system object name, prefix included.
std::string SharedMemoryName(std::string_view name);

class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory() { Close(); }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // Opens the named object, creating it (mode 0600) when it does not exist,
    // makes it at least bytes long and maps bytes of it read-write. False
    // (nothing open) when any step fails, including an existing object that
    // stays shorter than bytes: touching a mapping past the object's end
    // would kill the process. Closes what was open first.
    bool Create(std::string_view name, std::size_t bytes);
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

private:
    void* m_data = nullptr;
    std::size_t m_size = 0;
    int m_handle = -1;
    bool m_creator = false;
    std::string m_name;
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
