#pragma once
// InstanceLock: a whole-file write lock that marks one running instance of
// a program. The kernel drops it when the holder dies however it dies, so a
// lock file left behind by a crash (or kill -9) never blocks the next start.

#include <string>

namespace platform {

class InstanceLock {
public:
    InstanceLock() = default;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock() { Release(); }

    // Creates path's directory and the file (mode 0600) as needed and takes
    // the lock without waiting. 0 when taken; kErrorAlreadyHeld when another
    // process holds it; else the errno of what failed.
    int TryAcquire(const std::string& path);
    bool Held() const { return m_fd >= 0; }
    void Release();

    static constexpr int kErrorAlreadyHeld = -1;

private:
    int m_fd = -1;
};

// Where a program keeps the run-time files of one user session: the
// services' run directory (platform/service_status.h).
std::string SessionRunDirectory();

} // namespace platform
