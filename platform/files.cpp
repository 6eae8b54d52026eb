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

} // namespace platform
