#pragma once
// CServiceConfig: what every server has in common, read from one registry
// key per server and written back to it: ports and address, limits, the log
// file, the anonymous logon, the SSL key texts, the server's own access list,
// users, groups and named strings, and the init macro.
//
// Reloads run while other connections read the values, so the values live in
// an immutable snapshot (CServiceSettings): a load builds a new one and
// swaps the pointer under a small mutex; a reader takes a copy of the
// pointer (GetSettings) and keeps a consistent view for as long as it holds
// it, however many reloads happen meanwhile.
//
// The named strings are a CMacroScope made by the factory the macro library
// installs (config/macro_scope.h). Without a factory the configuration has no
// Strings scope: GetStrings() is null and everything else still loads and
// saves.

#include "config/group_map.h"
#include "config/reg_access_list.h"
#include "config/user_map.h"
#include "framework/event_lock.h"
#include "framework/snapshot.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "security/byte_block.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {
class Heap;
}

struct CServiceSettings {
    std::string logFile;
    std::uint32_t port = 80;
    std::uint32_t address = 0; // IPv4, network byte order; 0 = all
    std::uint32_t enabled = 1;
    std::uint32_t useDNS = 0;
    std::uint32_t maxUsers = 0; // 0 = no limit
    std::uint32_t connTimeout = 300;
    // Seconds for a whole request head, however slowly it trickles in; 0: none.
    std::uint32_t headerTimeout = 20;
    std::uint32_t useFibers = 0;
    std::uint32_t listeners = 8;
    std::string initMacro;
    std::uint32_t useNTAuthentication = 0;
    std::string ntDomain;
    std::string ntAnonUser;
    std::string ntAnonPassword;
    std::uint32_t useSSL = 0;
    std::uint32_t sslOnly = 0;
    std::uint32_t sslPort = 443;
    std::string privKey;
    std::string pubKey;
    std::string certReq;
    std::string signedCert;
    std::string administrator;
    CByteBlock privateKey;  // decoded privKey
    CByteBlock certificate; // decoded signedCert
    // Port or SSLPort was there but not a number: the server does not start
    // (never stored).
    bool portUnreadable = false;
    bool sslPortUnreadable = false;
};

// Where configuration events go: by default the server log once it is open,
// else a line on stderr. Tests install their own.
using ServiceConfigLogFunction = void (*)(const std::string& message);
void SetServiceConfigLogger(ServiceConfigLogFunction logger);

// The process's fibers-available flag, which new configurations take as the
// UseFibers default; 0 until engine start sets it.
void SetFibersAvailable(bool available);

class CServiceConfig {
public:
    CServiceConfig();
    CServiceConfig(const CServiceConfig& other);
    CServiceConfig& operator=(const CServiceConfig& other);
    virtual ~CServiceConfig();

    // Creates or opens root\subkey, keeps it and runs the first Load; 0 when
    // the key cannot be created or opened (nothing is loaded then).
    int Open(const platform::RegistryKey& root, std::string_view subkey, int keepStrings);

    // reload 0 is the first load: only it reads the values that need a
    // restart (see NeedsRestart), Enabled, InitMacro and the named strings.
    virtual void Load(int keepStrings, int reload);
    // Writes every value and list to key (not to the held key); returns 1,
    // or 0 when the registry refused a write.
    virtual int Save(const platform::RegistryKey& key);
    // 1 when a value that only a restart applies differs.
    virtual int NeedsRestart(const CServiceConfig& other) const;

    // Creates or opens root\subkey, deletes its values and saves into it as
    // one transaction. Returns 0 (kErrorSuccess), or the registry error that
    // stopped it; nothing of the save stays then.
    int SaveToKey(const platform::RegistryKey& root, std::string_view subkey);
    // Reloads (Load(1, 1)) when the change stamp reports a change after the
    // last load, then logs the anonymous user on again.
    void RefreshIfChanged();
    // Drops the token held; logs NTAnonUser on when NT authentication is on
    // and the name is not empty. A failure leaves no token; nothing is reported.
    void LogonAnonymousUser();

    std::shared_ptr<const CServiceSettings> GetSettings() const;
    platform::LogonTokenPtr GetAnonymousToken() const;
    const platform::RegistryKey& GetKey() const { return m_key; }
    CRegAccessList& GetAccessList() { return m_accessList; }
    CUserMap& GetUsers() { return m_users; }
    CGroupMap& GetGroups() { return m_groups; }
    CMacroScope* GetStrings() const { return m_strings.get(); }
    CEventLock& GetLock() { return m_lock; }
    std::uint64_t GetLoadTick() const { return m_loadTick.load(); }

protected:
    // Publishes settings as the current snapshot.
    void SetSettings(std::shared_ptr<const CServiceSettings> settings);

private:
    void CopyFrom(const CServiceConfig& other);

    CSnapshot<CServiceSettings> m_settings;
    CRegAccessList m_accessList;
    std::unique_ptr<CMacroScope> m_strings;
    CUserMap m_users;
    CGroupMap m_groups;
    mutable std::mutex m_tokenMutex; // guards the pointer only
    platform::LogonTokenPtr m_anonymousToken;
    platform::RegistryKey m_key;
    std::atomic<std::uint64_t> m_loadTick{0};
    platform::Heap* m_heap;
    CEventLock m_lock;
};
