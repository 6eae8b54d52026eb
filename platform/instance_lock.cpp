#include "platform/instance_lock.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/service_status.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

int InstanceLock::TryAcquire(const std::string& path)
{
    Release();
    std::string directory = path.substr(0, path.find_last_of('/'));
    if (!directory.empty() && directory != path) {
        if (int error = CreateDirectories(directory, 0700); error != 0)
            return error;
    }
    int fd = OpenFile(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0)
        return errno;
    // An open-file-description lock belongs to this descriptor, not to the
    // process's other uses of the file, and dies with the last close.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        int error = errno;
        ::close(fd);
        return error == EAGAIN || error == EACCES ? kErrorAlreadyHeld : error;
    }
    m_fd = fd;
    return 0;
}

void InstanceLock::Release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::string SessionRunDirectory() { return ServiceRunDirectory(); }

} // namespace platform
