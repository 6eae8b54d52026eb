#pragma once
// Copies a process makes for its own use live in a folder of its own under
// the state directory, <state>/tmp/<pid>, and not in the shared TEMP: a
// crash there would leave whole documents behind for good (on a tmpfs, in
// memory). The process holds a lock on a file inside its folder; the kernel
// drops it however the process ends, so a start can tell a dead process's
// folder from a live one's and remove it.

#include <string>

namespace platform {

// <state directory>/tmp: where the processes' folders are.
std::string ProcessTempRoot();

// This process's folder under ProcessTempRoot(), made and locked on first
// use (again after a fork, or when the state directory moved). "" with
// errno kept when it cannot be made.
std::string ProcessTempDirectory();
// Removes this process's folder and lets its lock go, once nothing uses
// the copies in it (the servers are stopped); the next use makes it again.
void ReleaseProcessTempDirectory();

// One locked folder root/name. It appears under its name already locked,
// so a sweep never takes a folder being made for a dead one.
class ProcessTempFolder {
public:
    ProcessTempFolder() = default;
    ProcessTempFolder(const ProcessTempFolder&) = delete;
    ProcessTempFolder& operator=(const ProcessTempFolder&) = delete;
    ~ProcessTempFolder() { Remove(); }

    // Makes the folder (root too, mode 0700), replacing a dead process's
    // folder of that name. 0, or the errno of what failed (EBUSY when a
    // live process holds the name; ELOOP, ENOTDIR or EPERM when root is a
    // link, not a folder, or another user's).
    int Create(const std::string& root, const std::string& name);
    const std::string& Path() const { return m_path; }
    // Removes the folder with everything in it and lets the lock go.
    void Remove();
    // Lets the lock go and forgets the folder without removing it: a
    // forked child's copy of its parent's folder.
    void Abandon();

private:
    std::string m_path;
    int m_lock = -1;
};

// Removes every folder under root named as a process's folder whose process
// is gone (nobody holds its lock); the folders of live processes, and
// anything named otherwise, stay. Returns how many went, or -1 with errno
// (ELOOP, ENOTDIR, EPERM) when root is a link, not a folder, or another
// user's: nothing under it is touched.
int SweepProcessTempFolders(const std::string& root);

} // namespace platform
