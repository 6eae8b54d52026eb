#include "platform/process_temp.h"

#include "platform/files.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* kLockName = ".lock";
// Folders still being made carry this prefix until they are locked.
constexpr std::string_view kStagingPrefix = ".new-";

void CloseLock(int& handle)
{
    if (handle >= 0)
        ::close(handle);
    handle = -1;
}

// Opens and locks folder's lock file without waiting: the handle, or -1
// with errno (EWOULDBLOCK: a live process holds it; ENOENT: no lock file).
int TryLockFolder(const std::string& folder, bool create)
{
    int handle = OpenFile(JoinPath(folder, kLockName).c_str(), O_RDWR | (create ? O_CREAT : 0), 0600);
    if (handle < 0)
        return -1;
    int result;
    do {
        result = ::flock(handle, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        int error = errno;
        ::close(handle);
        errno = error;
        return -1;
    }
    return handle;
}

// The root takes copies and is swept only when it is a real folder of
// ours: through a link, or in a folder others write, the sweep would delete
// what other programs keep. 0, or why not.
int CheckRoot(const std::string& root)
{
    struct stat status;
    if (::lstat(root.c_str(), &status) != 0)
        return errno;
    if (S_ISLNK(status.st_mode))
        return ELOOP;
    if (!S_ISDIR(status.st_mode))
        return ENOTDIR;
    return status.st_uid == ::geteuid() ? 0 : EPERM;
}

// Names as Create and ProcessTempDirectory give them: a process id, or a
// folder still being made. Anything else someone else put there.
bool IsOwnName(const std::string& name)
{
    if (name.starts_with(kStagingPrefix))
        return name.size() == kStagingPrefix.size() + 6;
    return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// Removes folder when no live process holds it. A folder without a lock
// file is a dead one's, unless it is still being made.
bool RemoveIfDead(const std::string& folder, bool staging)
{
    int lock = TryLockFolder(folder, false);
    if (lock < 0 && (errno != ENOENT || staging))
        return false;
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    CloseLock(lock);
    return !error;
}

} // namespace

std::string ProcessTempRoot()
{
    return JoinPath(StateDirectory(), "tmp");
}

int ProcessTempFolder::Create(const std::string& root, const std::string& name)
{
    Remove();
    if (int error = CreateDirectories(root, 0700); error != 0)
        return error;
    if (int error = CheckRoot(root); error != 0)
        return error;
    std::string staging = JoinPath(root, std::string(kStagingPrefix) + "XXXXXX");
    if (::mkdtemp(staging.data()) == nullptr)
        return errno;
    int lock = TryLockFolder(staging, true);
    if (lock < 0) {
        int error = errno;
        std::error_code ignored;
        std::filesystem::remove_all(staging, ignored);
        return error;
    }
    std::string path = JoinPath(root, name);
    int result = ::rename(staging.c_str(), path.c_str());
    // A folder of this name left by a dead process (a pid used again
    // after a restart) gives way once.
    if (result != 0 && (errno == EEXIST || errno == ENOTEMPTY)) {
        if (!RemoveIfDead(path, false)) {
            errno = EBUSY;
        } else {
            result = ::rename(staging.c_str(), path.c_str());
        }
    }
    if (result != 0) {
        int error = errno;
        std::error_code ignored;
        std::filesystem::remove_all(staging, ignored);
        ::close(lock);
        return error;
    }
    m_path = std::move(path);
    m_lock = lock;
    return 0;
}

void ProcessTempFolder::Remove()
{
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    Abandon();
}

void ProcessTempFolder::Abandon()
{
    CloseLock(m_lock);
    m_path.clear();
}

namespace {

struct OwnFolder {
    std::mutex mutex;
    ProcessTempFolder folder;
    pid_t owner = 0;
    std::string root;
};

OwnFolder& Own()
{
    static OwnFolder own;
    return own;
}

} // namespace

std::string ProcessTempDirectory()
{
    OwnFolder& own = Own();
    std::lock_guard lock(own.mutex);
    std::string root = ProcessTempRoot();
    pid_t pid = ::getpid();
    if (own.owner != pid || own.root != root || own.folder.Path().empty()) {
        // A forked child shares its parent's lock: the folder stays the parent's.
        if (own.owner != pid)
            own.folder.Abandon();
        else
            own.folder.Remove();
        own.owner = 0;
        if (int error = own.folder.Create(root, std::to_string(pid)); error != 0) {
            errno = error;
            return std::string();
        }
        own.owner = pid;
        own.root = root;
    }
    return own.folder.Path();
}

void ReleaseProcessTempDirectory()
{
    OwnFolder& own = Own();
    std::lock_guard lock(own.mutex);
    if (own.owner == ::getpid())
        own.folder.Remove();
    else
        own.folder.Abandon();
    own.owner = 0;
}

int SweepProcessTempFolders(const std::string& root)
{
    if (int refused = CheckRoot(root); refused != 0 && refused != ENOENT) {
        errno = refused;
        return -1;
    }
    int removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::error_code typeError;
        if (!it->is_directory(typeError) || it->is_symlink(typeError))
            continue;
        std::string name = it->path().filename().string();
        if (IsOwnName(name) && RemoveIfDead(it->path().string(), name.rfind(kStagingPrefix, 0) == 0))
            ++removed;
    }
    return removed;
}

} // namespace platform
