#include "framework/server_stats.h"

#include "framework/server.h"
#include "framework/server_log.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/registry.h"
#include "platform/sha256.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>

namespace {

using Wait = platform::NamedMutex::WaitResult;

// Seconds since 1970 as the blocks store them: a DWORD.
std::uint32_t NowSeconds()
{
    return static_cast<std::uint32_t>(platform::UnixTimeSeconds());
}

// The mutex, released on every exit path only when it was obtained.
class CStatsLock {
public:
    CStatsLock(const CStatsBlock& block, std::uint32_t milliseconds)
        : m_block(block), m_held(block.LockMutex(milliseconds))
    {
    }
    ~CStatsLock()
    {
        if (m_held)
            m_block.UnlockMutex();
    }
    bool Held() const { return m_held; }
    CStatsLock(const CStatsLock&) = delete;
    CStatsLock& operator=(const CStatsLock&) = delete;

private:
    const CStatsBlock& m_block;
    bool m_held;
};

void LogStatsWarning(const std::string& text)
{
    LogMessage(platform::kEventTypeWarning, kEventWarningText, {text});
}

// Setting a block up waits kCreateWaitMs for its mutex, then goes on without
// it: the counters are atomic words whatever the mutex gives.
void WarnUnclaimed(const CStatsLock& lock, const CStatsBlock& block)
{
    if (!lock.Held() && !block.MutexName().empty())
        LogStatsWarning("Timeout waiting to claim " + block.MutexName() + "; the block is set up without it.");
}

class CGlobalStatsBlock : public CStatsBlock {
public:
    bool Create()
    {
        Close();
        if (!Open(StatsBlockName(), StatsMutexName()))
            return false;
        CStatsLock lock(*this, kCreateWaitMs);
        WarnUnclaimed(lock, *this);
        Store(stats_offset::kVersion, kStatsVersion);
        Store(stats_offset::kStartTime, NowSeconds());
        for (std::size_t offset : {stats_offset::kNumClients, stats_offset::kHits, stats_offset::kBytesSent,
                                   stats_offset::kBytesReceived, stats_offset::kSecureHits,
                                   stats_offset::kSecureBytesSent, stats_offset::kSecureBytesReceived})
            Store(offset, 0);
        return true;
    }
};

CGlobalStatsBlock g_globalStats;

// Where one connection's hit and bytes go in a block.
struct ConnectionFields {
    std::size_t hits, sent, received, secureHits, secureSent, secureReceived;
};

constexpr ConnectionFields kServerFields{server_stat_offset::kNumHits,        server_stat_offset::kBytesSent,
                                         server_stat_offset::kBytesReceived,  server_stat_offset::kSecureNumHits,
                                         server_stat_offset::kSecureBytesSent, server_stat_offset::kSecureBytesReceived};
constexpr ConnectionFields kGlobalFields{stats_offset::kHits,           stats_offset::kBytesSent,
                                         stats_offset::kBytesReceived,  stats_offset::kSecureHits,
                                         stats_offset::kSecureBytesSent, stats_offset::kSecureBytesReceived};

void AddConnectionTo(CStatsBlock& block, const ConnectionFields& fields, bool secure, std::uint32_t sent,
                     std::uint32_t received)
{
    if (!block.IsMapped())
        return;
    CStatsLock lock(block, CServerStats::kConnectionWaitMs);
    block.Add(fields.hits, 1);
    block.Add(fields.sent, sent);
    block.Add(fields.received, received);
    if (secure) {
        block.Add(fields.secureHits, 1);
        block.Add(fields.secureSent, sent);
        block.Add(fields.secureReceived, received);
    }
}

// The hive's absolute path, symbolic links resolved where they can be, so
// two spellings of one hive give one instance.
std::string AbsoluteHivePath(const std::string& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? std::filesystem::path(path).lexically_normal().string() : absolute.string();
}

// The folder of this instance's names; empty for the default service.
std::string InstanceFolder()
{
    const std::string hive = AbsoluteHivePath(platform::RegistryPath());
    if (hive == AbsoluteHivePath(platform::DefaultRegistryPath()))
        return {};
    // Half a SHA-256: nobody can choose a second hive path that meets
    // another's names and so share (or spoil) its blocks.
    const auto digest = platform::Sha256(hive);
    std::string folder = "Tessa/";
    for (std::size_t i = 0; i < digest.size() / 2; ++i) {
        char text[3];
        std::snprintf(text, sizeof text, "%02x", digest[i]);
        folder += text;
    }
    return folder + "/";
}

// A count that went to 0 (cleared by a new block, or never raised) stays at
// 0 rather than wrapping to four thousand million users.
void DecrementToZero(CStatsBlock& block, std::size_t offset)
{
    std::uint32_t now = block.Read(offset);
    while (now != 0 && !block.CompareExchange(offset, now, now - 1)) {
    }
}

} // namespace

std::string StatsBlockName()
{
    const std::string folder = InstanceFolder();
    return folder.empty() ? kStatsName : folder + "VLInfo";
}

std::string StatsMutexName()
{
    const std::string folder = InstanceFolder();
    return folder.empty() ? kStatsMutexName : folder + "VLInfoMutex";
}

std::uint32_t* CStatsBlock::Word(std::size_t offset) const
{
    if (!m_memory.IsOpen() || offset % sizeof(std::uint32_t) != 0 || offset >= m_memory.Size()
        || m_memory.Size() - offset < sizeof(std::uint32_t))
        return nullptr;
    return reinterpret_cast<std::uint32_t*>(static_cast<char*>(m_memory.Data()) + offset);
}

std::uint32_t CStatsBlock::Read(std::size_t offset) const
{
    std::uint32_t* word = Word(offset);
    return word ? std::atomic_ref<std::uint32_t>(*word).load() : 0;
}

void CStatsBlock::Add(std::size_t offset, std::uint32_t delta)
{
    if (std::uint32_t* word = Word(offset))
        std::atomic_ref<std::uint32_t>(*word).fetch_add(delta);
}

void CStatsBlock::Subtract(std::size_t offset, std::uint32_t delta)
{
    if (std::uint32_t* word = Word(offset))
        std::atomic_ref<std::uint32_t>(*word).fetch_sub(delta);
}

bool CStatsBlock::CompareExchange(std::size_t offset, std::uint32_t& expected, std::uint32_t desired)
{
    std::uint32_t* word = Word(offset);
    if (!word) {
        expected = 0;
        return false;
    }
    return std::atomic_ref<std::uint32_t>(*word).compare_exchange_weak(expected, desired);
}

void CStatsBlock::Store(std::size_t offset, std::uint32_t value)
{
    if (std::uint32_t* word = Word(offset))
        std::atomic_ref<std::uint32_t>(*word).store(value);
}

std::string CStatsBlock::ReadText(std::size_t offset, std::size_t maxBytes) const
{
    if (!m_memory.IsOpen() || offset >= m_memory.Size())
        return {};
    const char* text = static_cast<const char*>(m_memory.Data()) + offset;
    const std::size_t limit = std::min(maxBytes, m_memory.Size() - offset);
    const void* end = std::memchr(text, 0, limit);
    return std::string(text, end ? static_cast<const char*>(end) - text : limit);
}

void CStatsBlock::WriteText(std::size_t offset, std::size_t bytes, std::string_view text)
{
    if (!m_memory.IsOpen() || bytes == 0 || offset >= m_memory.Size() || m_memory.Size() - offset < bytes)
        return;
    char* field = static_cast<char*>(m_memory.Data()) + offset;
    const std::size_t n = std::min(text.size(), bytes - 1);
    if (n > 0) // an empty view may carry a null pointer
        std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, bytes - n);
}

bool CStatsBlock::LockMutex(std::uint32_t milliseconds) const
{
    if (!m_mutex.IsOpen())
        return false;
    Wait result = m_mutex.Wait(milliseconds);
    return result == Wait::acquired || result == Wait::abandoned;
}

void CStatsBlock::UnlockMutex() const
{
    m_mutex.Release();
}

void CStatsBlock::Close()
{
    m_mutex.Close();
    m_memory.Close();
}

namespace {

// The name is there but is not ours to use: a link, a folder, another
// user's object that may not be removed, or one made again as often as it
// is removed. (A folder and a name too long both give EINVAL: only the
// first is there.)
bool NameIsTaken(std::string_view name, int error)
{
    if (error == EEXIST || error == ELOOP || error == EISDIR || error == EACCES || error == EPERM ||
        error == ENOTDIR)
        return true;
    struct stat status;
    const std::string path = std::string(platform::kSharedMemoryFolder) + platform::SharedMemoryName(name);
    return ::lstat(path.c_str(), &status) == 0;
}

} // namespace

bool CStatsBlock::Open(std::string_view name, std::string_view mutexName)
{
    Close();
    if (!m_memory.Create(name, kStatsBlockBytes)) {
        const int error = errno;
        // Whoever holds the name must not take the counters with it: no
        // program opens the block by name, so one nobody else can open
        // serves the servers as well.
        if (NameIsTaken(name, error) && m_memory.CreateUnnamed(kStatsBlockBytes)) {
            // The gist first: a long name may cut the line at the log's limit.
            LogStatsWarning("Statistics kept private: block " + platform::SharedMemoryName(name)
                            + " cannot be made: " + std::strerror(error) + ".");
            return true;
        }
        LogStatsWarning("Statistics block " + platform::SharedMemoryName(name) + " cannot be made: "
                        + std::strerror(error) + ".");
        return false;
    }
    m_mutex.Create(mutexName);
    for (const auto* made : {&m_memory.Refused(), &m_mutex.Refused()}) {
        if (!made->empty())
            LogStatsWarning("Made " + (made == &m_memory.Refused() ? m_memory.Name() : m_mutex.Name())
                            + " afresh: the one found was " + *made + ".");
    }
    return true;
}

int RemoveStatsBlocksLeftBehind()
{
    // The block's name begins every name of the instance: its mutex and
    // the servers' blocks and mutexes.
    return platform::RemoveUnusedSharedMemory(StatsBlockName());
}

bool CreateGlobalStatsBlock()
{
    return g_globalStats.Create();
}

void DestroyGlobalStatsBlock()
{
    g_globalStats.Close();
}

CStatsBlock& GlobalStats()
{
    return g_globalStats;
}

long GetGlobalClientCount()
{
    if (!g_globalStats.IsMapped())
        return -1;
    return static_cast<long>(g_globalStats.Read(stats_offset::kNumClients));
}

void SetGlobalServerCount(std::uint32_t count)
{
    g_globalStats.Store(stats_offset::kNumServers, count);
}

bool CServerStats::Create(unsigned index, std::uint32_t type, std::uint32_t port, std::uint32_t sslPort,
                          std::uint32_t address)
{
    const std::string suffix = std::to_string(index);
    if (!Open(StatsBlockName() + suffix, StatsMutexName() + suffix))
        return false;
    namespace at = server_stat_offset;
    CStatsLock lock(*this, kCreateWaitMs);
    WarnUnclaimed(lock, *this);
    Store(at::kVersion, kStatsVersion);
    Store(at::kType, type);
    Store(at::kPort, port);
    Store(at::kSSLPort, sslPort);
    Store(at::kAddress, address);
    Store(at::kStatTime, NowSeconds());
    // A name left behind by a process that died keeps its old words; clear
    // everything this server's figures could be mistaken for.
    WriteText(at::kDescription, at::kDescriptionBytes, {});
    for (std::size_t offset : {at::kNumClients, at::kNumHits, at::kBytesSent, at::kBytesReceived, at::kSecureNumHits,
                               at::kSecureBytesSent, at::kSecureBytesReceived, at::kCGIHits, at::kWinCGIHits,
                               at::kISAPIHits, at::kKAVHits})
        Store(offset, 0);
    return true;
}

void CServerStats::SetDescription(std::string_view text)
{
    if (!IsMapped())
        return;
    CStatsLock lock(*this, kDescriptionWaitMs);
    WriteText(server_stat_offset::kDescription, server_stat_offset::kDescriptionBytes, text);
}

void CServerStats::AddClient()
{
    Add(server_stat_offset::kNumClients, 1);
    GlobalStats().Add(stats_offset::kNumClients, 1);
}

void CServerStats::RemoveClient()
{
    DecrementToZero(*this, server_stat_offset::kNumClients);
    DecrementToZero(GlobalStats(), stats_offset::kNumClients);
}

void CServerStats::AddConnection(bool secure, std::uint64_t bytesSent, std::uint64_t bytesReceived)
{
    const auto sent = static_cast<std::uint32_t>(bytesSent);
    const auto received = static_cast<std::uint32_t>(bytesReceived);
    AddConnectionTo(*this, kServerFields, secure, sent, received);
    AddConnectionTo(GlobalStats(), kGlobalFields, secure, sent, received);
}
