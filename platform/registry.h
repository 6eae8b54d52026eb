#pragma once
// The registry: a tree of keys holding typed values, kept in one SQLite
// database that several processes (server, desktop app, applet, velmora-reg)
// use at once. The database is $VELMORA_REGISTRY, else
// <state directory>/registry.db; it and its -wal and -shm files are mode 0600
// because the hive holds passwords and private keys.
//
// Results are the Win32 registry numbers below; a busy database is waited
// for and retried, never reported as "locked".
//
// Names: key and value names compare ASCII-case-insensitively and keep the
// case they were created with; the empty value name is the key's default
// value. Key paths are relative to the key they are opened from and use '\'
// between names (a key name never holds one; '/' is an ordinary character
// here, and only tools reading paths typed by people take it for '\');
// empty parts are skipped. Names may not contain a NUL.
//
// Order: values enumerate in creation order (overwriting a value keeps its
// place); subkeys in case-insensitive name order (bytes compared after
// folding A-Z to a-z).
//
// Deletion: a handle whose key was deleted, by this process or another,
// answers kErrorKeyDeleted to everything, even after a key of the same name
// is created again.
//
// Threads: one connection serves the process under a recursive lock; a
// RegistryTransaction or RegistrySnapshot holds that lock until it ends, so
// other threads wait for it while its own thread goes on using the registry.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class RemoteRegistry;
struct RemoteKeyOps;

// Result codes (Win32 numbers).
inline constexpr int kErrorSuccess = 0;
inline constexpr int kErrorFileNotFound = 2;       // no such key or value
inline constexpr int kErrorAccessDenied = 5;       // a root cannot be deleted; a write inside a snapshot
inline constexpr int kErrorInvalidHandle = 6;      // closed handle, or one from before CloseRegistryDatabase
inline constexpr int kErrorInvalidParameter = 87;  // a name with a NUL, a null size pointer, data too large
inline constexpr int kErrorMoreData = 234;         // the buffer is too small; the size says what is needed
inline constexpr int kErrorNoMoreItems = 259;      // enumeration index past the end
inline constexpr int kErrorRegistryIoFailed = 1016;// the database failed (see RegistryDatabaseError)
inline constexpr int kErrorKeyDeleted = 1018;      // the handle's key was deleted
inline constexpr int kErrorKeyHasChildren = 1020;  // DeleteKey on a key that still has subkeys
inline constexpr int kErrorRequestAborted = 1235;  // a nested transaction gave up, so the whole one was rolled back
inline constexpr int kErrorUnsupportedType = 1630; // QueryDword on a value that is not 4 bytes long

// Value types. Any other number is kept as raw bytes too.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// What Create did (the Win32 disposition numbers).
enum class RegistryDisposition : std::uint32_t {
    CreatedNewKey = 1,
    OpenedExistingKey = 2,
};

// A whole value: its type and its bytes exactly as stored.
struct RegistryValue {
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;
};

// An open key. Movable, not copyable (Duplicate makes a second handle);
// destruction closes it. The three roots are predefined handles that are
// always open. A handle is a small value: it may be used from any thread,
// but not closed or moved while another thread uses it.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(RegistryKey&& other) noexcept;
    RegistryKey& operator=(RegistryKey&& other) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() { Close(); }

    static const RegistryKey& LocalMachine();
    static const RegistryKey& CurrentUser();
    static const RegistryKey& Users();

    bool IsOpen() const { return m_id != 0; }
    bool IsPredefined() const { return m_id != 0 && m_generation == 0; }
    // Null for this machine's keys; else the connection the key lives on.
    RemoteRegistry* Remote() const { return m_remote; }
    void Close();

    // Opens this\path into result (an empty path opens this key again).
    // result is closed first, and stays closed on failure.
    int Open(std::string_view path, RegistryKey& result) const;
    // Opens this\path, creating it and every missing key on the way.
    int Create(std::string_view path, RegistryKey& result, RegistryDisposition* disposition = nullptr) const;
    // A second handle on this key; the caller closes it.
    int Duplicate(RegistryKey& result) const { return Open({}, result); }

    // Writes a value, replacing one of the same name (its place in the
    // enumeration order and its stored name are kept).
    int SetValue(std::string_view name, std::uint32_t type, const void* data, std::size_t size) const;
    // REG_SZ (or REG_EXPAND_SZ) with the terminating NUL stored.
    int SetString(std::string_view name, std::string_view text, std::uint32_t type = kRegSz) const;
    int SetDword(std::string_view name, std::uint32_t value) const;
    // REG_MULTI_SZ: each item followed by a NUL, then one more NUL.
    int SetMultiString(std::string_view name, const std::vector<std::string>& items) const;

    // The size-first query: with data null, sets *type and *size (the whole
    // size) and succeeds; with a buffer smaller than the value, sets *size to
    // the size needed and answers kErrorMoreData; otherwise copies the value
    // and sets *size to its length. type may be null.
    int QueryValue(std::string_view name, std::uint32_t* type, void* data, std::size_t* size) const;
    int QueryValue(std::string_view name, RegistryValue& value) const;
    // The value's bytes up to the first NUL, whatever its type.
    int QueryString(std::string_view name, std::string& text) const;
    // A value of exactly 4 bytes, whatever its type; kErrorUnsupportedType otherwise.
    int QueryDword(std::string_view name, std::uint32_t& value) const;

    // Value number index in creation order, with the size-first protocol of
    // QueryValue for the data; name is always set whole on success or
    // kErrorMoreData. kErrorNoMoreItems past the end.
    int EnumValue(std::uint32_t index, std::string& name, std::uint32_t* type, void* data, std::size_t* size) const;
    int EnumValue(std::uint32_t index, std::string& name, RegistryValue& value) const;
    // Subkey number index in case-insensitive name order.
    int EnumKey(std::uint32_t index, std::string& name) const;
    // How many subkeys and values the key has; either pointer may be null.
    int QueryInfo(std::uint32_t* subkeys, std::uint32_t* values) const;
    // "HKEY_LOCAL_MACHINE\Software\..." with every name in its stored case.
    int QueryPath(std::string& path) const;

    int DeleteValue(std::string_view name) const;
    // Deletes this\path (this key itself when path is empty) when it has no
    // subkeys; kErrorKeyHasChildren otherwise. Roots cannot be deleted.
    int DeleteKey(std::string_view path) const;
    // Deletes this\path with all its subkeys and values.
    int DeleteTree(std::string_view path) const;

private:
    friend class RemoteRegistry;
    friend struct RemoteKeyOps;
    RegistryKey(std::int64_t id, std::uint64_t generation) : m_id(id), m_generation(generation) {}

    std::int64_t m_id = 0;
    // The connection generation the handle was opened on; 0 for the roots.
    std::uint64_t m_generation = 0;
    // A key of another machine: m_id is the far side's handle.
    RemoteRegistry* m_remote = nullptr;
};

// Groups writes so that other processes see all of them or none: BEGIN
// IMMEDIATE at construction, COMMIT at Commit(), ROLLBACK at destruction
// without Commit(). A transaction opened while one is already open on this
// thread joins it: its Commit() only marks its part done, and a part
// destroyed without Commit() makes the outer Commit() roll everything back
// and answer kErrorRequestAborted. Create and destroy it on one thread.
class RegistryTransaction {
public:
    RegistryTransaction();
    // On a remote key: the far side's one transaction (not nested), begun
    // here and committed or rolled back there. On a local key: as above.
    explicit RegistryTransaction(const RegistryKey& on);
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // kErrorSuccess when the transaction is open and usable.
    int Status() const { return m_status; }
    // Commits (outermost) or marks this part done (nested). Answers the
    // database's result, or why everything was rolled back instead.
    int Commit();

private:
    std::unique_lock<std::recursive_mutex> m_lock;
    int m_status = kErrorSuccess;
    bool m_outermost = false;
    bool m_finished = false;
    RemoteRegistry* m_remote = nullptr;
};

// Reads one committed state of the hive for its whole life (a read
// transaction): a loader that enumerates a key under it never sees a mixture
// of two saves. It does not hold back writers in other processes, but threads
// of this process wait for it. Writes inside it fail with kErrorAccessDenied
// (unless it joined a RegistryTransaction, whose writes it then sees).
class RegistrySnapshot {
public:
    RegistrySnapshot();
    ~RegistrySnapshot();
    RegistrySnapshot(const RegistrySnapshot&) = delete;
    RegistrySnapshot& operator=(const RegistrySnapshot&) = delete;

    int Status() const { return m_status; }

private:
    std::unique_lock<std::recursive_mutex> m_lock;
    int m_status = kErrorSuccess;
    bool m_outermost = false;
};

// The database file this process uses (or will use at its next call).
std::string RegistryPath();
// Where the hive is when no variable moves it: the default service's.
std::string DefaultRegistryPath();
// A number that moves whenever the hive may have changed since it was last
// taken: a write through this process, any change to the files in the hive's
// folder by another process (seen within a millisecond), or the hive being
// opened or closed. Equal numbers mean no value can have changed in between,
// so a reader may keep what it read. Costs at most one system call a
// millisecond and no lock while nothing changes.
std::uint64_t HiveChangeCount();
// Closes the process's connection; the next call opens the database named by
// the environment then. Handles opened before (except the roots) answer
// kErrorInvalidHandle afterwards. Must not be called inside a transaction.
void CloseRegistryDatabase();
// The database's own message for the calling thread's last kErrorRegistryIoFailed.
std::string RegistryDatabaseError();
// A short English text for a result code, for tools and logs.
std::string RegistryErrorText(int code);

// The root named by a full path's first part (HKEY_LOCAL_MACHINE or HKLM,
// HKEY_CURRENT_USER or HKCU, HKEY_USERS or HKU; any case), with *rest set to
// what follows the first '\'. Null when the root is not one of these.
const RegistryKey* SplitRegistryPath(std::string_view fullPath, std::string_view* rest);
// The names of a key path below a root, empty ones (doubled or outer '\\')
// left out; false when one holds a NUL.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view>& names);

} // namespace platform
