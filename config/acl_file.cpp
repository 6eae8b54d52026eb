#include "config/acl_file.h"

#include "platform/files.h"

// No platform facility yet covers whole-file replacement and extended
// attributes, so the few calls it takes are made here.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr const char* kWhiteSpace = " \t\r\n\v\f";
// Read size of one read(2); lines are assembled across reads.
constexpr std::size_t kReadChunk = 4096;

long ReadRetrying(int fd, void* buffer, std::size_t n)
{
    long got;
    do
        got = ::read(fd, buffer, n);
    while (got < 0 && errno == EINTR);
    return got;
}

// Takes one raw line (without its LF): trims it and keeps it unless it is a comment.
void AddLine(std::vector<std::string>& lines, std::string_view raw)
{
    std::size_t begin = raw.find_first_not_of(kWhiteSpace);
    if (begin == std::string_view::npos)
        return;
    std::size_t end = raw.find_last_not_of(kWhiteSpace);
    std::string_view line = raw.substr(begin, end - begin + 1);
    if (line[0] == '/' || line[0] == ';')
        return;
    lines.emplace_back(line);
}

std::string DirectoryOf(const std::string& file)
{
    std::size_t slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return file.substr(0, slash);
}

void SyncDirectory(const std::string& directory)
{
    int fd = platform::OpenFile(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

void MarkHidden(int fd)
{
    char text[16] = {};
    long got = ::fgetxattr(fd, kAttributesXattrName, text, sizeof text - 1);
    unsigned bits = got > 0 ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0;
    bits |= kFileAttributeHidden;
    int n = std::snprintf(text, sizeof text, "%u", bits);
    // A file system without user attributes (tmpfs on old kernels, some
    // network mounts) simply keeps the file unmarked.
    (void)::fsetxattr(fd, kAttributesXattrName, text, static_cast<std::size_t>(n), 0);
}

} // namespace

ACLFileContents ReadACLFile(const std::string& file)
{
    ACLFileContents result;
    int fd = platform::OpenFile(file.c_str(), O_RDONLY);
    if (fd < 0) {
        result.status = errno == ENOENT || errno == ENOTDIR ? ACLFileStatus::Missing : ACLFileStatus::Unreadable;
        return result;
    }
    result.status = ACLFileStatus::Read;
    std::string pending;
    std::size_t total = 0;
    char buffer[kReadChunk];
    for (;;) {
        long got = ReadRetrying(fd, buffer, sizeof buffer);
        if (got < 0) {
            result.status = ACLFileStatus::Unreadable;
            break;
        }
        if (got == 0) {
            if (!pending.empty())
                AddLine(result.lines, pending);
            break;
        }
        total += static_cast<std::size_t>(got);
        std::string_view chunk(buffer, static_cast<std::size_t>(got));
        bool tooLong = false;
        for (std::size_t lf; (lf = chunk.find('\n')) != std::string_view::npos;) {
            pending.append(chunk.substr(0, lf));
            if (pending.size() > kMaxACLLineBytes) {
                tooLong = true;
                break;
            }
            AddLine(result.lines, pending);
            pending.clear();
            chunk.remove_prefix(lf + 1);
        }
        if (!tooLong) {
            pending.append(chunk);
            tooLong = pending.size() > kMaxACLLineBytes;
        }
        if (tooLong || total > kMaxACLFileBytes) {
            result.status = ACLFileStatus::Unreadable;
            break;
        }
    }
    ::close(fd);
    return result;
}

bool WriteACLFile(const std::string& file, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    // The temporary name keeps the .~ACL~ extension, so directory listings
    // leave it out while it exists.
    std::string directory = DirectoryOf(file);
    std::string temp = directory + "/.~tmpXXXXXX.~ACL~";
    int fd = ::mkstemps(temp.data(), 6);
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    struct stat old {};
    mode_t mode = ::stat(file.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && platform::WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    if (ok)
        MarkHidden(fd);
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0)
        ok = false;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(directory);
    return true;
}

bool DeleteACLFile(const std::string& file)
{
    return ::unlink(file.c_str()) == 0 || errno == ENOENT;
}

bool PathExists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

unsigned ReadExtraAttributes(const std::string& file)
{
    char text[16] = {};
    long got = ::getxattr(file.c_str(), kAttributesXattrName, text, sizeof text - 1);
    return got > 0 ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 0;
}
