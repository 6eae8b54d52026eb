#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}

std::string HomeDirectory()
{
    std::string home = Env("HOME");
    if (!home.empty())
        return home;
    if (passwd* pw = getpwuid(getuid()))
        if (pw->pw_dir)
            return pw->pw_dir;
    return "/tmp";
}

} // namespace

std::string JoinPath(const std::string& left, const std::string& right)
{
    if (left.empty())
        return right;
    if (right.empty())
        return left;
    bool leftSlash = left.back() == '/';
    bool rightSlash = right.front() == '/';
    if (leftSlash && rightSlash)
        return left + right.substr(1);
    if (leftSlash || rightSlash)
        return left + right;
    return left + "/" + right;
}

std::string StateDirectory()
{
    std::string home = Env("VELMORA_HOME");
    if (!home.empty())
        return home;
    return DefaultStateDirectory();
}

std::string DefaultStateDirectory()
{
    if (geteuid() == 0)
        return "/var/lib/velmora";
    std::string state = Env("XDG_STATE_HOME");
    if (state.empty())
        state = JoinPath(HomeDirectory(), ".local/state");
    return JoinPath(state, "velmora");
}

std::string LogDirectory()
{
    return JoinPath(StateDirectory(), "log");
}

std::string TempDirectory()
{
    std::string temp = Env("TEMP");
    if (temp.empty())
        temp = Env("TMPDIR");
    if (temp.empty())
        temp = "/tmp";
    return temp;
}

int CreateDirectories(const std::string& path, unsigned mode)
{
    if (path.empty())
        return ENOENT;
    std::string partial;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        partial = path.substr(0, next);
        if (!partial.empty()) {
            if (mkdir(partial.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
                return errno;
        }
        pos = next + 1;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

} // namespace platform
