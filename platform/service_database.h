#pragma once
// The service database: one registry key a service under
// HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services, holding
//   Type (REG_DWORD), Start (REG_DWORD), ErrorControl (REG_DWORD),
//   ImagePath (REG_EXPAND_SZ), DisplayName (REG_SZ),
//   DependOnService (REG_MULTI_SZ, only when there are dependencies),
//   ObjectName (REG_SZ, the account; "LocalSystem").
// Service names compare without case, as registry key names do.
//
// Also here: the argument vector of an image path and the systemd unit of a
// service, for hosts where systemd runs.

#include "platform/service_status.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kServicesKeyPath = "System\\CurrentControlSet\\Services";

// One entry of the database.
struct ServiceConfig {
    std::string name;         // as stored (the key's own case)
    std::string displayName;
    // A command line: the program and its arguments, split by SplitCommandLine.
    std::string imagePath;
    std::uint32_t serviceType = kServiceWin32OwnProcess;
    std::uint32_t startType = kServiceDemandStart;
    std::uint32_t errorControl = kServiceErrorNormal;
    std::vector<std::string> dependencies;
    std::string account = "LocalSystem";
};

class ServiceDatabase {
public:
    // Adds an entry. kErrorServiceExists when a service of that name (any
    // case) is there; kErrorInvalidName for a bad name; kErrorInvalidParameter
    // for an empty image path, one holding a line break, or a start type
    // other than auto, demand or disabled. An empty display name stores the name.
    static int Create(std::string_view name, std::string_view displayName, std::string_view imagePath,
                      std::uint32_t startType = kServiceDemandStart,
                      const std::vector<std::string>& dependencies = {});
    // Removes the entry (a running service goes on running until it stops;
    // a stopped one's run-time files go too). kErrorServiceDoesNotExist when missing.
    static int Delete(std::string_view name);
    // Reads the entry. kErrorServiceDoesNotExist when missing.
    static int QueryConfig(std::string_view name, ServiceConfig& config);
    static bool Exists(std::string_view name);
    // The names of every entry, in the registry's subkey order.
    static std::vector<std::string> List();
};

// Splits a command line with the Windows rules: blanks and tabs separate
// arguments; "..." groups; 2n backslashes before a quote give n backslashes
// and the quote is special, 2n+1 give n and a literal quote; other
// backslashes are literal; "" inside a quoted part is a literal quote.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);
// The reverse: quotes what needs quoting so SplitCommandLine gives arguments back.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

// True when systemd manages this host (it has /run/systemd/system).
bool SystemdIsRunning();
// Where units are installed: /etc/systemd/system for root, else
// $XDG_CONFIG_HOME/systemd/user (default ~/.config/systemd/user).
std::string SystemdUnitDirectory();
// The unit text for a service: a notify-type unit running the image path,
// stopped by SIGTERM, enabled for multi-user start when it starts automatically.
// Texts are made safe for the unit format (no line of ours can be split or
// extended by a name; '%' and '$' are escaped).
std::string SystemdUnitText(const ServiceConfig& config);
// Writes <directory>/<lower-case name>.service through a temporary file and
// rename. kServiceOk or a Win32 number; *unitPath (optional) gets the path.
int WriteSystemdUnit(const ServiceConfig& config, const std::string& directory, std::string* unitPath = nullptr);

} // namespace platform
