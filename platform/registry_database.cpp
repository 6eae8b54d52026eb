#include "platform/registry_database.h"

#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

thread_local std::string t_lastDatabaseError;

// The hive holds passwords and private keys.
constexpr mode_t kHiveFileMode = 0600;
constexpr unsigned kHiveDirectoryMode = 0700;

const char* SqlText(RegistrySql which)
{
    switch (which) {
    case RegistrySql::KeyExists: return "SELECT 1 FROM keys WHERE id=?1";
    case RegistrySql::FindChild: return "SELECT id FROM keys WHERE parent=?1 AND name=?2";
    case RegistrySql::InsertKey: return "INSERT INTO keys(parent,name) VALUES(?1,?2)";
    case RegistrySql::HasChildren: return "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1";
    case RegistrySql::KeyInfo: return "SELECT parent,name FROM keys WHERE id=?1";
    case RegistrySql::ChildAt: return "SELECT name FROM keys WHERE parent=?1 ORDER BY name LIMIT 1 OFFSET ?2";
    case RegistrySql::CountChildren: return "SELECT count(*) FROM keys WHERE parent=?1";
    case RegistrySql::CountValues: return "SELECT count(*) FROM vals WHERE key=?1";
    case RegistrySql::FindValue: return "SELECT type,data FROM vals WHERE key=?1 AND name=?2";
    case RegistrySql::ValueAt:
        return "SELECT name,type,data FROM vals WHERE key=?1 ORDER BY id LIMIT 1 OFFSET ?2";
    case RegistrySql::UpsertValue:
        // DO UPDATE rewrites the row in place: the value keeps its id (its
        // place in the enumeration) and its stored name.
        return "INSERT INTO vals(key,name,type,data) VALUES(?1,?2,?3,?4) "
               "ON CONFLICT(key,name) DO UPDATE SET type=excluded.type,data=excluded.data";
    case RegistrySql::DeleteValue: return "DELETE FROM vals WHERE key=?1 AND name=?2";
    case RegistrySql::DeleteKeyValues: return "DELETE FROM vals WHERE key=?1";
    case RegistrySql::DeleteKeyRow: return "DELETE FROM keys WHERE id=?1";
    case RegistrySql::DeleteTreeValues:
        return "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN tree ON "
               "keys.parent=tree.id) DELETE FROM vals WHERE key IN tree";
    case RegistrySql::DeleteTreeKeys:
        return "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL SELECT keys.id FROM keys JOIN tree ON "
               "keys.parent=tree.id) DELETE FROM keys WHERE id IN tree";
    case RegistrySql::BeginWrite: return "BEGIN IMMEDIATE";
    case RegistrySql::BeginRead: return "BEGIN DEFERRED";
    case RegistrySql::Commit: return "COMMIT";
    case RegistrySql::Rollback: return "ROLLBACK";
    case RegistrySql::Count: break;
    }
    return "";
}

// Names compare with NOCASE, SQLite's ASCII-only folding; AUTOINCREMENT
// keeps a deleted key's id from ever naming another key.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER,"
    " name TEXT NOT NULL COLLATE NOCASE);"
    "CREATE UNIQUE INDEX IF NOT EXISTS keys_by_name ON keys(parent,name);"
    "CREATE TABLE IF NOT EXISTS vals("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " key INTEGER NOT NULL,"
    " name TEXT NOT NULL COLLATE NOCASE,"
    " type INTEGER NOT NULL,"
    " data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS vals_by_name ON vals(key,name);"
    "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key,id);"
    "INSERT OR IGNORE INTO keys(id,parent,name) VALUES"
    " (1,NULL,'HKEY_LOCAL_MACHINE'),(2,NULL,'HKEY_CURRENT_USER'),(3,NULL,'HKEY_USERS');";

// SQLite's default wait sleeps ever longer (up to 100 ms), so a process that
// writes again at once keeps winning the lock; short, even naps let a waiting
// writer in at the first gap.
int BusyWait(void*, int count)
{
    if (count >= kRegistryBusyTimeoutMs)
        return 0;
    SleepMs(1);
    return 1;
}

bool IsBusy(int rc)
{
    int primary = rc & 0xff;
    return (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) && rc != SQLITE_BUSY_SNAPSHOT;
}

std::string ParentDirectory(const std::string& path)
{
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int OpenFile(const char* path, int flags, mode_t mode)
{
    int fd;
    do
        fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Creates the file if missing and narrows its mode to 0600 when it is ours
// (umask may have left it narrower, an older copy wider). An existing file is
// changed by path, never opened: closing any descriptor of a file drops all
// of this process's POSIX locks on it, SQLite's included.
int EnsurePrivateFile(const std::string& path, bool create)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create)
            return errno == ENOENT ? 0 : errno;
        int fd = OpenFile(path.c_str(), O_RDWR | O_CREAT, kHiveFileMode);
        if (fd < 0)
            return errno;
        fchmod(fd, kHiveFileMode);
        ::close(fd);
        return 0;
    }
    if ((st.st_mode & 07777) != kHiveFileMode && st.st_uid == geteuid())
        ::chmod(path.c_str(), kHiveFileMode);
    return 0;
}

} // namespace

std::string RegistryDatabaseError()
{
    return t_lastDatabaseError;
}

std::string RegistryPath()
{
    const char* path = std::getenv("VELMORA_REGISTRY");
    if (path && *path)
        return path;
    return JoinPath(StateDirectory(), "registry.db");
}

std::string DefaultRegistryPath()
{
    return JoinPath(DefaultStateDirectory(), "registry.db");
}

int BindRegistryText(sqlite3_stmt* statement, int index, std::string_view text)
{
    return sqlite3_bind_text64(statement, index, text.empty() ? "" : text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
}

RegistryDatabase& RegistryDatabase::Instance()
{
    static RegistryDatabase instance;
    return instance;
}

RegistryDatabase::~RegistryDatabase()
{
    m_depth = 0;
    Close();
}

int RegistryDatabase::Fail(std::string_view what)
{
    t_lastDatabaseError = std::string(what);
    if (m_db) {
        t_lastDatabaseError += ": ";
        t_lastDatabaseError += sqlite3_errmsg(m_db);
    }
    return kErrorRegistryIoFailed;
}

int RegistryDatabase::EnsureOpen()
{
    if (m_db)
        return kErrorSuccess;
    std::string path = RegistryPath();
    std::string directory = ParentDirectory(path);
    if (!directory.empty()) {
        if (int error = CreateDirectories(directory, kHiveDirectoryMode); error != 0)
            return Fail("cannot create the directory " + directory + ": " + std::strerror(error));
    }
    // No connection of this process is open here, so the descriptor that
    // creates the file cannot take SQLite's locks with it.
    if (int error = EnsurePrivateFile(path, true); error != 0)
        return Fail("cannot open " + path + ": " + std::strerror(error));
    int result = OpenConnection(path);
    if (result != kErrorSuccess) {
        FinalizeStatements();
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return result;
    }
    // SQLite gives the -wal and -shm files the database's mode; older copies
    // left by another umask are narrowed here.
    EnsurePrivateFile(path + "-wal", false);
    EnsurePrivateFile(path + "-shm", false);
    m_path = path;
    WatchFolder(path);
    ++m_generation;
    return kErrorSuccess;
}

int RegistryDatabase::OpenConnection(const std::string& path)
{
    // Only possible before SQLite's first use in the process, which this
    // open is. Nothing here reads SQLite's memory statistics, and keeping
    // them takes one process-wide mutex on every allocation of every
    // connection, the ODBC driver's included.
    [[maybe_unused]] static const int untracked = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    int rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
        return Fail("cannot open the registry " + path);
    sqlite3_extended_result_codes(m_db, 1);
    sqlite3_busy_handler(m_db, BusyWait, nullptr);

    sqlite3_stmt* wal = nullptr;
    if (sqlite3_prepare_v2(m_db, "PRAGMA journal_mode=WAL", -1, &wal, nullptr) != SQLITE_OK)
        return Fail("cannot set WAL mode on " + path);
    rc = Step(wal);
    bool walMode = rc == SQLITE_ROW &&
                   sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(wal, 0)), "wal") == 0;
    sqlite3_finalize(wal);
    if (!walMode)
        return Fail("cannot set WAL mode on " + path);
    // NORMAL is durable across a process crash in WAL mode; only a power
    // loss may drop the last commits.
    if (sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) != SQLITE_OK)
        return Fail("cannot set the synchronous mode of " + path);
    return PrepareSchema();
}

int RegistryDatabase::PrepareSchema()
{
    if (Execute(RegistrySql::BeginWrite) != SQLITE_DONE)
        return Fail("cannot begin the schema set-up");
    sqlite3_stmt* version = nullptr;
    int current = -1;
    if (sqlite3_prepare_v2(m_db, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW)
        current = sqlite3_column_int(version, 0);
    sqlite3_finalize(version);
    int result = kErrorSuccess;
    if (current != 0 && current != kRegistrySchemaVersion) {
        result = Fail("the registry database has format " + std::to_string(current) + ", this program knows " +
                      std::to_string(kRegistrySchemaVersion));
    } else if (sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK ||
               sqlite3_exec(m_db, ("PRAGMA user_version=" + std::to_string(kRegistrySchemaVersion)).c_str(),
                            nullptr, nullptr, nullptr) != SQLITE_OK) {
        result = Fail("cannot create the registry tables");
    }
    if (result == kErrorSuccess && Execute(RegistrySql::Commit) != SQLITE_DONE)
        result = Fail("cannot commit the schema set-up");
    if (result != kErrorSuccess)
        Execute(RegistrySql::Rollback);
    return result;
}

void RegistryDatabase::FinalizeStatements()
{
    for (sqlite3_stmt*& statement : m_statements) {
        sqlite3_finalize(statement);
        statement = nullptr;
    }
}

void RegistryDatabase::Close()
{
    if (m_depth > 0 || !m_db)
        return;
    FinalizeStatements();
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    m_path.clear();
    WatchFolder({});
}

void RegistryDatabase::WatchFolder(const std::string& path)
{
    std::lock_guard<std::mutex> hold(m_drainLock);
    int old = m_watch.exchange(-1);
    if (old >= 0)
        ::close(old);
    NoteChange();
    if (path.empty())
        return;
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0)
        return;
    std::string folder = ParentDirectory(path);
    if (folder.empty())
        folder = ".";
    m_watchedName = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
    // Every way a file of the folder can change: SQLite writes the database,
    // its -wal and -shm files in place, and a tool may replace them whole.
    constexpr std::uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                      IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
    if (inotify_add_watch(fd, folder.c_str(), kEvents) < 0) {
        ::close(fd);
        return;
    }
    m_watch.store(fd);
}

std::uint64_t RegistryDatabase::ChangeCount()
{
    int fd = m_watch.load();
    if (fd < 0)
        return m_changes.fetch_add(1) + 1;
    // A look at the watch found it quiet this recently: that answer stands,
    // so a busy server asks the kernel about once a millisecond, not on
    // every request.
    const std::uint64_t now = MonotonicMs();
    if (m_quietAt.load(std::memory_order_acquire) == now && m_draining.load() == 0)
        return m_changes.load();
    int pending = 0;
    // The order matters: a drain that took events is flagged until it has
    // counted them, so nobody sees the queue empty and the count stale.
    if (::ioctl(fd, FIONREAD, &pending) == 0 && pending == 0 && m_draining.load() == 0) {
        m_quietAt.store(now, std::memory_order_release);
        return m_changes.load();
    }
    m_quietAt.store(0);
    std::lock_guard<std::mutex> hold(m_drainLock);
    m_draining.store(1);
    fd = m_watch.load();
    // Only the hive's own files count (the database, its -wal and -shm, and
    // the folder itself); other files of the folder, a log say, do not.
    bool changed = false;
    alignas(inotify_event) char events[4096];
    long got;
    while (fd >= 0 && (got = ::read(fd, events, sizeof events)) > 0) {
        for (long at = 0; at + static_cast<long>(sizeof(inotify_event)) <= got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            std::string_view name = event->len ? std::string_view(event->name) : std::string_view();
            if (name.empty() || name.compare(0, m_watchedName.size(), m_watchedName) == 0 ||
                (event->mask & IN_Q_OVERFLOW))
                changed = true;
            at += static_cast<long>(sizeof(inotify_event) + event->len);
        }
    }
    if (changed)
        NoteChange();
    m_draining.store(0);
    return m_changes.load();
}

std::uint64_t HiveChangeCount() { return RegistryDatabase::Instance().ChangeCount(); }

sqlite3_stmt* RegistryDatabase::Statement(RegistrySql which)
{
    sqlite3_stmt*& statement = m_statements[static_cast<std::size_t>(which)];
    if (!statement) {
        if (sqlite3_prepare_v3(m_db, SqlText(which), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
            SQLITE_OK) {
            Fail(std::string("cannot prepare ") + SqlText(which));
            statement = nullptr;
            return nullptr;
        }
    }
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    return statement;
}

int RegistryDatabase::Step(sqlite3_stmt* statement)
{
    std::uint64_t deadline = 0;
    std::uint32_t pause = 1;
    for (;;) {
        int rc = sqlite3_step(statement);
        if (!IsBusy(rc))
            return rc;
        std::uint64_t now = MonotonicMs();
        if (deadline == 0)
            deadline = now + kRegistryBusyDeadlineMs;
        if (now >= deadline)
            return rc;
        sqlite3_reset(statement);
        SleepMs(pause);
        pause = pause < 50 ? pause * 2 : 50;
    }
}

int RegistryDatabase::Execute(RegistrySql which)
{
    sqlite3_stmt* statement = Statement(which);
    if (!statement)
        return SQLITE_ERROR;
    int rc = Step(statement);
    sqlite3_reset(statement);
    return rc;
}

int RegistryDatabase::Enter(Access access, bool* outermost)
{
    *outermost = false;
    if (m_depth > 0) {
        if (m_doomCode != 0)
            return m_doomCode;
        if (access == Access::Write && !m_writeTransaction)
            return kErrorAccessDenied;
        ++m_depth;
        return kErrorSuccess;
    }
    if (int result = EnsureOpen(); result != kErrorSuccess)
        return result;
    bool write = access == Access::Write;
    if (Execute(write ? RegistrySql::BeginWrite : RegistrySql::BeginRead) != SQLITE_DONE)
        return Fail(write ? "cannot begin a write transaction" : "cannot begin a read transaction");
    m_depth = 1;
    m_writeTransaction = write;
    m_doomCode = 0;
    *outermost = true;
    return kErrorSuccess;
}

int RegistryDatabase::Leave(bool outermost, bool commit)
{
    if (m_depth <= 0)
        return kErrorSuccess;
    --m_depth;
    if (!outermost) {
        if (!commit && m_doomCode == 0)
            m_doomCode = kErrorRequestAborted;
        return kErrorSuccess;
    }
    m_depth = 0;
    // A statement left on a row would keep its read snapshot open past the
    // commit, and this connection would never see another process's writes.
    for (sqlite3_stmt* statement : m_statements) {
        if (statement)
            sqlite3_reset(statement);
    }
    int doom = m_doomCode;
    m_doomCode = 0;
    int result = doom;
    if (commit && doom == 0) {
        // SQLite may already have rolled the transaction back after an I/O
        // or memory failure; committing then would only report "no
        // transaction", so that case was doomed by the failing operation.
        if (Execute(RegistrySql::Commit) == SQLITE_DONE) {
            if (m_writeTransaction)
                NoteChange();
            return kErrorSuccess;
        }
        result = Fail("cannot commit");
    }
    if (!sqlite3_get_autocommit(m_db))
        Execute(RegistrySql::Rollback);
    return result;
}

void RegistryDatabase::Doom(int code)
{
    if (m_depth > 0 && m_doomCode == 0)
        m_doomCode = code;
}

} // namespace platform
