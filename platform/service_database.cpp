#include "platform/service_database.h"

#include "platform/ascii.h"
#include "platform/paths.h"
#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool HasLineBreakOrNul(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool HasControlCharacter(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return true;
    return false;
}

int OpenServicesKey(RegistryKey& key, bool create)
{
    const RegistryKey& root = RegistryKey::LocalMachine();
    return create ? root.Create(kServicesKeyPath, key) : root.Open(kServicesKeyPath, key);
}

// Registry "not found" means no such service for every caller here.
int NotFoundIsMissingService(int code)
{
    return code == kErrorFileNotFound ? kErrorServiceDoesNotExist : code;
}

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : std::string();
}

// A unit file name: the name folded to lower case with every byte outside
// [a-z0-9:_.-] (and a leading '.') written as \xNN, as systemd escapes names.
std::string UnitFileName(std::string_view name)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = LowerAscii(name[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == ':' || c == '_' || c == '-' ||
                     (c == '.' && i > 0);
        if (plain) {
            out.push_back(c);
        } else {
            auto byte = static_cast<unsigned char>(c);
            out += "\\x";
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 15]);
        }
    }
    return out + ".service";
}

// Specifiers and variables are expanded in unit texts; ours are literal.
std::string EscapeUnitText(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += "%%";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            out.push_back(' ');
        else
            out.push_back(c);
    }
    return out;
}

std::string QuoteExecArgument(std::string_view argument)
{
    std::string out = "\"";
    for (char c : argument) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '%': out += "%%"; break;
        case '$': out += "$$"; break;
        default: out.push_back(c);
        }
    }
    return out + "\"";
}

int WriteFileReplacing(const std::string& path, const std::string& text)
{
    std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return ServiceErrorFromErrno(errno);
    ::fchmod(fd, 0644);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    ::close(fd);
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return ServiceErrorFromErrno(error);
    }
    return kServiceOk;
}

} // namespace

int ServiceDatabase::Create(std::string_view name, std::string_view displayName, std::string_view imagePath,
                            std::uint32_t startType, const std::vector<std::string>& dependencies)
{
    if (int code = ValidateServiceName(name); code != kServiceOk)
        return code;
    if (imagePath.empty() || HasLineBreakOrNul(imagePath) || HasLineBreakOrNul(displayName))
        return kErrorInvalidParameter;
    if (startType != kServiceAutoStart && startType != kServiceDemandStart && startType != kServiceDisabled)
        return kErrorInvalidParameter;
    for (const std::string& dependency : dependencies)
        if (ValidateServiceName(dependency) != kServiceOk)
            return kErrorInvalidParameter;

    // The test for an existing entry and the writes are one transaction, so
    // two installers at once give one entry and one kErrorServiceExists.
    RegistryTransaction transaction;
    if (transaction.Status() != kErrorSuccess)
        return transaction.Status();
    RegistryKey services;
    if (int code = OpenServicesKey(services, true); code != kErrorSuccess)
        return code;
    RegistryKey entry;
    if (services.Open(name, entry) == kErrorSuccess)
        return kErrorServiceExists;
    if (int code = services.Create(name, entry); code != kErrorSuccess)
        return code;
    std::string shown(displayName.empty() ? name : displayName);
    int code = entry.SetDword("Type", kServiceWin32OwnProcess);
    if (code == kErrorSuccess)
        code = entry.SetDword("Start", startType);
    if (code == kErrorSuccess)
        code = entry.SetDword("ErrorControl", kServiceErrorNormal);
    if (code == kErrorSuccess)
        code = entry.SetString("ImagePath", imagePath, kRegExpandSz);
    if (code == kErrorSuccess)
        code = entry.SetString("DisplayName", shown);
    if (code == kErrorSuccess && !dependencies.empty())
        code = entry.SetMultiString("DependOnService", dependencies);
    if (code == kErrorSuccess)
        code = entry.SetString("ObjectName", "LocalSystem");
    if (code != kErrorSuccess)
        return code;
    return transaction.Commit();
}

int ServiceDatabase::Delete(std::string_view name)
{
    if (int code = ValidateServiceName(name); code != kServiceOk)
        return code;
    RegistryKey services;
    if (int code = OpenServicesKey(services, false); code != kErrorSuccess)
        return NotFoundIsMissingService(code);
    if (int code = services.DeleteTree(name); code != kErrorSuccess)
        return NotFoundIsMissingService(code);
    // A running service keeps its files until it stops; a stopped one's
    // leftovers would otherwise outlive the entry.
    if (!IsServiceProcessRunning(name)) {
        ::unlink(ServiceStatusPath(name).c_str());
        ::unlink(ServiceSocketPath(name).c_str());
        ::unlink(ServiceLockPath(name).c_str());
    }
    return kServiceOk;
}

int ServiceDatabase::QueryConfig(std::string_view name, ServiceConfig& config)
{
    if (int code = ValidateServiceName(name); code != kServiceOk)
        return code;
    RegistrySnapshot snapshot;
    RegistryKey services;
    if (int code = OpenServicesKey(services, false); code != kErrorSuccess)
        return NotFoundIsMissingService(code);
    RegistryKey entry;
    if (int code = services.Open(name, entry); code != kErrorSuccess)
        return NotFoundIsMissingService(code);

    ServiceConfig result;
    std::string path;
    if (entry.QueryPath(path) == kErrorSuccess)
        result.name = path.substr(path.rfind('\\') + 1);
    else
        result.name = std::string(name);
    entry.QueryString("DisplayName", result.displayName);
    entry.QueryString("ImagePath", result.imagePath);
    entry.QueryDword("Type", result.serviceType);
    entry.QueryDword("Start", result.startType);
    entry.QueryDword("ErrorControl", result.errorControl);
    entry.QueryString("ObjectName", result.account);
    RegistryValue dependencies;
    if (entry.QueryValue("DependOnService", dependencies) == kErrorSuccess) {
        std::string item;
        for (std::uint8_t byte : dependencies.data) {
            if (byte != 0) {
                item.push_back(static_cast<char>(byte));
            } else if (!item.empty()) {
                result.dependencies.push_back(item);
                item.clear();
            }
        }
        if (!item.empty())
            result.dependencies.push_back(item);
    }
    config = std::move(result);
    return kServiceOk;
}

bool ServiceDatabase::Exists(std::string_view name)
{
    if (ValidateServiceName(name) != kServiceOk)
        return false;
    RegistryKey services, entry;
    return OpenServicesKey(services, false) == kErrorSuccess && services.Open(name, entry) == kErrorSuccess;
}

std::vector<std::string> ServiceDatabase::List()
{
    std::vector<std::string> names;
    RegistrySnapshot snapshot;
    RegistryKey services;
    if (OpenServicesKey(services, false) != kErrorSuccess)
        return names;
    std::string name;
    for (std::uint32_t index = 0; services.EnumKey(index, name) == kErrorSuccess; ++index)
        names.push_back(name);
    return names;
}

std::vector<std::string> SplitCommandLine(std::string_view line)
{
    std::vector<std::string> arguments;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (true) {
        while (i < n && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= n)
            break;
        std::string argument;
        bool quoted = false;
        while (i < n) {
            char c = line[i];
            if ((c == ' ' || c == '\t') && !quoted)
                break;
            if (c == '\\') {
                std::size_t run = 0;
                while (i + run < n && line[i + run] == '\\')
                    ++run;
                if (i + run < n && line[i + run] == '"') {
                    argument.append(run / 2, '\\');
                    if (run % 2 == 1) {
                        argument.push_back('"');
                        i += run + 1;
                    } else {
                        i += run;
                    }
                } else {
                    argument.append(run, '\\');
                    i += run;
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    argument.push_back('"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            argument.push_back(c);
            ++i;
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::string JoinCommandLine(const std::vector<std::string>& arguments)
{
    std::string line;
    for (const std::string& argument : arguments) {
        if (!line.empty())
            line.push_back(' ');
        if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line.push_back('"');
        std::size_t backslashes = 0;
        for (char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            // Backslashes are doubled only where a quote follows them.
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line.push_back(c);
        }
        line.append(backslashes * 2, '\\');
        line.push_back('"');
    }
    return line;
}

bool SystemdIsRunning()
{
    struct stat info {};
    return ::lstat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

std::string SystemdUnitDirectory()
{
    if (::geteuid() == 0)
        return "/etc/systemd/system";
    std::string config = Env("XDG_CONFIG_HOME");
    if (config.empty())
        config = JoinPath(Env("HOME").empty() ? std::string("/tmp") : Env("HOME"), ".config");
    return JoinPath(config, "systemd/user");
}

std::string SystemdUnitText(const ServiceConfig& config)
{
    std::string exec;
    for (const std::string& argument : SplitCommandLine(config.imagePath)) {
        if (!exec.empty())
            exec.push_back(' ');
        exec += QuoteExecArgument(argument);
    }
    std::string text = "[Unit]\n";
    text += "Description=" + EscapeUnitText(config.displayName.empty() ? config.name : config.displayName) + "\n";
    text += "After=network-online.target\nWants=network-online.target\n\n";
    text += "[Service]\n";
    // The dispatcher says READY=1 once the service reports running.
    text += "Type=notify\nNotifyAccess=main\n";
    text += "ExecStart=" + exec + "\n";
    text += "KillSignal=SIGTERM\n";
    // A stop may take the service's own 60-second watchdog and a little more.
    text += "TimeoutStopSec=75\n";
    if (config.startType == kServiceAutoStart) {
        text += "\n[Install]\n";
        text += ::geteuid() == 0 ? "WantedBy=multi-user.target\n" : "WantedBy=default.target\n";
    }
    return text;
}

int WriteSystemdUnit(const ServiceConfig& config, const std::string& directory, std::string* unitPath)
{
    if (int code = ValidateServiceName(config.name); code != kServiceOk)
        return code;
    // A line break in the command would start a directive of its own.
    if (HasControlCharacter(config.imagePath) || SplitCommandLine(config.imagePath).empty())
        return kErrorInvalidParameter;
    if (int error = CreateDirectories(directory, 0755); error != 0)
        return ServiceErrorFromErrno(error);
    std::string path = JoinPath(directory, UnitFileName(config.name));
    if (int code = WriteFileReplacing(path, SystemdUnitText(config)); code != kServiceOk)
        return code;
    if (unitPath)
        *unitPath = path;
    return kServiceOk;
}

} // namespace platform
