#pragma once
// Holders that close what they hold on every path. All are move-only; a
// moved-from holder holds nothing.

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <concepts>
#include <utility>

// A file descriptor: pipes, event descriptors, sockets. 0 is a valid
// descriptor on Linux, so "none" is -1.
class CHandleHolder {
public:
    static constexpr int kNone = -1;

    CHandleHolder() = default;
    explicit CHandleHolder(int handle) : m_handle(handle) {}
    ~CHandleHolder() { Close(); }
    CHandleHolder(CHandleHolder&& other) noexcept : m_handle(other.Detach()) {}
    CHandleHolder& operator=(CHandleHolder&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }
    CHandleHolder(const CHandleHolder&) = delete;
    CHandleHolder& operator=(const CHandleHolder&) = delete;

    // Closes a valid descriptor; the holder holds none afterwards.
    void Close() noexcept;
    // Closes what is held and takes handle.
    void Reset(int handle = kNone) noexcept
    {
        Close();
        m_handle = handle;
    }
    // Gives the descriptor up without closing it.
    int Detach() noexcept { return std::exchange(m_handle, kNone); }

    int Get() const { return m_handle; }
    bool IsValid() const { return m_handle != kNone; }

private:
    int m_handle = kNone;
};

// An open file. The same holder as CHandleHolder, named for what it holds.
class CFileHandleHolder : public CHandleHolder {
public:
    using CHandleHolder::CHandleHolder;
};

// An open directory stream.
class CFindHandle {
public:
    CFindHandle() = default;
    explicit CFindHandle(DIR* stream) : m_stream(stream) {}
    ~CFindHandle() { Close(); }
    CFindHandle(CFindHandle&& other) noexcept : m_stream(std::exchange(other.m_stream, nullptr)) {}
    CFindHandle& operator=(CFindHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_stream = std::exchange(other.m_stream, nullptr);
        }
        return *this;
    }
    CFindHandle(const CFindHandle&) = delete;
    CFindHandle& operator=(const CFindHandle&) = delete;

    void Close() noexcept;
    DIR* Get() const { return m_stream; }
    bool IsValid() const { return m_stream != nullptr; }

private:
    DIR* m_stream = nullptr;
};

// A mapped view and its length.
class CMappedFile {
public:
    CMappedFile() = default;
    CMappedFile(void* view, std::size_t length) : m_view(view), m_length(view ? length : 0) {}
    ~CMappedFile() { Unmap(); }
    CMappedFile(CMappedFile&& other) noexcept
        : m_view(std::exchange(other.m_view, nullptr)), m_length(std::exchange(other.m_length, 0))
    {
    }
    CMappedFile& operator=(CMappedFile&& other) noexcept
    {
        if (this != &other) {
            Unmap();
            m_view = std::exchange(other.m_view, nullptr);
            m_length = std::exchange(other.m_length, 0);
        }
        return *this;
    }
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // Unmaps a held view; the holder holds none afterwards.
    void Unmap() noexcept;
    void* GetView() const { return m_view; }
    const char* GetData() const { return static_cast<const char*>(m_view); }
    std::size_t GetLength() const { return m_length; }
    bool IsValid() const { return m_view != nullptr; }

private:
    void* m_view = nullptr;
    std::size_t m_length = 0;
};

// Holds a lock its owner has claimed, with the result of the claim. TMutex
// offers Release() (its result, bool or void, is passed on) or Unlock().
template <class TMutex>
class CMutexHolder {
public:
    CMutexHolder() = default;
    // mutex is null when the claim did not take the lock.
    CMutexHolder(TMutex* mutex, std::uint32_t claimResult) : m_mutex(mutex), m_claimResult(claimResult) {}
    ~CMutexHolder() { Release(); }
    CMutexHolder(CMutexHolder&& other) noexcept
        : m_mutex(std::exchange(other.m_mutex, nullptr)), m_claimResult(other.m_claimResult)
    {
    }
    CMutexHolder& operator=(CMutexHolder&& other) noexcept
    {
        if (this != &other) {
            Release();
            m_mutex = std::exchange(other.m_mutex, nullptr);
            m_claimResult = other.m_claimResult;
        }
        return *this;
    }
    CMutexHolder(const CMutexHolder&) = delete;
    CMutexHolder& operator=(const CMutexHolder&) = delete;

    // Releases a held lock once. False when nothing was held or the release failed.
    bool Release()
    {
        TMutex* mutex = std::exchange(m_mutex, nullptr);
        if (!mutex)
            return false;
        if constexpr (requires { mutex->Release(); }) {
            if constexpr (requires { { mutex->Release() } -> std::same_as<void>; }) {
                mutex->Release();
                return true;
            } else {
                return static_cast<bool>(mutex->Release());
            }
        } else {
            mutex->Unlock();
            return true;
        }
    }

    TMutex* Get() const { return m_mutex; }
    bool IsHeld() const { return m_mutex != nullptr; }
    std::uint32_t GetClaimResult() const { return m_claimResult; }

private:
    TMutex* m_mutex = nullptr;
    std::uint32_t m_claimResult = 0;
};
