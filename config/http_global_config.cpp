#include "config/http_global_config.h"

#include "config/http_server_config.h"
#include "config/registry_helpers.h"
#include "framework/text_util.h"
#include "resources/string_table.h"

#include <set>
#include <vector>

namespace {

constexpr const char* kServersSubkey = "Servers";
constexpr const char* kUsersSubkey = "Users";
constexpr const char* kGuestsSubkey = "Guests";
constexpr const char* kStringsSubkey = "Strings";
constexpr const char* kPathsSubkey = "Paths";
constexpr const char* kRedirectionsSubkey = "Redirections";
constexpr const char* kIconsSubkey = "Icons";
constexpr const char* kCGIExtSubkey = "CGIExt";
constexpr const char* kMappingsSubkey = "Mappings";
constexpr const char* kInitMacroValue = "InitMacro";

// Older layouts numbered the server keys; they are dropped from "0" up to
// the first number that is missing.
void DeleteLegacyServerKeys(const platform::RegistryKey& servers)
{
    for (int number = 0;; ++number) {
        if (!RegDeleteKeyTree(servers, std::to_string(number)))
            return;
    }
}

} // namespace

CHTTPGlobalConfig::CHTTPGlobalConfig() : m_strings(CreateMacroScope()) {}

CHTTPGlobalConfig::~CHTTPGlobalConfig() = default;

int CHTTPGlobalConfig::Load(const platform::RegistryKey& root, std::string_view subkey, int withDefaults)
{
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (root.Open(subkey, key) != platform::kErrorSuccess)
        return 0;
    LoadServers(key, kServersSubkey, withDefaults);
    m_users.LoadFromKey(key, kUsersSubkey);
    m_guests.LoadFromKey(key, kGuestsSubkey);
    if (m_strings) {
        if (withDefaults)
            m_strings->LoadDefaultStrings(kHttpDefaultStrings, 0);
        m_strings->LoadFromRegistry(key, kStringsSubkey, 1);
    }
    m_paths.LoadFromKey(key, kPathsSubkey);
    m_redirections.LoadFromKey(key, kRedirectionsSubkey);
    m_icons.LoadFromKey(key, kIconsSubkey);
    m_cgiExt.LoadFromKey(key, kCGIExtSubkey);
    m_mappings.LoadFromKey(key, kMappingsSubkey);
    RegQueryString(key, kInitMacroValue, m_initMacro);
    transaction.Commit();
    return 1;
}

int CHTTPGlobalConfig::LoadServers(const platform::RegistryKey& key, std::string_view subkey, int keepStrings)
{
    m_servers.RemoveAll();
    // Joins the caller's transaction, or makes the enumeration and the
    // opens one state of their own. It commits on every path: a joined part
    // left uncommitted would roll the caller's whole load back.
    platform::RegistryTransaction transaction;
    platform::RegistryKey servers;
    if (key.Open(subkey, servers) != platform::kErrorSuccess) {
        transaction.Commit();
        return 0;
    }
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t index = 0; servers.EnumKey(index, name) == platform::kErrorSuccess; ++index)
        names.push_back(name);
    for (const std::string& serverName : names) {
        CHTTPServerConfig server;
        if (server.Open(servers, serverName, keepStrings))
            m_servers.AddTail(server);
    }
    transaction.Commit();
    return 1;
}

int CHTTPGlobalConfig::Save(const platform::RegistryKey& root, std::string_view subkey)
{
    platform::RegistryTransaction transaction;
    platform::RegistryKey key;
    if (root.Create(subkey, key) != platform::kErrorSuccess)
        return 0;
    if (!SaveServers(key, kServersSubkey))
        return 0;
    m_users.Save(key, kUsersSubkey);
    m_guests.Save(key, kGuestsSubkey);
    if (m_strings)
        m_strings->SaveToRegistry(key, kStringsSubkey);
    m_paths.Save(key, kPathsSubkey);
    m_redirections.Save(key, kRedirectionsSubkey);
    m_icons.Save(key, kIconsSubkey);
    m_cgiExt.Save(key, kCGIExtSubkey);
    m_mappings.Save(key, kMappingsSubkey);
    RegSetString(key, kInitMacroValue, m_initMacro);
    key.Close();
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}

bool CHTTPGlobalConfig::SaveServers(const platform::RegistryKey& key, std::string_view subkey)
{
    platform::RegistryTransaction transaction;
    platform::RegistryKey servers;
    if (key.Create(subkey, servers) != platform::kErrorSuccess)
        return false;
    RegDeleteAllValues(servers);
    DeleteLegacyServerKeys(servers);
    std::set<std::string> kept;
    for (const CHTTPServerConfig& server : m_servers)
        kept.insert(LowerCaseString(server.GetKeyName()));
    DeleteStaleSubkeys(servers, kept);
    for (CHTTPServerConfig& server : m_servers)
        if (server.SaveToKey(servers, server.GetKeyName()) != platform::kErrorSuccess)
            return false;
    servers.Close();
    return transaction.Commit() == platform::kErrorSuccess;
}
