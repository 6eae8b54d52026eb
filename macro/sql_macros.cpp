#include "macro/sql_macros.h"

#include "framework/server_log.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "macro/control_macros.h"
#include "macro/expander.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/odbc_thread.h"
#include "macro/registry_values.h"
#include "platform/net.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::uint16_t kLogInformation = 4;

bool Succeeded(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

struct SQLColumn {
    std::string name;
    std::string lowerName;
    SQLSMALLINT type = 0;
    std::uint64_t width = 0;
    std::string value;
};

bool EqualsFolded(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

struct QueryColumns {
    std::vector<SQLColumn> columns;

    // The column a name (any case) or a number in decimal stands for. A
    // later column's name or number wins over an earlier one's, and a
    // column's number over its own name. Looked up in place: a map of the
    // names cost a page of 20 rows some 80 allocations.
    const SQLColumn* Find(std::string_view key) const
    {
        char digits[8];
        for (std::size_t i = columns.size(); i-- > 0;) {
            auto [end, error] = std::to_chars(digits, digits + sizeof digits, i + 1);
            if (error == std::errc() && key == std::string_view(digits, end - digits))
                return &columns[i];
            if (EqualsFolded(key, columns[i].lowerName))
                return &columns[i];
        }
        return nullptr;
    }

    // A column number in decimal, 1 to the count; -1 otherwise.
    long Number(const char* text) const
    {
        if (text == nullptr)
            return -1;
        long number = 0;
        const char* end = text + std::strlen(text);
        auto [at, error] = std::from_chars(text, end, number);
        if (error != std::errc() || at != end || number < 1 || number > static_cast<long>(columns.size()))
            return -1;
        return number;
    }
};

// Gives a connection back on every path: to the pool when pooled (closing it
// when its source left the pool meanwhile), else closed.
struct ConnectionHolder {
    const char* source = nullptr;
    SQLHDBC hdbc = SQL_NULL_HDBC;
    int pooled = 0;
    ~ConnectionHolder()
    {
        if (hdbc == SQL_NULL_HDBC)
            return;
        try {
            if (!pooled || ReleaseConnection(source, hdbc) == 0)
                CloseConnection(hdbc);
        } catch (...) {
        }
    }
    // A lost connection leaves the pool, so the next caller connects afresh.
    void Drop() const
    {
        if (pooled)
            DiscardConnection(source, hdbc);
    }
};

struct StatementHolder {
    SQLHSTMT hstmt = SQL_NULL_HSTMT;
    ~StatementHolder()
    {
        if (hstmt == SQL_NULL_HSTMT)
            return;
        // A cancel given up that still runs on the handle frees it itself.
        if (ODBCStatementEnded(hstmt))
            SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    }
};

bool DiagRecord(SQLSMALLINT type, SQLHANDLE handle, std::string& state, SQLINTEGER& native, std::string& message)
{
    if (handle == SQL_NULL_HANDLE)
        return false;
    SQLCHAR stateBuffer[6] = {};
    SQLCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetDiagRec(type, handle, 1, stateBuffer, &native, text, sizeof text, &length)))
        return false;
    state = reinterpret_cast<char*>(stateBuffer);
    message = reinterpret_cast<char*>(text);
    return true;
}

// The error step: one ODBC macro error from the most specific record; a
// driver that left none still gives a message.
void RaiseODBCError(const ODBCQuery& query, SQLHDBC hdbc, SQLHSTMT hstmt)
{
    std::string state = "HY000";
    std::string message = "unknown";
    SQLINTEGER native = 0;
    if (!DiagRecord(SQL_HANDLE_STMT, hstmt, state, native, message) &&
        !DiagRecord(SQL_HANDLE_DBC, hdbc, state, native, message) &&
        !DiagRecord(SQL_HANDLE_ENV, ODBCEnvironment(), state, native, message)) {
        state = "HY000";
        message = "unknown";
        native = 0;
    }
    std::string text = "(" + state + ") " + message;
    MacroError(query.out, query.scope, kODBCErrorType, static_cast<unsigned>(native), text.c_str(), 1);
}

bool SessionEnded(std::string_view state)
{
    return state == "57P01" || state == "57P02" || state == "57P03";
}

// A state of the lost-connection kind: class 08, or the server ending the
// session (57P01, 57P02 and 57P03, as a restarting PostgreSQL reports first).
bool ConnectionLost(SQLHDBC hdbc, SQLHSTMT hstmt)
{
    const std::pair<SQLSMALLINT, SQLHANDLE> handles[] = {{SQL_HANDLE_STMT, hstmt}, {SQL_HANDLE_DBC, hdbc}};
    for (auto [type, handle] : handles) {
        if (handle == SQL_NULL_HANDLE)
            continue;
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        for (SQLSMALLINT record = 1;
             Succeeded(SQLGetDiagRec(type, handle, record, state, &native, nullptr, 0, &length)); ++record) {
            std::string_view text(reinterpret_cast<char*>(state));
            if (text.starts_with("08") || SessionEnded(text))
                return true;
        }
    }
    return false;
}

// Whether a statement that failed on a lost connection provably never
// reached the database: the driver says it had no open connection to send
// it on. Every other lost-connection state may come after the statement
// was sent (a backend ended while it ran reports 57P01 as one ended while
// idle did), so a statement failing so is not sent again; a connection the
// database ended while idle is seen to be gone before it is lent.
bool NeverSent(SQLHSTMT hstmt)
{
    static constexpr std::string_view kNotOpen[] = {"08001", "08003", "08004"};
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;
         Succeeded(SQLGetDiagRec(SQL_HANDLE_STMT, hstmt, record, state, &native, nullptr, 0, &length)); ++record) {
        const std::string_view code(reinterpret_cast<char*>(state));
        if (std::find(std::begin(kNotOpen), std::end(kNotOpen), code) != std::end(kNotOpen))
            return true;
    }
    return false;
}

// givenUp: the call was abandoned while blocked (its socket shut down), so
// whether the database ran the statement cannot be known.
void RaiseCancelled(const ODBCQuery& query, ODBCCancel reason, bool givenUp = false)
{
    std::string text;
    switch (reason) {
    case ODBCCancel::TimedOut:
        text = "(HYT00) Timeout expired: the statement ran longer than " + std::to_string(ODBCQueryTimeoutSeconds()) +
               (givenUp ? " seconds and was given up; whether it took effect cannot be known" : " seconds and was cancelled");
        break;
    case ODBCCancel::ClientLeft:
        text = "(HY008) Operation canceled: the client left";
        break;
    case ODBCCancel::Stopped:
    case ODBCCancel::None:
        text = "(HY008) Operation canceled: the service is stopping";
        break;
    }
    MacroError(query.out, query.scope, kODBCErrorType, 0, text.c_str(), 1);
}

// Makes a driver call that may block under the watchdog's eye. False, with
// the macro error raised, when the statement was cancelled before or during
// the call: whatever the call answered then is not used. A call given up
// (its socket shut down, or its cancel left running) lost its connection,
// which leaves the pool before the error is raised: raised inside a try,
// the error unwinds past the caller's own checks.
// A call that came back with its work done although a cancel was asked
// meanwhile did take effect (an INSERT made its row): its answer stands,
// and the page is not told it was cancelled.
template <typename Call>
bool Watched(const ODBCQuery& query, SQLHSTMT hstmt, SQLRETURN& rc, const ConnectionHolder& connection, Call call)
{
    ODBCCancel reason = ODBCCallStarting(hstmt);
    bool called = false;
    if (reason == ODBCCancel::None) {
        rc = call();
        called = true;
        reason = ODBCCallEnded(hstmt);
    }
    if (reason == ODBCCancel::None)
        return true;
    const bool givenUp = ODBCStatementGivenUp(hstmt);
    if (called && !givenUp && (Succeeded(rc) || rc == SQL_NO_DATA))
        return true;
    if (givenUp || ConnectionLost(connection.hdbc, hstmt))
        connection.Drop();
    RaiseCancelled(query, reason, givenUp);
    return false;
}

void ExpandText(CMacroContext* scope, CTextBuffer* out, const char* text, bool raw)
{
    if (raw)
        scope->Expand(out, text, static_cast<int>(std::strlen(text)));
    else
        out->Append(text, static_cast<int>(std::strlen(text)));
}

std::string QuoteLiteral(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

// Reads one column of the current row as text into its value, which keeps
// its room from row to row (growing it; 64-bit sizes, bounded by what one
// expansion may hold). False on a driver error.
bool ReadColumn(const ODBCQuery& query, SQLHSTMT hstmt, SQLUSMALLINT number, SQLColumn& column)
{
    std::string& value = column.value;
    std::uint64_t offset = 0;
    for (;;) {
        if (column.width + 16 > static_cast<std::uint64_t>(kMaxExpansionBytes)) {
            MacroError(query.out, query.scope, kODBCErrorType, kExpansionMemoryErrorNumber,
                       "(HY001) A column value is larger than a page may hold.", 1);
            value.clear();
            return true;
        }
        if (value.size() < column.width + 16)
            value.resize(column.width + 16);
        SQLLEN available = static_cast<SQLLEN>(column.width + 1 - offset);
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(hstmt, number, SQL_C_CHAR, value.data() + offset, available, &indicator);
        if (rc == SQL_NO_DATA) {
            value.resize(offset);
            return true;
        }
        if (!Succeeded(rc)) {
            value.clear();
            return false;
        }
        if (indicator == SQL_NULL_DATA) {
            value.clear();
            return true;
        }
        if (indicator == SQL_NO_TOTAL) {
            offset += available - 1;
            column.width += kSQLNoTotalGrowth;
            continue;
        }
        if (indicator < available || rc == SQL_SUCCESS) {
            value.resize(offset + std::min<std::uint64_t>(indicator, available - 1));
            return true;
        }
        offset += available - 1;
        column.width = std::max<std::uint64_t>(column.width, offset + (indicator - (available - 1)));
    }
}

class CColumnMacro : public CMacro {
public:
    explicit CColumnMacro(const QueryColumns* columns) : m_columns(columns) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1 || argv[0] == nullptr)
            return;
        if (const SQLColumn* column = m_columns->Find(argv[0]))
            out->Append(column->value);
    }

private:
    const QueryColumns* m_columns;
};

class CColumnNameMacro : public CMacro {
public:
    CColumnNameMacro(const QueryColumns* columns, bool width) : m_columns(columns), m_width(width) {}
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        long number = argc >= 1 ? m_columns->Number(argv[0]) : -1;
        if (number < 0)
            return;
        const SQLColumn& column = m_columns->columns[number - 1];
        out->Append(m_width ? std::to_string(column.width) : column.name);
    }

private:
    const QueryColumns* m_columns;
    bool m_width;
};

class CEnumColumnMacro : public CMacro {
public:
    explicit CEnumColumnMacro(const QueryColumns* columns) : m_columns(columns) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 1 || argv[0] == nullptr)
            return;
        for (std::size_t i = 0; i < m_columns->columns.size(); ++i) {
            const SQLColumn& column = m_columns->columns[i];
            CMacroContext nested(scope);
            nested.Register("num", std::make_unique<CValueMacro>(std::to_string(i + 1)));
            nested.Register("name", std::make_unique<CValueMacro>(column.name));
            nested.Register("type", std::make_unique<CValueMacro>(std::to_string(column.type)));
            nested.Register("width", std::make_unique<CValueMacro>(std::to_string(column.width)));
            nested.ExpandArgument(out, argv[0]);
        }
    }

private:
    const QueryColumns* m_columns;
};

std::string IdentifierQuote(SQLHDBC hdbc)
{
    SQLCHAR quote[8] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetInfo(hdbc, SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length)))
        return "\"";
    return reinterpret_cast<char*>(quote);
}

class CSQLMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 2 || argv[0] == nullptr || argv[1] == nullptr)
            return;
        ODBCQuery query;
        query.scope = scope;
        query.out = out;
        query.source = argv[0];
        query.statement = argv[1];
        query.rowText = argc >= 3 ? argv[2] : nullptr;
        query.beforeText = argc >= 4 ? argv[3] : nullptr;
        query.afterText = argc >= 5 ? argv[4] : nullptr;
        // Decided here: the ODBC thread cannot see this fiber's raw arguments.
        query.rowRaw = query.rowText && IsRawArgument(query.rowText);
        query.beforeRaw = query.beforeText && IsRawArgument(query.beforeText);
        query.afterRaw = query.afterText && IsRawArgument(query.afterText);
        SQLQuery(query);
    }
};

// sql-insert(source, table, field, ...): a field is "column" or
// "column=formfield"; every value is the form field's text as a literal.
class CSQLInsertMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc < 3 || argv[0] == nullptr || argv[1] == nullptr || argv[2] == nullptr)
            return;
        ODBCInsert insert;
        insert.table = argv[1];
        for (int i = 2; i < argc; ++i) {
            std::string_view field = argv[i] ? argv[i] : "";
            std::size_t start = field.find_first_not_of('=');
            std::string_view column = start == std::string_view::npos ? std::string_view() : field.substr(start);
            column = column.substr(0, column.find('='));
            std::string_view rest = start == std::string_view::npos ? std::string_view() : field.substr(start + column.size());
            std::size_t second = rest.find_first_not_of('=');
            std::string_view formName = second == std::string_view::npos ? std::string_view() : rest.substr(second);
            formName = formName.substr(0, formName.find('='));
            if (formName.empty())
                formName = field;
            CTextBuffer value(64, 64);
            scope->Expand(&value, "%form(" + std::string(formName) + ")");
            std::string text = value.ToString();
            // Drivers end a statement's text at a NUL whatever length it is
            // passed with, which would leave a literal open (or, worse,
            // closed early): such a value is refused, not cut.
            if (text.find('\0') != std::string::npos) {
                MacroError(out, scope, kODBCErrorType, 0,
                           ("(22000) The value of form field " + std::string(formName) +
                            " holds a NUL character, which a statement cannot carry")
                               .c_str(),
                           1);
                return;
            }
            insert.columns.emplace_back(column);
            insert.values.push_back(QuoteLiteral(text));
        }
        ODBCQuery query;
        query.scope = scope;
        query.out = out;
        query.source = argv[0];
        query.insert = &insert;
        query.rowText = "";
        SQLQuery(query);
    }
};

class CSQLQuoteMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer* out, const char** argv, int argc) override
    {
        if (argc >= 1 && argv[0] != nullptr)
            out->Append(QuoteLiteral(argv[0]));
    }
};

class CSQLFlushMacro : public CMacro {
public:
    void Evaluate(CMacroContext*, CTextBuffer*, const char** argv, int argc) override
    {
        FlushConnection(argc >= 1 ? argv[0] : nullptr);
    }
};

enum class Attempt { Done, Retry, Deferred };

// Whether a pooled connection that sat idle is still there: the driver's
// own word first, then a statement that costs the database nothing. Only a
// lost-connection answer counts; a database that does not know SELECT 1
// still has the connection.
enum class Probe { Connected, Lost, Cancelled };

Probe StillConnected(const ODBCQuery& query, const ConnectionHolder& connection)
{
    const SQLHDBC hdbc = connection.hdbc;
    SQLUINTEGER dead = SQL_CD_FALSE;
    if (Succeeded(SQLGetConnectAttr(hdbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE)
        return Probe::Lost;
    StatementHolder probe;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, hdbc, &probe.hstmt))) {
        probe.hstmt = SQL_NULL_HSTMT;
        return ConnectionLost(hdbc, SQL_NULL_HSTMT) ? Probe::Lost : Probe::Connected;
    }
    ODBCStatementStarted(probe.hstmt, hdbc);
    SQLSetStmtAttr(probe.hstmt, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(ODBCQueryTimeoutSeconds())), 0);
    SQLRETURN rc = SQL_ERROR;
    if (!Watched(query, probe.hstmt, rc, connection, [&] {
            return SQLExecDirect(probe.hstmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>("SELECT 1")), SQL_NTS);
        }))
        return Probe::Cancelled; // the error is raised
    const bool lost = !Succeeded(rc) && rc != SQL_NO_DATA && ConnectionLost(hdbc, probe.hstmt);
    return lost ? Probe::Lost : Probe::Connected;
}

// One try of a statement. Only a statement that cannot have reached the
// database is tried again: one that failed as the connection was lost may
// have run (an INSERT committed before the reply was lost), and running it
// twice would insert twice. A database restart still costs no page an
// error, since a pooled connection idle a while is looked at before use.
Attempt RunQuery(const ODBCQuery& query, bool mayRetry)
{
    ConnectionHolder connection;
    connection.source = query.source;
    ODBCLease own;
    ODBCLease& lease = query.lease ? *query.lease : own;
    SQLRETURN got = lease.result;
    if (lease.given) {
        lease.given = false;
    } else {
        got = AcquireConnection(query.source, lease, query.lease != nullptr);
        if (lease.deferred)
            return Attempt::Deferred;
    }
    connection.hdbc = lease.hdbc;
    connection.pooled = lease.pooled;
    lease.hdbc = SQL_NULL_HDBC;
    if (!Succeeded(got)) {
        // The request thread takes no connect for a client that left.
        if (const int client = GetClientHandle(); client >= 0 && platform::PeerHungUp(client))
            RaiseCancelled(query, ODBCCancel::ClientLeft);
        else if (!lease.error.empty())
            MacroError(query.out, query.scope, kODBCErrorType, lease.errorNumber, lease.error.c_str(), 1);
        else
            RaiseODBCError(query, connection.hdbc, SQL_NULL_HSTMT);
        return Attempt::Done;
    }
    // A lost connection leaves the pool, so the next caller connects afresh.
    auto lost = [&](SQLHSTMT hstmt) {
        if (!ConnectionLost(connection.hdbc, hstmt))
            return false;
        connection.Drop();
        return true;
    };
    if (lease.check) {
        switch (StillConnected(query, connection)) {
        case Probe::Connected:
            break;
        case Probe::Cancelled:
            return Attempt::Done;
        case Probe::Lost:
            connection.Drop();
            if (mayRetry)
                return Attempt::Retry;
            break;
        }
    }
    StatementHolder statement;
    if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, connection.hdbc, &statement.hstmt))) {
        statement.hstmt = SQL_NULL_HSTMT;
        if (lost(SQL_NULL_HSTMT) && mayRetry)
            return Attempt::Retry;
        RaiseODBCError(query, connection.hdbc, SQL_NULL_HSTMT);
        return Attempt::Done;
    }
    ODBCStatementStarted(statement.hstmt, connection.hdbc);
    // Drivers that keep it report the time-out themselves; for the others
    // the watchdog cancels the call a little later.
    SQLSetStmtAttr(statement.hstmt, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(ODBCQueryTimeoutSeconds())), 0);
    // The statement text is passed as it is; only an insert is built.
    std::string built = query.insert ? query.insert->Build(IdentifierQuote(connection.hdbc)) : std::string();
    std::string_view text = query.insert ? std::string_view(built) : std::string_view(query.statement);
    SQLRETURN rc = SQL_ERROR;
    if (!Watched(query, statement.hstmt, rc, connection, [&] {
            return SQLExecDirect(statement.hstmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.data())),
                                 static_cast<SQLINTEGER>(text.size()));
        }))
        return Attempt::Done;
    if (!Succeeded(rc) && rc != SQL_NO_DATA) {
        const bool unsent = mayRetry && NeverSent(statement.hstmt);
        if (lost(statement.hstmt) && unsent)
            return Attempt::Retry;
        RaiseODBCError(query, connection.hdbc, statement.hstmt);
        return Attempt::Done;
    }
    SQLSMALLINT count = 0;
    if (!Succeeded(SQLNumResultCols(statement.hstmt, &count))) {
        count = 0;
        RaiseODBCError(query, connection.hdbc, statement.hstmt);
        return Attempt::Done;
    }
    if (count <= 0)
        return Attempt::Done;

    QueryColumns columns;
    columns.columns.resize(count);
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLength = 0, type = 0, digits = 0, nullable = 0;
        SQLULEN precision = 0;
        if (!Succeeded(SQLDescribeCol(statement.hstmt, i, name, 256, &nameLength, &type, &precision, &digits, &nullable))) {
            RaiseODBCError(query, connection.hdbc, statement.hstmt);
            return Attempt::Done;
        }
        SQLColumn& column = columns.columns[i - 1];
        column.name = reinterpret_cast<char*>(name);
        column.type = type;
        std::uint64_t width = precision;
        if (type == SQL_LONGVARCHAR || width < kSQLMinColumnWidth)
            width = kSQLMinColumnWidth;
        column.width = std::min(width, kSQLColumnCap);
        column.lowerName = LowerName(column.name);
    }

    CMacroContext scope(query.scope);
    scope.Register("column-name", std::make_unique<CColumnNameMacro>(&columns, false));
    scope.Register("column-width", std::make_unique<CColumnNameMacro>(&columns, true));
    scope.Register("column", std::make_unique<CColumnMacro>(&columns));
    scope.Register("num-columns", std::make_unique<CValueMacro>(std::to_string(count)));
    scope.Register("enumcolumn", std::make_unique<CEnumColumnMacro>(&columns));
    scope.Register("'enumcolumn", std::make_unique<CConstantMacro>("'"));

    if (query.rowText == nullptr)
        return Attempt::Done;
    if (query.beforeText)
        ExpandText(&scope, query.out, query.beforeText, query.beforeRaw);
    int rows = 0;
    for (;;) {
        if (!Watched(query, statement.hstmt, rc, connection, [&] { return SQLFetch(statement.hstmt); }))
            return Attempt::Done;
        if (rc == SQL_NO_DATA)
            break;
        if (!Succeeded(rc)) {
            RaiseODBCError(query, connection.hdbc, statement.hstmt);
            return Attempt::Done;
        }
        for (SQLSMALLINT i = 1; i <= count; ++i) {
            if (!ReadColumn(query, statement.hstmt, i, columns.columns[i - 1])) {
                RaiseODBCError(query, connection.hdbc, statement.hstmt);
                return Attempt::Done;
            }
        }
        ExpandText(&scope, query.out, query.rowText, query.rowRaw);
        ++rows;
    }
    scope.Register("num-rows", std::make_unique<CValueMacro>(std::to_string(rows)));
    if (query.beforeText && query.afterText)
        ExpandText(&scope, query.out, query.afterText, query.afterRaw);
    return Attempt::Done;
}

} // namespace

void ExecuteSQLQuery(const ODBCQuery& query)
{
    if (RunQuery(query, true) == Attempt::Retry)
        RunQuery(query, false);
}

void RegisterSQLMacros(CMacroContext& global)
{
    if (global.IsReadOnly())
        return;
    if (!StartODBCThread()) {
        LogMessage(kLogInformation, kEventODBCError, {"Could not start ODBC KAV services."});
        return;
    }
    global.Register("sql", std::make_unique<CSQLMacro>());
    global.Register("'sql", std::make_unique<CConstantMacro>("  '''"));
    global.Register("sql-insert", std::make_unique<CSQLInsertMacro>());
    global.Register("sql-quote", std::make_unique<CSQLQuoteMacro>());
    global.Register("sql-flushconnection", std::make_unique<CSQLFlushMacro>());
}
