#pragma once
// Inside platform/ only: the process's one SQLite connection to the hive,
// its prepared statements, the busy retry and the transaction nesting that
// registry.cpp builds the key operations on. Every member but Instance() and
// Mutex() needs the mutex held.

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

// How long one statement may keep meeting a busy database (another process
// writing) before the call fails: long enough for any save the system makes,
// short enough that a stuck peer is reported rather than waited on for ever.
inline constexpr std::uint64_t kRegistryBusyDeadlineMs = 30000;
// SQLite's own wait inside one step (1 ms naps); our loop retries around it.
inline constexpr int kRegistryBusyTimeoutMs = 2000;
// The schema this code reads and writes (PRAGMA user_version).
inline constexpr int kRegistrySchemaVersion = 1;

// The fixed ids of the three roots.
inline constexpr std::int64_t kLocalMachineId = 1;
inline constexpr std::int64_t kCurrentUserId = 2;
inline constexpr std::int64_t kUsersId = 3;

enum class RegistrySql {
    KeyExists,
    FindChild,
    InsertKey,
    HasChildren,
    KeyInfo,
    ChildAt,
    CountChildren,
    CountValues,
    FindValue,
    ValueAt,
    UpsertValue,
    DeleteValue,
    DeleteKeyValues,
    DeleteKeyRow,
    DeleteTreeValues,
    DeleteTreeKeys,
    BeginWrite,
    BeginRead,
    Commit,
    Rollback,
    Count,
};

class RegistryDatabase {
public:
    enum class Access { Read, Write };

    static RegistryDatabase& Instance();
    std::recursive_mutex& Mutex() { return m_mutex; }

    ~RegistryDatabase();

    int EnsureOpen();
    // Ignored while a transaction is open.
    void Close();
    std::uint64_t Generation() const { return m_generation; }
    // See HiveChangeCount (registry.h). Any thread, without the mutex.
    std::uint64_t ChangeCount();

    // A prepared statement, reset and with its bindings cleared; null (with
    // the error recorded) when it cannot be prepared.
    sqlite3_stmt* Statement(RegistrySql which);
    // sqlite3_step, retrying a busy database up to kRegistryBusyDeadlineMs.
    // Use only on a statement's first step.
    int Step(sqlite3_stmt* statement);
    // Records the connection's message and answers kErrorRegistryIoFailed.
    int Fail(std::string_view what);

    // Opens a transaction or joins the open one. On success *outermost says
    // whether this call began it and Leave must follow; on failure nothing
    // was entered. A write cannot join a read transaction (kErrorAccessDenied).
    int Enter(Access access, bool* outermost);
    // Ends what Enter began: the outermost commits when commit is set and
    // nothing doomed the transaction, else rolls back; a nested part that
    // leaves without commit dooms the whole with kErrorRequestAborted.
    int Leave(bool outermost, bool commit);
    // Makes every later operation of the open transaction fail with code and
    // its end a rollback.
    void Doom(int code);
    int DoomCode() const { return m_doomCode; }
    bool InTransaction() const { return m_depth > 0; }

private:
    RegistryDatabase() = default;
    int OpenConnection(const std::string& path);
    int PrepareSchema();
    int Execute(RegistrySql which);
    void FinalizeStatements();
    // Watches the hive's folder for other processes' changes; -1 when the
    // system refuses (then every count is a change).
    void WatchFolder(const std::string& path);
    void NoteChange() { m_changes.fetch_add(1); }

    std::recursive_mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_path;
    std::array<sqlite3_stmt*, static_cast<std::size_t>(RegistrySql::Count)> m_statements{};
    std::uint64_t m_generation = 0;
    std::atomic<int> m_watch{-1};
    std::atomic<int> m_draining{0};
    std::atomic<std::uint64_t> m_changes{1};
    // The millisecond in which the watch was last found quiet; 0 none.
    std::atomic<std::uint64_t> m_quietAt{0};
    std::mutex m_drainLock;
    // The hive's file name, which its -wal and -shm files begin with too.
    std::string m_watchedName;
    int m_depth = 0;
    bool m_writeTransaction = false;
    int m_doomCode = 0;
};

// Binds text, never as SQL NULL (an empty view may have no data pointer).
int BindRegistryText(sqlite3_stmt* statement, int index, std::string_view text);

} // namespace platform
