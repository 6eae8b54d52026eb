#include "platform/registry.h"
#include "platform/remote_key_ops.h"

#include "platform/ascii.h"
#include "platform/registry_database.h"

#include <cstring>
#include <limits>

namespace platform {

namespace {

RegistryDatabase& Db()
{
    return RegistryDatabase::Instance();
}

// A parent chain longer than this can only come from a damaged database;
// it bounds the walk up from a key to its root.
constexpr int kMaxParentWalk = 1 << 20;

// One key operation: the process lock, and a transaction of its own unless
// it joins the one open on this thread. Every path ends in Finish.
class Operation {
public:
    explicit Operation(RegistryDatabase::Access access) : m_lock(Db().Mutex())
    {
        m_status = Db().Enter(access, &m_outermost);
        m_entered = m_status == kErrorSuccess;
    }
    ~Operation()
    {
        if (m_entered)
            Db().Leave(m_outermost, !m_outermost);
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    int Status() const { return m_status; }

    // A database failure inside a larger transaction dooms it: SQLite may
    // have rolled part or all of it back already.
    int Finish(int result)
    {
        if (!m_entered)
            return result;
        m_entered = false;
        if (result == kErrorRegistryIoFailed)
            Db().Doom(result);
        if (!m_outermost) {
            Db().Leave(false, true);
            return result;
        }
        int end = Db().Leave(true, result == kErrorSuccess);
        return result == kErrorSuccess ? end : result;
    }

private:
    std::unique_lock<std::recursive_mutex> m_lock;
    int m_status = kErrorSuccess;
    bool m_outermost = false;
    bool m_entered = false;
};

bool HasNul(std::string_view name)
{
    return name.find('\0') != std::string_view::npos;
}

bool IsRootId(std::int64_t id)
{
    return id == kLocalMachineId || id == kCurrentUserId || id == kUsersId;
}

std::string_view ColumnText(sqlite3_stmt* statement, int column)
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return {reinterpret_cast<const char*>(text ? text : reinterpret_cast<const unsigned char*>("")),
            static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
}

// The handle is open, of this connection, and its key still exists.
int CheckKey(std::int64_t id, std::uint64_t generation)
{
    if (id == 0)
        return kErrorInvalidHandle;
    if (generation == 0)
        return IsRootId(id) ? kErrorSuccess : kErrorInvalidHandle;
    if (generation != Db().Generation())
        return kErrorInvalidHandle;
    sqlite3_stmt* statement = Db().Statement(RegistrySql::KeyExists);
    if (!statement)
        return kErrorRegistryIoFailed;
    sqlite3_bind_int64(statement, 1, id);
    int rc = Db().Step(statement);
    if (rc == SQLITE_ROW)
        return kErrorSuccess;
    if (rc == SQLITE_DONE)
        return kErrorKeyDeleted;
    return Db().Fail("cannot look up a key");
}

// The child of parent called name: its id, 0 when there is none, -1 on failure.
std::int64_t FindChild(std::int64_t parent, std::string_view name)
{
    sqlite3_stmt* statement = Db().Statement(RegistrySql::FindChild);
    if (!statement)
        return -1;
    sqlite3_bind_int64(statement, 1, parent);
    BindRegistryText(statement, 2, name);
    int rc = Db().Step(statement);
    if (rc == SQLITE_ROW)
        return sqlite3_column_int64(statement, 0);
    if (rc == SQLITE_DONE)
        return 0;
    Db().Fail("cannot look up a subkey");
    return -1;
}

// Walks path down from id; the key's id in *found.
int ResolvePath(std::int64_t id, std::string_view path, std::int64_t* found)
{
    std::vector<std::string_view> names;
    if (!SplitKeyPath(path, names))
        return kErrorInvalidParameter;
    for (std::string_view name : names) {
        id = FindChild(id, name);
        if (id < 0)
            return kErrorRegistryIoFailed;
        if (id == 0)
            return kErrorFileNotFound;
    }
    *found = id;
    return kErrorSuccess;
}

int RunCountQuery(RegistrySql which, std::int64_t id, std::uint32_t* count)
{
    sqlite3_stmt* statement = Db().Statement(which);
    if (!statement)
        return kErrorRegistryIoFailed;
    sqlite3_bind_int64(statement, 1, id);
    if (Db().Step(statement) != SQLITE_ROW)
        return Db().Fail("cannot count");
    if (count)
        *count = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
    return kErrorSuccess;
}

int RunDelete(RegistrySql which, std::int64_t id, std::string_view name = {}, bool withName = false,
              int* changes = nullptr)
{
    sqlite3_stmt* statement = Db().Statement(which);
    if (!statement)
        return kErrorRegistryIoFailed;
    sqlite3_bind_int64(statement, 1, id);
    if (withName)
        BindRegistryText(statement, 2, name);
    if (Db().Step(statement) != SQLITE_DONE)
        return Db().Fail("cannot delete");
    if (changes)
        *changes = sqlite3_changes(sqlite3_db_handle(statement));
    return kErrorSuccess;
}

// The size-first protocol shared by QueryValue and EnumValue.
int DeliverValue(sqlite3_stmt* statement, int typeColumn, std::uint32_t* type, void* data, std::size_t* size)
{
    if (type)
        *type = static_cast<std::uint32_t>(sqlite3_column_int64(statement, typeColumn));
    const void* bytes = sqlite3_column_blob(statement, typeColumn + 1);
    std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(statement, typeColumn + 1));
    if (!data) {
        if (size)
            *size = length;
        return kErrorSuccess;
    }
    if (*size < length) {
        *size = length;
        return kErrorMoreData;
    }
    if (length)
        std::memcpy(data, bytes, length);
    *size = length;
    return kErrorSuccess;
}

void TakeValue(sqlite3_stmt* statement, int typeColumn, RegistryValue& value)
{
    value.type = static_cast<std::uint32_t>(sqlite3_column_int64(statement, typeColumn));
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, typeColumn + 1));
    std::size_t length = static_cast<std::size_t>(sqlite3_column_bytes(statement, typeColumn + 1));
    value.data.assign(bytes, bytes + (bytes ? length : 0));
}

// Runs body under an Operation once the handle has been checked; body's
// result, or the first failure, is what the operation finishes with.
template <typename Body>
int RunOnKey(RegistryDatabase::Access access, std::int64_t id, std::uint64_t generation, Body body)
{
    Operation operation(access);
    if (operation.Status() != kErrorSuccess)
        return operation.Status();
    int status = CheckKey(id, generation);
    if (status == kErrorSuccess)
        status = body();
    return operation.Finish(status);
}

void BindSecond(sqlite3_stmt* statement, std::string_view name)
{
    BindRegistryText(statement, 2, name);
}

void BindSecond(sqlite3_stmt* statement, std::uint32_t index)
{
    sqlite3_bind_int64(statement, 2, index);
}

// Reads the one row of which for key id and a name or an index under a read
// operation: onRow takes it and gives the result; no row answers missing.
template <typename Second, typename OnRow>
int ReadKeyRow(std::int64_t id, std::uint64_t generation, RegistrySql which, Second second, int missing,
               std::string_view failure, OnRow onRow)
{
    return RunOnKey(RegistryDatabase::Access::Read, id, generation, [&] {
        sqlite3_stmt* statement = Db().Statement(which);
        if (!statement)
            return kErrorRegistryIoFailed;
        sqlite3_bind_int64(statement, 1, id);
        BindSecond(statement, second);
        int rc = Db().Step(statement);
        int status = missing;
        if (rc == SQLITE_ROW)
            status = onRow(statement);
        else if (rc != SQLITE_DONE)
            status = Db().Fail(failure);
        sqlite3_reset(statement);
        return status;
    });
}

int DeleteResolved(std::int64_t id, std::string_view path, bool tree)
{
    std::int64_t target = 0;
    if (int result = ResolvePath(id, path, &target); result != kErrorSuccess)
        return result;
    if (IsRootId(target))
        return kErrorAccessDenied;
    if (tree) {
        if (int result = RunDelete(RegistrySql::DeleteTreeValues, target); result != kErrorSuccess)
            return result;
        return RunDelete(RegistrySql::DeleteTreeKeys, target);
    }
    sqlite3_stmt* statement = Db().Statement(RegistrySql::HasChildren);
    if (!statement)
        return kErrorRegistryIoFailed;
    sqlite3_bind_int64(statement, 1, target);
    int rc = Db().Step(statement);
    if (rc == SQLITE_ROW)
        return kErrorKeyHasChildren;
    if (rc != SQLITE_DONE)
        return Db().Fail("cannot look up subkeys");
    if (int result = RunDelete(RegistrySql::DeleteKeyValues, target); result != kErrorSuccess)
        return result;
    return RunDelete(RegistrySql::DeleteKeyRow, target);
}

} // namespace

bool SplitKeyPath(std::string_view path, std::vector<std::string_view>& names)
{
    names.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view name = path.substr(start, end - start);
        if (HasNul(name))
            return false;
        if (!name.empty())
            names.push_back(name);
        start = end + 1;
    }
    return true;
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : m_id(other.m_id), m_generation(other.m_generation), m_remote(other.m_remote)
{
    other.m_id = 0;
    other.m_generation = 0;
    other.m_remote = nullptr;
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept
{
    if (this != &other) {
        Close();
        m_id = other.m_id;
        m_generation = other.m_generation;
        m_remote = other.m_remote;
        other.m_id = 0;
        other.m_generation = 0;
        other.m_remote = nullptr;
    }
    return *this;
}

void RegistryKey::Close()
{
    if (m_remote)
        RemoteKeyOps::Close(*this);
    m_remote = nullptr;
    // The hive keeps no state for a handle: closing forgets the key id.
    m_id = 0;
    m_generation = 0;
}

const RegistryKey& RegistryKey::LocalMachine()
{
    static const RegistryKey root(kLocalMachineId, 0);
    return root;
}

const RegistryKey& RegistryKey::CurrentUser()
{
    static const RegistryKey root(kCurrentUserId, 0);
    return root;
}

const RegistryKey& RegistryKey::Users()
{
    static const RegistryKey root(kUsersId, 0);
    return root;
}

int RegistryKey::Open(std::string_view path, RegistryKey& result) const
{
    if (m_remote)
        return RemoteKeyOps::Open(*this, path, result, nullptr, false);
    std::int64_t id = m_id;
    std::uint64_t generation = m_generation;
    result.Close();
    std::int64_t found = 0;
    int status = RunOnKey(RegistryDatabase::Access::Read, id, generation,
                          [&] { return ResolvePath(id, path, &found); });
    if (status == kErrorSuccess)
        result = RegistryKey(found, Db().Generation());
    return status;
}

int RegistryKey::Create(std::string_view path, RegistryKey& result, RegistryDisposition* disposition) const
{
    if (m_remote)
        return RemoteKeyOps::Open(*this, path, result, disposition, true);
    std::int64_t id = m_id;
    std::uint64_t generation = m_generation;
    result.Close();
    std::vector<std::string_view> names;
    if (!SplitKeyPath(path, names))
        return kErrorInvalidParameter;
    bool created = false;
    int status = RunOnKey(RegistryDatabase::Access::Write, id, generation, [&] {
        for (std::string_view name : names) {
            std::int64_t child = created ? 0 : FindChild(id, name);
            if (child < 0)
                return kErrorRegistryIoFailed;
            if (child > 0) {
                id = child;
                continue;
            }
            sqlite3_stmt* statement = Db().Statement(RegistrySql::InsertKey);
            if (!statement)
                return kErrorRegistryIoFailed;
            sqlite3_bind_int64(statement, 1, id);
            BindRegistryText(statement, 2, name);
            if (Db().Step(statement) != SQLITE_DONE)
                return Db().Fail("cannot create a key");
            id = sqlite3_last_insert_rowid(sqlite3_db_handle(statement));
            created = true;
        }
        return kErrorSuccess;
    });
    if (status != kErrorSuccess)
        return status;
    result = RegistryKey(id, Db().Generation());
    if (disposition)
        *disposition = created ? RegistryDisposition::CreatedNewKey : RegistryDisposition::OpenedExistingKey;
    return kErrorSuccess;
}

int RegistryKey::SetValue(std::string_view name, std::uint32_t type, const void* data, std::size_t size) const
{
    if (m_remote)
        return RemoteKeyOps::SetValue(*this, name, type, data, size);
    if (HasNul(name) || (!data && size))
        return kErrorInvalidParameter;
    return RunOnKey(RegistryDatabase::Access::Write, m_id, m_generation, [&] {
        sqlite3_stmt* statement = Db().Statement(RegistrySql::UpsertValue);
        if (!statement)
            return kErrorRegistryIoFailed;
        if (size > static_cast<std::size_t>(sqlite3_limit(sqlite3_db_handle(statement), SQLITE_LIMIT_LENGTH, -1)))
            return kErrorInvalidParameter;
        sqlite3_bind_int64(statement, 1, m_id);
        BindRegistryText(statement, 2, name);
        sqlite3_bind_int64(statement, 3, type);
        if (size)
            sqlite3_bind_blob64(statement, 4, data, size, SQLITE_STATIC);
        else
            sqlite3_bind_zeroblob(statement, 4, 0);
        int status = kErrorSuccess;
        if (Db().Step(statement) != SQLITE_DONE)
            status = Db().Fail("cannot write a value");
        // The blob is bound without a copy: drop it before the caller's buffer goes.
        sqlite3_clear_bindings(statement);
        return status;
    });
}

int RegistryKey::SetString(std::string_view name, std::string_view text, std::uint32_t type) const
{
    std::string bytes(text);
    return SetValue(name, type, bytes.c_str(), bytes.size() + 1);
}

int RegistryKey::SetDword(std::string_view name, std::uint32_t value) const
{
    return SetValue(name, kRegDword, &value, sizeof value);
}

int RegistryKey::SetMultiString(std::string_view name, const std::vector<std::string>& items) const
{
    std::string bytes;
    for (const std::string& item : items) {
        bytes += item;
        bytes += '\0';
    }
    bytes += '\0';
    return SetValue(name, kRegMultiSz, bytes.data(), bytes.size());
}

int RegistryKey::QueryValue(std::string_view name, std::uint32_t* type, void* data, std::size_t* size) const
{
    if (m_remote)
        return RemoteKeyOps::QueryValue(*this, name, type, data, size);
    if (HasNul(name) || (data && !size))
        return kErrorInvalidParameter;
    return ReadKeyRow(m_id, m_generation, RegistrySql::FindValue, name, kErrorFileNotFound, "cannot read a value",
                      [&](sqlite3_stmt* row) { return DeliverValue(row, 0, type, data, size); });
}

int RegistryKey::QueryValue(std::string_view name, RegistryValue& value) const
{
    if (m_remote)
        return RemoteKeyOps::QueryValue(*this, name, value);
    if (HasNul(name))
        return kErrorInvalidParameter;
    return ReadKeyRow(m_id, m_generation, RegistrySql::FindValue, name, kErrorFileNotFound, "cannot read a value",
                      [&](sqlite3_stmt* row) {
                          TakeValue(row, 0, value);
                          return kErrorSuccess;
                      });
}

int RegistryKey::QueryString(std::string_view name, std::string& text) const
{
    RegistryValue value;
    int status = QueryValue(name, value);
    if (status != kErrorSuccess)
        return status;
    const char* bytes = reinterpret_cast<const char*>(value.data.data());
    text.assign(bytes, ::strnlen(bytes ? bytes : "", value.data.size()));
    return kErrorSuccess;
}

int RegistryKey::QueryDword(std::string_view name, std::uint32_t& value) const
{
    RegistryValue stored;
    int status = QueryValue(name, stored);
    if (status != kErrorSuccess)
        return status;
    if (stored.data.size() != sizeof value)
        return kErrorUnsupportedType;
    std::memcpy(&value, stored.data.data(), sizeof value);
    return kErrorSuccess;
}

int RegistryKey::EnumValue(std::uint32_t index, std::string& name, std::uint32_t* type, void* data,
                           std::size_t* size) const
{
    if (m_remote)
        return RemoteKeyOps::EnumValue(*this, index, name, type, data, size);
    if (data && !size)
        return kErrorInvalidParameter;
    return ReadKeyRow(m_id, m_generation, RegistrySql::ValueAt, index, kErrorNoMoreItems, "cannot enumerate values",
                      [&](sqlite3_stmt* row) {
                          name = ColumnText(row, 0);
                          return DeliverValue(row, 1, type, data, size);
                      });
}

int RegistryKey::EnumValue(std::uint32_t index, std::string& name, RegistryValue& value) const
{
    if (m_remote)
        return RemoteKeyOps::EnumValue(*this, index, name, value);
    return ReadKeyRow(m_id, m_generation, RegistrySql::ValueAt, index, kErrorNoMoreItems, "cannot enumerate values",
                      [&](sqlite3_stmt* row) {
                          name = ColumnText(row, 0);
                          TakeValue(row, 1, value);
                          return kErrorSuccess;
                      });
}

int RegistryKey::EnumKey(std::uint32_t index, std::string& name) const
{
    if (m_remote)
        return RemoteKeyOps::EnumKey(*this, index, name);
    return ReadKeyRow(m_id, m_generation, RegistrySql::ChildAt, index, kErrorNoMoreItems, "cannot enumerate subkeys",
                      [&](sqlite3_stmt* row) {
                          name = ColumnText(row, 0);
                          return kErrorSuccess;
                      });
}

int RegistryKey::QueryInfo(std::uint32_t* subkeys, std::uint32_t* values) const
{
    if (m_remote)
        return RemoteKeyOps::QueryInfo(*this, subkeys, values);
    return RunOnKey(RegistryDatabase::Access::Read, m_id, m_generation, [&] {
        int status = RunCountQuery(RegistrySql::CountChildren, m_id, subkeys);
        return status == kErrorSuccess ? RunCountQuery(RegistrySql::CountValues, m_id, values) : status;
    });
}

int RegistryKey::QueryPath(std::string& path) const
{
    if (m_remote)
        return RemoteKeyOps::QueryPath(*this, path);
    return RunOnKey(RegistryDatabase::Access::Read, m_id, m_generation, [&] {
        std::vector<std::string> names;
        std::int64_t id = m_id;
        for (int steps = 0; id != 0; ++steps) {
            sqlite3_stmt* statement = Db().Statement(RegistrySql::KeyInfo);
            if (!statement)
                return kErrorRegistryIoFailed;
            sqlite3_bind_int64(statement, 1, id);
            if (steps >= kMaxParentWalk || Db().Step(statement) != SQLITE_ROW)
                return Db().Fail("a key's parent chain is broken");
            names.emplace_back(ColumnText(statement, 1));
            id = sqlite3_column_type(statement, 0) == SQLITE_NULL ? 0 : sqlite3_column_int64(statement, 0);
            sqlite3_reset(statement);
        }
        path.clear();
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            if (!path.empty())
                path += '\\';
            path += *name;
        }
        return kErrorSuccess;
    });
}

int RegistryKey::DeleteValue(std::string_view name) const
{
    if (m_remote)
        return RemoteKeyOps::Delete(*this, 0, name);
    if (HasNul(name))
        return kErrorInvalidParameter;
    return RunOnKey(RegistryDatabase::Access::Write, m_id, m_generation, [&] {
        int changes = 0;
        int status = RunDelete(RegistrySql::DeleteValue, m_id, name, true, &changes);
        return status == kErrorSuccess && changes == 0 ? kErrorFileNotFound : status;
    });
}

int RegistryKey::DeleteKey(std::string_view path) const
{
    if (m_remote)
        return RemoteKeyOps::Delete(*this, 1, path);
    return RunOnKey(RegistryDatabase::Access::Write, m_id, m_generation,
                    [&] { return DeleteResolved(m_id, path, false); });
}

int RegistryKey::DeleteTree(std::string_view path) const
{
    if (m_remote)
        return RemoteKeyOps::Delete(*this, 2, path);
    return RunOnKey(RegistryDatabase::Access::Write, m_id, m_generation,
                    [&] { return DeleteResolved(m_id, path, true); });
}

RegistryTransaction::RegistryTransaction() : m_lock(Db().Mutex())
{
    m_status = Db().Enter(RegistryDatabase::Access::Write, &m_outermost);
    m_finished = m_status != kErrorSuccess;
}

RegistryTransaction::RegistryTransaction(const RegistryKey& on) : m_remote(on.Remote())
{
    if (!m_remote) {
        m_lock = std::unique_lock<std::recursive_mutex>(Db().Mutex());
        m_status = Db().Enter(RegistryDatabase::Access::Write, &m_outermost);
    } else {
        m_status = RemoteKeyOps::Transaction(*m_remote, 0);
    }
    m_finished = m_status != kErrorSuccess;
}

RegistryTransaction::~RegistryTransaction()
{
    if (!m_finished && m_remote)
        RemoteKeyOps::Transaction(*m_remote, 2);
    else if (!m_finished)
        Db().Leave(m_outermost, false);
}

int RegistryTransaction::Commit()
{
    if (m_finished)
        return m_status == kErrorSuccess ? kErrorInvalidHandle : m_status;
    m_finished = true;
    if (m_remote)
        return m_status = RemoteKeyOps::Transaction(*m_remote, 1);
    int doom = Db().DoomCode();
    m_status = Db().Leave(m_outermost, true);
    if (!m_outermost && m_status == kErrorSuccess)
        m_status = doom;
    return m_status == kErrorSuccess ? kErrorSuccess : m_status;
}

RegistrySnapshot::RegistrySnapshot() : m_lock(Db().Mutex())
{
    m_status = Db().Enter(RegistryDatabase::Access::Read, &m_outermost);
}

RegistrySnapshot::~RegistrySnapshot()
{
    if (m_status == kErrorSuccess)
        Db().Leave(m_outermost, true);
}

void CloseRegistryDatabase()
{
    std::lock_guard<std::recursive_mutex> lock(Db().Mutex());
    Db().Close();
}

std::string RegistryErrorText(int code)
{
    switch (code) {
    case kErrorSuccess: return "success";
    case kErrorFileNotFound: return "not found";
    case kErrorAccessDenied: return "access denied";
    case kErrorInvalidHandle: return "invalid key handle";
    case kErrorInvalidParameter: return "invalid parameter";
    case kErrorMoreData: return "more data is available";
    case kErrorNoMoreItems: return "no more items";
    case kErrorRegistryIoFailed: return "the registry database failed";
    case kErrorKeyDeleted: return "the key has been deleted";
    case kErrorKeyHasChildren: return "the key has subkeys";
    case kErrorRequestAborted: return "the transaction was rolled back";
    case kErrorUnsupportedType: return "the value has the wrong size for its use";
    default: return "error " + std::to_string(code);
    }
}

const RegistryKey* SplitRegistryPath(std::string_view fullPath, std::string_view* rest)
{
    struct RootName {
        const char* longName;
        const char* shortName;
        const RegistryKey& (*root)();
    };
    static const RootName kRoots[] = {
        {"HKEY_LOCAL_MACHINE", "HKLM", &RegistryKey::LocalMachine},
        {"HKEY_CURRENT_USER", "HKCU", &RegistryKey::CurrentUser},
        {"HKEY_USERS", "HKU", &RegistryKey::Users},
    };
    std::size_t end = fullPath.find('\\');
    std::string_view first = fullPath.substr(0, end);
    for (const RootName& name : kRoots) {
        if (EqualsIgnoringCase(first, name.longName) || EqualsIgnoringCase(first, name.shortName)) {
            if (rest)
                *rest = end == std::string_view::npos ? std::string_view() : fullPath.substr(end + 1);
            return &name.root();
        }
    }
    return nullptr;
}

} // namespace platform
