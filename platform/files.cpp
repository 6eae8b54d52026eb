#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

int OpenForAppend(const std::string& path, bool denyWriters)
{
    int handle;
    do
        handle = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    while (handle < 0 && errno == EINTR);
    if (handle < 0 || !denyWriters)
        return handle;
    if (flock(handle, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        close(handle);
        errno = error;
        return -1;
    }
    return handle;
}

int OpenFile(const char* path, int flags, unsigned mode)
{
    int handle;
    do
        handle = open(path, flags | O_CLOEXEC, static_cast<mode_t>(mode));
    while (handle < 0 && errno == EINTR);
    return handle;
}

bool WriteAll(int handle, const char* bytes, std::size_t n)
{
    while (n > 0) {
        ssize_t put = write(handle, bytes, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace platform
