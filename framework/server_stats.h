#pragma once
// The statistics blocks the servers publish in named shared memory: one
// global block for the process and one block per started server, each a
// 4096-byte mapping with a named mutex beside it. Other processes may read
// them, so the layout below is kept byte for byte (little-endian 32-bit
// words) and only ever grows at the end.
//
// Counters are changed with atomic operations whether or not the mutex was
// obtained; the mutex orders whole updates for readers that want a
// consistent picture, and a reader that times out still reads whole words.

#include "platform/shared_memory.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::uint32_t kStatsVersion = 0x10000;
inline constexpr std::size_t kStatsBlockBytes = 4096;
inline constexpr const char* kStatsName = "Tessa/VLInfo";
inline constexpr const char* kStatsMutexName = "Tessa/VLInfoMutex";

// This instance's names. Every instance on a machine has its own blocks, or
// two of them (a run beside the test suite, two clones) would count each
// other's hits and users: the default service (the hive at its default
// place) keeps the names above, where a monitor looks; any other hive gets
// "Tessa/<32 hex digits of the SHA-256 of its absolute path>/VLInfo" and
// ".../VLInfoMutex". The per-server blocks append the server's index to
// these.
std::string StatsBlockName();
std::string StatsMutexName();

namespace stats_offset {
constexpr std::size_t kVersion = 0, kNumServers = 4, kNumClients = 8, kStartTime = 12, kHits = 16, kBytesSent = 20,
                      kBytesReceived = 24, kSecureHits = 28, kSecureBytesSent = 32, kSecureBytesReceived = 36;
}

namespace server_stat_offset {
constexpr std::size_t kVersion = 0, kType = 4, kDescription = 8, kDescriptionBytes = 64, kPort = 72, kSSLPort = 76,
                      kAddress = 80, kNumClients = 84, kStatTime = 88, kNumHits = 92, kBytesSent = 96,
                      kBytesReceived = 100, kSecureNumHits = 104, kSecureBytesSent = 108,
                      kSecureBytesReceived = 112, kCGIHits = 116, kWinCGIHits = 120, kISAPIHits = 124,
                      kKAVHits = 128;
// A chat room runs no programs; it counts its posted lines in the first two
// program-hit words instead.
constexpr std::size_t kChatLines = kCGIHits, kChatPrivateLines = kWinCGIHits;
} // namespace server_stat_offset

struct GlobalStatsBlock {
    std::uint32_t version;
    std::uint32_t numServers;
    std::uint32_t numClients;
    std::uint32_t startTime;
    std::uint32_t hits;
    std::uint32_t bytesSent;
    std::uint32_t bytesReceived;
    std::uint32_t secureHits;
    std::uint32_t secureBytesSent;
    std::uint32_t secureBytesReceived;
};

struct ServerStatsBlock {
    std::uint32_t version;
    std::uint32_t type;
    char description[server_stat_offset::kDescriptionBytes];
    std::uint32_t port;
    std::uint32_t sslPort;
    std::uint32_t address;
    std::uint32_t numClients;
    std::uint32_t statTime;
    std::uint32_t numHits;
    std::uint32_t bytesSent;
    std::uint32_t bytesReceived;
    std::uint32_t secureNumHits;
    std::uint32_t secureBytesSent;
    std::uint32_t secureBytesReceived;
    std::uint32_t cgiHits;
    std::uint32_t winCGIHits;
    std::uint32_t isapiHits;
    std::uint32_t kavHits;
};

static_assert(offsetof(GlobalStatsBlock, version) == stats_offset::kVersion);
static_assert(offsetof(GlobalStatsBlock, numServers) == stats_offset::kNumServers);
static_assert(offsetof(GlobalStatsBlock, numClients) == stats_offset::kNumClients);
static_assert(offsetof(GlobalStatsBlock, startTime) == stats_offset::kStartTime);
static_assert(offsetof(GlobalStatsBlock, hits) == stats_offset::kHits);
static_assert(offsetof(GlobalStatsBlock, bytesSent) == stats_offset::kBytesSent);
static_assert(offsetof(GlobalStatsBlock, bytesReceived) == stats_offset::kBytesReceived);
static_assert(offsetof(GlobalStatsBlock, secureHits) == stats_offset::kSecureHits);
static_assert(offsetof(GlobalStatsBlock, secureBytesSent) == stats_offset::kSecureBytesSent);
static_assert(offsetof(GlobalStatsBlock, secureBytesReceived) == stats_offset::kSecureBytesReceived);
static_assert(sizeof(GlobalStatsBlock) == 40 && sizeof(GlobalStatsBlock) <= kStatsBlockBytes);

static_assert(offsetof(ServerStatsBlock, version) == server_stat_offset::kVersion);
static_assert(offsetof(ServerStatsBlock, type) == server_stat_offset::kType);
static_assert(offsetof(ServerStatsBlock, description) == server_stat_offset::kDescription);
static_assert(sizeof(ServerStatsBlock::description) == server_stat_offset::kDescriptionBytes);
static_assert(offsetof(ServerStatsBlock, port) == server_stat_offset::kPort);
static_assert(offsetof(ServerStatsBlock, sslPort) == server_stat_offset::kSSLPort);
static_assert(offsetof(ServerStatsBlock, address) == server_stat_offset::kAddress);
static_assert(offsetof(ServerStatsBlock, numClients) == server_stat_offset::kNumClients);
static_assert(offsetof(ServerStatsBlock, statTime) == server_stat_offset::kStatTime);
static_assert(offsetof(ServerStatsBlock, numHits) == server_stat_offset::kNumHits);
static_assert(offsetof(ServerStatsBlock, bytesSent) == server_stat_offset::kBytesSent);
static_assert(offsetof(ServerStatsBlock, bytesReceived) == server_stat_offset::kBytesReceived);
static_assert(offsetof(ServerStatsBlock, secureNumHits) == server_stat_offset::kSecureNumHits);
static_assert(offsetof(ServerStatsBlock, secureBytesSent) == server_stat_offset::kSecureBytesSent);
static_assert(offsetof(ServerStatsBlock, secureBytesReceived) == server_stat_offset::kSecureBytesReceived);
static_assert(offsetof(ServerStatsBlock, cgiHits) == server_stat_offset::kCGIHits);
static_assert(offsetof(ServerStatsBlock, winCGIHits) == server_stat_offset::kWinCGIHits);
static_assert(offsetof(ServerStatsBlock, isapiHits) == server_stat_offset::kISAPIHits);
static_assert(offsetof(ServerStatsBlock, kavHits) == server_stat_offset::kKAVHits);
static_assert(sizeof(ServerStatsBlock) == 132 && sizeof(ServerStatsBlock) <= kStatsBlockBytes);

// One mapped 4096-byte block and its named mutex. Offsets that are not a
// whole aligned word inside the block are ignored (Read gives 0).
class CStatsBlock {
public:
    CStatsBlock() = default;
    virtual ~CStatsBlock() = default;
    CStatsBlock(const CStatsBlock&) = delete;
    CStatsBlock& operator=(const CStatsBlock&) = delete;

    bool IsMapped() const { return m_memory.IsOpen(); }
    std::uint32_t Read(std::size_t offset) const;
    // Wraps modulo 2^32, as the words are unsigned.
    void Add(std::size_t offset, std::uint32_t delta);
    void Subtract(std::size_t offset, std::uint32_t delta);
    // False (expected then holds the word) when the word was not expected,
    // or there is no such word.
    bool CompareExchange(std::size_t offset, std::uint32_t& expected, std::uint32_t desired);
    void Store(std::size_t offset, std::uint32_t value);
    // The text at offset up to its NUL, never more than maxBytes nor past
    // the block, so a writer that left no NUL cannot make us overrun.
    std::string ReadText(std::size_t offset, std::size_t maxBytes) const;
    // True when the mutex was obtained (an abandoned mutex counts); the
    // caller releases only then. The mutex is not recursive.
    bool LockMutex(std::uint32_t milliseconds) const;
    void UnlockMutex() const;
    // The mutex's POSIX name; empty when it is not open.
    const std::string& MutexName() const { return m_mutex.Name(); }
    // Unmaps and closes the mutex; the names go when this process made them.
    void Close();

    // How long setting a block up waits for its mutex: a holder that never
    // lets go (a stopped process) must not keep the servers from starting.
    static constexpr std::uint32_t kCreateWaitMs = 2000;

protected:
    // Maps name and opens mutexName; false, with nothing mapped, when the
    // mapping fails. A mutex that cannot be opened leaves the block usable
    // without it (LockMutex then gives false). An object found under either
    // name that was not this user's private one is made afresh, with a
    // warning in the server log.
    bool Open(std::string_view name, std::string_view mutexName);
    // Copies at most bytes - 1 bytes of text and fills the rest of the field
    // with NULs.
    void WriteText(std::size_t offset, std::size_t bytes, std::string_view text);

private:
    std::uint32_t* Word(std::size_t offset) const;

    platform::SharedMemory m_memory;
    mutable platform::NamedMutex m_mutex;
};

// Removes this instance's blocks and mutexes that no live process holds, as
// a run killed with -9 leaves them. Returns how many names went.
int RemoveStatsBlocksLeftBehind();

// The process's global block: made by engine start, gone at engine shutdown.
// Create and destroy it only while no server runs.
bool CreateGlobalStatsBlock(); // false (and no block) when the mapping fails
void DestroyGlobalStatsBlock();
CStatsBlock& GlobalStats(); // IsMapped() false without a block
long GetGlobalClientCount(); // numclients of the global block, -1 without one
void SetGlobalServerCount(std::uint32_t count);

// One server's block, kept by the server from Start to Stop.
class CServerStats : public CStatsBlock {
public:
    // Waits before writing the description.
    static constexpr std::uint32_t kDescriptionWaitMs = 1000;
    // Waits on the connection path, short so that a stuck holder in another
    // process costs a connection little.
    static constexpr std::uint32_t kConnectionWaitMs = 100;

    // Maps "Tessa/VLInfo<index>" and its mutex; under the mutex (waited up
    // to kCreateWaitMs, then written without it) writes version, type, port, sslPort, address (network order), stattime
    // = now, and zeroes the description, numclients and every counter. False
    // when the mapping fails.
    bool Create(unsigned index, std::uint32_t type, std::uint32_t port, std::uint32_t sslPort, std::uint32_t address);
    // At most 63 characters and a NUL, under the mutex waited up to 1000 ms.
    void SetDescription(std::string_view text);
    // numclients of this block and the global one, atomically; a count
    // never goes below 0, whoever cleared the block meanwhile.
    void AddClient();
    void RemoveClient();
    // After each connection: this block, then the global one, each under its
    // mutex waited up to 100 ms (counters added atomically whatever the wait
    // gave; a mutex released only when it was obtained). Byte counts are
    // kept modulo 2^32.
    void AddConnection(bool secure, std::uint64_t bytesSent, std::uint64_t bytesReceived);
};
