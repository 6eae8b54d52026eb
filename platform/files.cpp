#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

bool IsUnlinked(int handle)
{
    struct stat status {};
    return fstat(handle, &status) == 0 && status.st_nlink == 0;
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

int CreateTempFile(const std::string& directory, std::string_view prefix, std::string* path)
{
    std::string name = directory;
    if (name.empty() || name.back() != '/')
        name += '/';
    name.append(prefix);
    name += "XXXXXX.tmp";
    int handle;
    do
        handle = ::mkostemps(name.data(), 4, O_CLOEXEC);
    while (handle < 0 && errno == EINTR);
    if (handle >= 0 && path)
        *path = std::move(name);
    return handle;
}

} // namespace platform

namespace platform {

namespace {

constexpr std::size_t kReplacementSuffixLength = 6;

std::string FolderOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Six letters and digits for a replacement name; a clash is simply tried again.
std::string RandomSuffix()
{
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::minstd_rand generator(std::random_device{}());
    std::string suffix(kReplacementSuffixLength, 'A');
    for (char& c : suffix)
        c = kDigits[generator() % (sizeof kDigits - 1)];
    return suffix;
}

} // namespace

bool IsReplacementName(std::string_view name)
{
    return name.size() == kReplacementPrefix.size() + kReplacementSuffixLength && name.starts_with(kReplacementPrefix);
}

ReplacementFile::~ReplacementFile()
{
    if (m_handle >= 0)
        close(m_handle);
    if (!m_name.empty())
        unlink(m_name.c_str());
}

bool ReplacementFile::Create(const std::string& target)
{
    m_target = target;
    const std::string folder = FolderOf(target);
    struct stat info {};
    mode_t mode = stat(target.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    m_handle = OpenFile(folder.c_str(), O_TMPFILE | O_WRONLY, mode);
    if (m_handle >= 0) {
        m_unnamed = true;
        // The mode given to open is filtered by the umask; the target's is kept.
        fchmod(m_handle, mode);
        return true;
    }
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return false;
    std::string pattern = folder + "/" + std::string(kReplacementPrefix) + std::string(kReplacementSuffixLength, 'X');
    m_handle = mkostemp(pattern.data(), O_CLOEXEC);
    if (m_handle < 0)
        return false;
    m_name = pattern;
    fchmod(m_handle, mode);
    return true;
}

bool ReplacementFile::Commit()
{
    if (m_handle < 0 || fsync(m_handle) != 0)
        return false;
    if (m_unnamed) {
        // Linked under a replacement name, then renamed over the target: a
        // link cannot replace an existing file.
        const std::string folder = FolderOf(m_target);
        const std::string source = "/proc/self/fd/" + std::to_string(m_handle);
        for (int attempt = 0; attempt < 16 && m_name.empty(); ++attempt) {
            std::string pattern = folder + "/" + std::string(kReplacementPrefix) + RandomSuffix();
            if (linkat(AT_FDCWD, source.c_str(), AT_FDCWD, pattern.c_str(), AT_SYMLINK_FOLLOW) == 0)
                m_name = pattern;
            else if (errno != EEXIST)
                return false;
        }
        if (m_name.empty())
            return false;
    }
    int handle = m_handle;
    m_handle = -1;
    if (close(handle) != 0 || rename(m_name.c_str(), m_target.c_str()) != 0)
        return false;
    m_name.clear();
    return true;
}

int RemoveReplacementFiles(const std::string& folder)
{
    int removed = 0;
    std::error_code error;
    std::filesystem::recursive_directory_iterator it(folder, std::filesystem::directory_options::skip_permission_denied,
                                                     error);
    for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        if (it->is_regular_file(ignored) && !it->is_symlink(ignored) &&
            IsReplacementName(it->path().filename().string()) && std::filesystem::remove(it->path(), ignored))
            ++removed;
    }
    return removed;
}

} // namespace platform
