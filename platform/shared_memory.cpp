#include "platform/shared_memory.h"

#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// An opener can find the name gone between its two opens when the creator
// unlinks at that moment; a few rounds settle it.
constexpr int kOpenAttempts = 4;

void AppendCleaned(std::string& result, std::string_view text)
{
    for (char c : text)
        result.push_back(c == '/' || c == '\\' ? '.' : c);
}

int OpenHandle(const std::string& name, int flags)
{
    int fd;
    do
        fd = ::shm_open(name.c_str(), flags | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Only an object of ours that nobody else can open is used: another user's
// (or one open to others) could be cut short under our mapping, which kills
// us at the next touch, or hold its mutex for ever.
bool IsPrivate(const struct stat& status)
{
    return S_ISREG(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 07777) == (S_IRUSR | S_IWUSR)
           && status.st_nlink == 1;
}

std::string Describe(const struct stat& status)
{
    char text[64];
    std::snprintf(text, sizeof text, "user %u's, mode %04o", static_cast<unsigned>(status.st_uid),
                  static_cast<unsigned>(status.st_mode & 07777));
    return text;
}

// Shared while mapped, so a sweep can tell a dead process's names from a
// live one's. False when a sweep holds it (the name is going).
bool LockShared(int fd)
{
    int rc;
    do
        rc = ::flock(fd, LOCK_SH | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Opens or creates; creator tells which happened, refused what was removed
// instead of used. -1 on failure.
int OpenOrCreate(const std::string& name, bool& creator, std::string& refused)
{
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        int fd = OpenHandle(name, O_CREAT | O_EXCL);
        if (fd >= 0) {
            // The umask decided the mode; a later opener of ours wants 0600.
            ::fchmod(fd, S_IRUSR | S_IWUSR);
            if (LockShared(fd)) {
                creator = true;
                return fd;
            }
            ::close(fd);
            continue;
        }
        if (errno != EEXIST)
            return -1;
        fd = OpenHandle(name, 0);
        if (fd < 0 && errno == ENOENT)
            continue;
        if (fd < 0 && errno != EACCES)
            return -1;
        if (fd >= 0) {
            struct stat status;
            if (::fstat(fd, &status) != 0) {
                ::close(fd);
                return -1;
            }
            if (IsPrivate(status) && LockShared(fd)) {
                creator = false;
                return fd;
            }
            ::close(fd);
            if (IsPrivate(status))
                continue; // being swept
            refused = Describe(status);
        } else {
            refused = "another user's";
        }
        if (::shm_unlink(name.c_str()) != 0 && errno != ENOENT)
            return -1;
    }
    errno = EEXIST;
    return -1;
}

bool EnsureSize(int fd, std::size_t bytes)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return false;
    if (static_cast<std::uint64_t>(status.st_size) >= bytes)
        return true;
    int rc;
    do
        rc = ::ftruncate(fd, static_cast<off_t>(bytes));
    while (rc != 0 && errno == EINTR);
    // Another process may have grown it meanwhile; only the final size counts.
    if (::fstat(fd, &status) != 0)
        return false;
    return static_cast<std::uint64_t>(status.st_size) >= bytes;
}

} // namespace

std::string SharedMemoryName(std::string_view name)
{
    std::string result = "/";
    const char* prefix = std::getenv(kShmPrefixVariable);
    if (prefix && *prefix) {
        AppendCleaned(result, prefix);
        result.push_back('.');
    }
    AppendCleaned(result, name);
    return result;
}

bool SharedMemory::Create(std::string_view name, std::size_t bytes)
{
    Close();
    if (bytes == 0)
        return false;
    std::string posixName = SharedMemoryName(name);
    bool creator = false;
    std::string refused;
    int fd = OpenOrCreate(posixName, creator, refused);
    if (fd < 0)
        return false;
    void* data = MAP_FAILED;
    if (EnsureSize(fd, bytes))
        data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) {
        ::close(fd);
        if (creator)
            ::shm_unlink(posixName.c_str());
        return false;
    }
    m_data = data;
    m_size = bytes;
    m_handle = fd;
    m_creator = creator;
    m_name = std::move(posixName);
    m_refused = std::move(refused);
    return true;
}

bool SharedMemory::CreateUnnamed(std::size_t bytes)
{
    Close();
    if (bytes == 0)
        return false;
    void* data = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        return false;
    m_data = data;
    m_size = bytes;
    return true;
}

void SharedMemory::Close()
{
    if (m_data) {
        ::munmap(m_data, m_size);
        m_data = nullptr;
        m_size = 0;
    }
    if (m_handle >= 0) {
        ::close(m_handle);
        m_handle = -1;
    }
    if (m_creator && !m_name.empty())
        ::shm_unlink(m_name.c_str());
    m_creator = false;
    m_name.clear();
    m_refused.clear();
}

void SharedMemory::Unlink()
{
    if (!m_name.empty())
        ::shm_unlink(m_name.c_str());
    m_creator = false;
}

int RemoveUnusedSharedMemory(std::string_view prefix)
{
    const std::string posixPrefix = SharedMemoryName(prefix);
    int removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(kSharedMemoryFolder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = "/" + it->path().filename().string();
        if (!name.starts_with(posixPrefix))
            continue;
        int fd = OpenHandle(name, 0);
        if (fd < 0)
            continue;
        struct stat status;
        // Another user's object is left to the Create that would use it.
        if (::fstat(fd, &status) == 0 && IsPrivate(status) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
            && ::shm_unlink(name.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    return removed;
}

struct NamedMutex::Shared {
    // 0 until the creator has initialised the mutex, then kReady.
    std::atomic<std::uint32_t> ready;
    pthread_mutex_t mutex;
};

namespace {

constexpr std::uint32_t kReady = 0x4D757478; // "Mutx"

// 4-byte atomics are lock-free and so address-free: they work between
// processes that map the same page at different addresses.
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

bool InitialiseMutex(pthread_mutex_t* mutex)
{
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return false;
    bool ok = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) == 0
              && pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST) == 0
              // Error-checking: a second lock by the owner fails instead of
              // deadlocking, and a release by a non-owner changes nothing.
              && pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0
              && pthread_mutex_init(mutex, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    return ok;
}

timespec MonotonicDeadline(std::uint32_t milliseconds)
{
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    at.tv_sec += milliseconds / 1000;
    at.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    return at;
}

} // namespace

bool NamedMutex::Create(std::string_view name)
{
    Close();
    if (!m_memory.Create(name, sizeof(Shared)))
        return false;
    // The page is zero-filled when new, so ready reads 0 until initialised.
    auto* shared = static_cast<Shared*>(m_memory.Data());
    if (m_memory.IsCreator()) {
        if (!InitialiseMutex(&shared->mutex)) {
            m_memory.Close();
            return false;
        }
        shared->ready.store(kReady, std::memory_order_release);
    } else {
        const std::uint64_t end = MonotonicMs() + kInitWaitMs;
        while (shared->ready.load(std::memory_order_acquire) != kReady) {
            if (MonotonicMs() > end) {
                m_memory.Close();
                return false;
            }
            SleepMs(1);
        }
    }
    m_shared = shared;
    return true;
}

void NamedMutex::Close()
{
    // pthread_mutex_destroy is never called: other processes may still use
    // the mutex through their own mappings, and it goes with the last one.
    m_shared = nullptr;
    m_memory.Close();
}

NamedMutex::WaitResult NamedMutex::Wait(std::uint32_t milliseconds)
{
    if (!m_shared)
        return WaitResult::failed;
    int rc;
    if (milliseconds == kInfinite) {
        rc = pthread_mutex_lock(&m_shared->mutex);
    } else if (milliseconds == 0) {
        rc = pthread_mutex_trylock(&m_shared->mutex);
    } else {
        // The monotonic clock: setting the wall clock neither stretches
        // nor cuts the wait.
        const timespec deadline = MonotonicDeadline(milliseconds);
        rc = pthread_mutex_clocklock(&m_shared->mutex, CLOCK_MONOTONIC, &deadline);
    }
    switch (rc) {
    case 0:
        return WaitResult::acquired;
    case EOWNERDEAD:
        pthread_mutex_consistent(&m_shared->mutex);
        return WaitResult::abandoned;
    case ETIMEDOUT:
    case EBUSY:
        return WaitResult::timeout;
    default:
        // EDEADLK (the caller holds it), ENOTRECOVERABLE, EINVAL.
        return WaitResult::failed;
    }
}

bool NamedMutex::Release()
{
    return m_shared && pthread_mutex_unlock(&m_shared->mutex) == 0;
}

} // namespace platform
