#pragma once
// CHTTPGlobalConfig: everything under the HTTP key of the product key: the
// HTTP servers (Servers\<port>:<address>, one CHTTPServerConfig each) and
// the lists all HTTP servers share: Users, Guests (the shared groups),
// Strings, Paths, Redirections, Icons, CGIExt, Mappings, and InitMacro.
//
// A load and a save each run as one registry transaction. A save is seen by
// other processes whole or not at all, so a server reloading meanwhile never
// finds an emptied ACL key or list; a load sees one committed state, and the
// server keys it opens are never ones a concurrent save just deleted.
//
// The object is a working copy for one thread (the start-up or the settings
// pages): its maps are locked inside those transactions, which is safe only
// while no other thread looks them up; running servers use copies.

#include "config/cgi_mapping.h"
#include "config/config_lists.h"
#include "config/group_map.h"
#include "config/macro_scope.h"
#include "config/string_maps.h"
#include "config/user_map.h"
#include "config/virtual_path.h"

#include <memory>
#include <string>
#include <string_view>

class CHTTPGlobalConfig {
public:
    CHTTPGlobalConfig();
    ~CHTTPGlobalConfig();
    CHTTPGlobalConfig(const CHTTPGlobalConfig&) = delete;
    CHTTPGlobalConfig& operator=(const CHTTPGlobalConfig&) = delete;

    // Opens root\subkey (not created; 0 when it does not open), then: the
    // servers (each opened with withDefaults as its keepStrings), Users,
    // Guests, the default HTTP strings when withDefaults is non-zero, the
    // Strings key over what the scope holds, Paths, Redirections, Icons,
    // CGIExt, Mappings, InitMacro. Returns 1.
    int Load(const platform::RegistryKey& root, std::string_view subkey, int withDefaults);
    // Creates or opens root\subkey (0 when it cannot), saves the servers and
    // every list and InitMacro. Returns 1 when the transaction committed.
    int Save(const platform::RegistryKey& root, std::string_view subkey);

    // Replaces the list by the servers under key\subkey (not created), in
    // the registry's order; a server key that does not open is skipped.
    // 0 when key\subkey does not open (the list is then empty).
    int LoadServers(const platform::RegistryKey& key, std::string_view subkey, int keepStrings);
    // Rewrites key\subkey as one transaction: its values, the legacy
    // numbered subkeys "0", "1", ... and every subkey that names no server
    // of the list deleted with their subtrees; each server saved to its
    // <port>:<address> key (two of one name: the later one wins). False when
    // key\subkey cannot be created or the transaction did not commit.
    bool SaveServers(const platform::RegistryKey& key, std::string_view subkey);

    CHTTPServerConfigList& GetServers() { return m_servers; }
    CUserMap& GetUsers() { return m_users; }
    CGroupMap& GetGuests() { return m_guests; }
    // Null when no macro library is installed (config/macro_scope.h).
    CMacroScope* GetStrings() const { return m_strings.get(); }
    CVirtualPathMap& GetPaths() { return m_paths; }
    CRedirectionMap& GetRedirections() { return m_redirections; }
    CCGIMappingMap& GetCGIExt() { return m_cgiExt; }
    CIconMap& GetIcons() { return m_icons; }
    CMIMETypeMap& GetMappings() { return m_mappings; }
    const std::string& GetInitMacro() const { return m_initMacro; }
    void SetInitMacro(std::string_view text) { m_initMacro = text; }

private:
    // Members in this order, so they are destroyed InitMacro first and the
    // server list last.
    CHTTPServerConfigList m_servers;
    CUserMap m_users;
    CGroupMap m_guests;
    std::unique_ptr<CMacroScope> m_strings;
    CVirtualPathMap m_paths;
    CRedirectionMap m_redirections;
    CCGIMappingMap m_cgiExt;
    CIconMap m_icons;
    CMIMETypeMap m_mappings;
    std::string m_initMacro;
};
