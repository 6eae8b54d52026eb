#include "platform/service_status.h"

#include "platform/ascii.h"
#include "platform/files.h"
#include "platform/paths.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// A record is a few short lines; anything longer is not one of ours.
constexpr std::size_t kMaxStatusRecordBytes = 1024;
constexpr const char* kStatusRecordTag = "velmora-service-status 1";

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}

std::string RuntimeFileName(std::string_view name, const char* suffix)
{
    if (ValidateServiceName(name) != kServiceOk)
        return {};
    std::string file;
    file.reserve(name.size() + 8);
    for (char c : name)
        file.push_back(LowerAscii(c));
    file += suffix;
    return JoinPath(ServiceRunDirectory(), file);
}

bool ParseField(std::string_view line, std::string_view key, std::int64_t low, std::int64_t high, std::int64_t& value)
{
    if (line.size() <= key.size() + 1 || line.substr(0, key.size()) != key || line[key.size()] != ' ')
        return false;
    std::string_view digits = line.substr(key.size() + 1);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return error == std::errc() && end == digits.data() + digits.size() && value >= low && value <= high;
}

} // namespace

const char* ServiceStateName(std::uint32_t state)
{
    switch (state) {
    case kServiceStopped: return "STOPPED";
    case kServiceStartPending: return "START_PENDING";
    case kServiceStopPending: return "STOP_PENDING";
    case kServiceRunning: return "RUNNING";
    case kServiceContinuePending: return "CONTINUE_PENDING";
    case kServicePausePending: return "PAUSE_PENDING";
    case kServicePaused: return "PAUSED";
    }
    return "UNKNOWN";
}

int ValidateServiceName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxServiceNameLength || name == "." || name == "..")
        return kErrorInvalidName;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        // '\' would nest registry keys and '/' would leave the run directory.
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\')
            return kErrorInvalidName;
    }
    return kServiceOk;
}

std::string ServiceRunDirectory()
{
    std::string dir = Env("VELMORA_RUN_DIR");
    if (!dir.empty())
        return dir;
    if (::geteuid() == 0)
        return "/run/velmora";
    std::string runtime = Env("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return JoinPath(runtime, "velmora");
    return JoinPath(StateDirectory(), "run");
}

std::string ServiceLockPath(std::string_view name) { return RuntimeFileName(name, ".lock"); }
std::string ServiceStatusPath(std::string_view name) { return RuntimeFileName(name, ".status"); }
std::string ServiceSocketPath(std::string_view name) { return RuntimeFileName(name, ".ctl"); }

int ReadServiceStatusRecord(std::string_view name, ServiceStatus& status)
{
    std::string path = ServiceStatusPath(name);
    if (path.empty())
        return kErrorInvalidName;
    int fd = platform::OpenFile(path.c_str(), O_RDONLY);
    if (fd < 0)
        return ServiceErrorFromErrno(errno);
    std::string text(kMaxStatusRecordBytes + 1, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        ssize_t n = ::read(fd, text.data() + filled, text.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (filled > kMaxStatusRecordBytes)
        return kErrorInvalidData;
    text.resize(filled);

    struct Field {
        const char* key;
        std::int64_t low, high;
        std::int64_t value;
    } fields[] = {
        {"type", 0, UINT32_MAX, 0},     {"state", 1, 7, 0},           {"controls", 0, UINT32_MAX, 0},
        {"exit", 0, UINT32_MAX, 0},     {"specific", 0, UINT32_MAX, 0}, {"checkpoint", 0, UINT32_MAX, 0},
        {"waithint", 0, UINT32_MAX, 0}, {"pid", 0, INT32_MAX, 0},
    };
    std::string_view rest(text);
    auto nextLine = [&rest](std::string_view& line) {
        std::size_t end = rest.find('\n');
        if (end == std::string_view::npos)
            return false;
        line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        return true;
    };
    std::string_view line;
    if (!nextLine(line) || line != kStatusRecordTag)
        return kErrorInvalidData;
    for (Field& field : fields)
        if (!nextLine(line) || !ParseField(line, field.key, field.low, field.high, field.value))
            return kErrorInvalidData;
    if (!rest.empty())
        return kErrorInvalidData;
    status.serviceType = static_cast<std::uint32_t>(fields[0].value);
    status.currentState = static_cast<std::uint32_t>(fields[1].value);
    status.controlsAccepted = static_cast<std::uint32_t>(fields[2].value);
    status.win32ExitCode = static_cast<std::uint32_t>(fields[3].value);
    status.serviceSpecificExitCode = static_cast<std::uint32_t>(fields[4].value);
    status.checkPoint = static_cast<std::uint32_t>(fields[5].value);
    status.waitHint = static_cast<std::uint32_t>(fields[6].value);
    status.processId = static_cast<std::int32_t>(fields[7].value);
    return kServiceOk;
}

int WriteServiceStatusRecord(std::string_view name, const ServiceStatus& status)
{
    std::string path = ServiceStatusPath(name);
    if (path.empty())
        return kErrorInvalidName;
    std::string text = std::string(kStatusRecordTag) + "\n";
    text += "type " + std::to_string(status.serviceType) + "\n";
    text += "state " + std::to_string(status.currentState) + "\n";
    text += "controls " + std::to_string(status.controlsAccepted) + "\n";
    text += "exit " + std::to_string(status.win32ExitCode) + "\n";
    text += "specific " + std::to_string(status.serviceSpecificExitCode) + "\n";
    text += "checkpoint " + std::to_string(status.checkPoint) + "\n";
    text += "waithint " + std::to_string(status.waitHint) + "\n";
    text += "pid " + std::to_string(status.processId) + "\n";

    // One temporary name per process: the run-time lock admits one writer
    // process, and the reporter serialises its threads.
    std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    int fd = platform::OpenFile(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return ServiceErrorFromErrno(errno);
    // Any process may read the record, whatever the umask.
    ::fchmod(fd, 0644);
    bool written = platform::WriteAll(fd, text);
    int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        return ServiceErrorFromErrno(writeError);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return ServiceErrorFromErrno(error);
    }
    return kServiceOk;
}

bool IsServiceProcessRunning(std::string_view name)
{
    std::string path = ServiceLockPath(name);
    if (path.empty())
        return false;
    int fd = platform::OpenFile(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct flock query {};
    query.l_type = F_RDLCK;
    query.l_whence = SEEK_SET;
    // Asking (not taking) never makes a starting service fail its own lock.
    bool held = ::fcntl(fd, F_OFD_GETLK, &query) == 0 && query.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

int ServiceErrorFromErrno(int error)
{
    switch (error) {
    case 0: return kServiceOk;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOMEM: return kErrorNotEnoughMemory;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ENOEXEC:
    case ELIBBAD: return kErrorBadExeFormat;
    case ETIMEDOUT: return kErrorServiceRequestTimeout;
    case EINVAL: return kErrorInvalidParameter;
    }
    return kErrorGenFailure;
}

} // namespace platform
