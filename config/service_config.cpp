#include "config/service_config.h"

#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"
#include "framework/server_log.h"
#include "framework/thread_data.h"
#include "platform/ascii.h"
#include "platform/eventlog.h"
#include "platform/logon.h"
#include "security/key_text.h"
#include "security/rsa_exception.h"

#include <cstdio>

namespace {

// A warning with one text insert, as the server log's table has it.
constexpr std::uint32_t kEventConfigWarning = 0x80004000;

// Into the server log when there is one (the service's event log, the
// application's file), else a line on standard error.
void LogToStderr(const std::string& message)
{
    if (IsServerLogOpen() || IsUsingEventLog()) {
        LogMessage(platform::kEventTypeWarning, kEventConfigWarning, {message});
        return;
    }
    std::fprintf(stderr, "%s\n", message.c_str());
}

std::atomic<ServiceConfigLogFunction> g_logger{&LogToStderr};
std::atomic<bool> g_fibersAvailable{false};

void Log(const std::string& message)
{
    if (ServiceConfigLogFunction logger = g_logger.load())
        logger(message);
}

// A value that is missing, or not a 4-byte REG_DWORD, keeps what the member
// held; only a missing one goes without a word (RegQueryDword says the
// other). False when the value is there but cannot be read.
bool ReadNumber(const platform::RegistryKey& key, const char* name, std::uint32_t& member)
{
    return RegQueryDword(key, name, member) != platform::kErrorUnsupportedType;
}

void ReadString(const platform::RegistryKey& key, const char* name, std::string& member)
{
    RegQueryString(key, name, member);
}

// A text the decoder rejects keeps the block of the earlier load, so a bad
// edit does not make every later connection reload and fail.
void DecodeInto(const std::string& text, CByteBlock& block, const char* valueName, const platform::RegistryKey& key)
{
    CByteBlock decoded;
    try {
        DecodeKeyText(text.c_str(), &decoded);
    } catch (const CRSAException& error) {
        std::string path;
        key.QueryPath(path);
        Log("The key text " + std::string(valueName) + " of " + path + " cannot be decoded (" + error.what()
            + "); the previous one stays in use.");
        return;
    }
    block = std::move(decoded);
}

} // namespace

std::string ConfigKeyName(const platform::RegistryKey& key)
{
    std::string path;
    key.QueryPath(path);
    const std::string product = std::string("HKEY_LOCAL_MACHINE\\") + kProductKeyPath + "\\";
    if (path.size() > product.size() && platform::EqualsIgnoringCase(std::string_view(path).substr(0, product.size()), product))
        path.erase(0, product.size());
    return path;
}

// A value of the wrong type (Port as the text "eighty") is someone's
// mistake, and is said rather than dropped.
void ReportUnreadableValue(const platform::RegistryKey& key, std::string_view valueName)
{
    Log("The value " + std::string(valueName) + " of " + ConfigKeyName(key) +
        " is not a REG_DWORD number; it is not used.");
}

void SetServiceConfigLogger(ServiceConfigLogFunction logger)
{
    g_logger.store(logger ? logger : &LogToStderr);
}

void SetFibersAvailable(bool available)
{
    g_fibersAvailable.store(available);
}

namespace {

std::shared_ptr<const CServiceSettings> DefaultSettings()
{
    auto settings = std::make_shared<CServiceSettings>();
    settings->useFibers = g_fibersAvailable.load() ? 1 : 0;
    return settings;
}

} // namespace

CServiceConfig::CServiceConfig() : m_settings(DefaultSettings()), m_strings(CreateMacroScope()), m_heap(GetThreadHeap())
{
}

CServiceConfig::CServiceConfig(const CServiceConfig& other) : m_settings(other.m_settings), m_heap(GetThreadHeap())
{
    CopyFrom(other);
}

CServiceConfig& CServiceConfig::operator=(const CServiceConfig& other)
{
    if (this != &other)
        CopyFrom(other);
    return *this;
}

CServiceConfig::~CServiceConfig() = default;

// The copy shares the other's snapshot (it is immutable), copies the lists and
// strings, holds a second handle on the other's key and starts without an
// anonymous token: tokens are not shared, its server logs on at start.
void CServiceConfig::CopyFrom(const CServiceConfig& other)
{
    SetSettings(other.GetSettings());
    m_accessList = other.m_accessList;
    if (other.m_strings) {
        if (!m_strings)
            m_strings = CreateMacroScope();
        if (m_strings)
            m_strings->CopyStringsFrom(*other.m_strings);
    } else {
        m_strings.reset();
    }
    m_users = other.m_users;
    m_groups = other.m_groups;
    {
        std::lock_guard<std::mutex> hold(m_tokenMutex);
        m_anonymousToken.reset();
    }
    m_key = RegDuplicateKey(other.m_key);
    m_heap = GetThreadHeap();
    m_loadTick.store(other.m_loadTick.load());
}

int CServiceConfig::Open(const platform::RegistryKey& root, std::string_view subkey, int keepStrings)
{
    platform::RegistryKey key;
    if (root.Create(subkey, key) != platform::kErrorSuccess)
        return 0;
    m_key = std::move(key);
    Load(keepStrings, 0);
    return 1;
}

std::shared_ptr<const CServiceSettings> CServiceConfig::GetSettings() const { return m_settings.Get(); }

void CServiceConfig::SetSettings(std::shared_ptr<const CServiceSettings> settings) { m_settings.Set(std::move(settings)); }

platform::LogonTokenPtr CServiceConfig::GetAnonymousToken() const
{
    std::lock_guard<std::mutex> hold(m_tokenMutex);
    return m_anonymousToken;
}

void CServiceConfig::Load(int keepStrings, int reload)
{
    // Taken before the load, so a change made while it runs is not swallowed.
    std::uint64_t tick = GlobalLastModStamp().LoadTick();
    CHeapSwitch heap(m_heap);
    auto next = std::make_shared<CServiceSettings>(*GetSettings());
    const platform::RegistryKey& key = m_key;
    {
        // One committed state of the hive for the values.
        platform::RegistrySnapshot snapshot;
        if (!reload) {
            // A listening port nobody chose must not stand in for one that
            // cannot be read: the server is kept from starting instead.
            next->portUnreadable = !ReadNumber(key, "Port", next->port);
            ReadNumber(key, "Address", next->address);
            ReadNumber(key, "Enabled", next->enabled);
            ReadNumber(key, "MaxUsers", next->maxUsers);
            next->sslPortUnreadable = !ReadNumber(key, "SSLPort", next->sslPort);
            ReadNumber(key, "UseSSL", next->useSSL);
            ReadNumber(key, "SSLOnly", next->sslOnly);
            ReadNumber(key, "UseFibers", next->useFibers);
            ReadNumber(key, "Listeners", next->listeners);
        }
        ReadNumber(key, "UseDNS", next->useDNS);
        ReadNumber(key, "ConnTimeout", next->connTimeout);
        ReadNumber(key, "HeaderTimeout", next->headerTimeout);
        ReadString(key, "LogFile", next->logFile);
        ReadNumber(key, "UseNTAuthentication", next->useNTAuthentication);
        ReadString(key, "NTDomain", next->ntDomain);
        ReadString(key, "NTAnonUser", next->ntAnonUser);
        ReadString(key, "NTAnonPassword", next->ntAnonPassword);
        ReadString(key, "PrivKey", next->privKey);
        ReadString(key, "PubKey", next->pubKey);
        ReadString(key, "CertReq", next->certReq);
        ReadString(key, "SignedCert", next->signedCert);
        ReadString(key, "Administrator", next->administrator);
        if (!reload)
            ReadString(key, "InitMacro", next->initMacro);
    }
    DecodeInto(next->signedCert, next->certificate, "SignedCert", key);
    DecodeInto(next->privKey, next->privateKey, "PrivKey", key);
    SetSettings(std::move(next));

    m_accessList.Load(key, "ACL");
    // LoadFromKey leaves the map without a key, and unchanged, when the
    // subkey cannot be created; it stamps the map's own load.
    m_users.LoadFromKey(key, "Users");
    m_groups.LoadFromKey(key, "Groups");
    if (!reload && m_strings)
        m_strings->LoadFromRegistry(key, "Strings", keepStrings);
    m_loadTick.store(tick);
}

int CServiceConfig::Save(const platform::RegistryKey& key)
{
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    platform::RegistryTransaction transaction;
    key.SetDword("Port", s->port);
    RegSetString(key, "LogFile", s->logFile);
    key.SetDword("Address", s->address);
    key.SetDword("Enabled", s->enabled);
    key.SetDword("UseDNS", s->useDNS);
    key.SetDword("MaxUsers", s->maxUsers);
    key.SetDword("ConnTimeout", s->connTimeout);
    key.SetDword("HeaderTimeout", s->headerTimeout);
    key.SetDword("UseFibers", s->useFibers);
    // Saved with the rest: SaveToKey deletes every value first, and a
    // listener count set in the registry must survive a save.
    key.SetDword("Listeners", s->listeners);
    key.SetDword("UseNTAuthentication", s->useNTAuthentication);
    RegSetString(key, "NTDomain", s->ntDomain);
    RegSetString(key, "NTAnonUser", s->ntAnonUser);
    RegSetString(key, "NTAnonPassword", s->ntAnonPassword);
    RegSetString(key, "PrivKey", s->privKey);
    RegSetString(key, "PubKey", s->pubKey);
    RegSetString(key, "CertReq", s->certReq);
    RegSetString(key, "SignedCert", s->signedCert);
    key.SetDword("UseSSL", s->useSSL);
    key.SetDword("SSLOnly", s->sslOnly);
    key.SetDword("SSLPort", s->sslPort);
    RegSetString(key, "Administrator", s->administrator);
    RegSetString(key, "InitMacro", s->initMacro);
    m_accessList.Save(key, "ACL");
    m_users.Save(key, "Users");
    m_groups.Save(key, "Groups");
    if (m_strings)
        m_strings->SaveToRegistry(key, "Strings");
    return transaction.Commit() == platform::kErrorSuccess ? 1 : 0;
}

int CServiceConfig::SaveToKey(const platform::RegistryKey& root, std::string_view subkey)
{
    // Every failure is answered: a caller that saves several areas must
    // not report success for one that was never written.
    platform::RegistryTransaction transaction;
    if (int status = transaction.Status())
        return status;
    platform::RegistryKey key;
    if (int status = root.Create(subkey, key); status != platform::kErrorSuccess)
        return status;
    if (!RegDeleteAllValues(key) || !Save(key))
        return platform::kErrorRegistryIoFailed;
    key.Close();
    return transaction.Commit();
}

void CServiceConfig::RefreshIfChanged()
{
    CLastModStamp& stamp = GlobalLastModStamp();
    if (m_loadTick.load() >= stamp.GetChangeTick())
        return;
    CEventLockHolder hold(m_lock);
    // A connection that waited while another reloaded finds the work done.
    if (m_loadTick.load() >= stamp.GetChangeTick())
        return;
    CHeapSwitch heap(m_heap);
    Load(1, 1);
    LogonAnonymousUser();
}

void CServiceConfig::LogonAnonymousUser()
{
    {
        std::lock_guard<std::mutex> hold(m_tokenMutex);
        m_anonymousToken.reset();
    }
    std::shared_ptr<const CServiceSettings> s = GetSettings();
    if (!s->useNTAuthentication || s->ntAnonUser.empty())
        return;
    platform::LogonTokenPtr token;
    if (platform::LogonUserOnly(s->ntAnonUser.c_str(), s->ntDomain.c_str(), s->ntAnonPassword.c_str(), &token) != 0)
        token.reset();
    std::lock_guard<std::mutex> hold(m_tokenMutex);
    m_anonymousToken = std::move(token);
}

int CServiceConfig::NeedsRestart(const CServiceConfig& other) const
{
    std::shared_ptr<const CServiceSettings> a = GetSettings();
    std::shared_ptr<const CServiceSettings> b = other.GetSettings();
    return a->port != b->port || a->sslPort != b->sslPort || a->address != b->address || a->useSSL != b->useSSL
            || a->sslOnly != b->sslOnly || a->maxUsers != b->maxUsers || a->useFibers != b->useFibers
            || a->listeners != b->listeners
        ? 1
        : 0;
}
