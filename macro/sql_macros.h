#pragma once
// The SQL macros: sql runs one statement through the ODBC request thread and
// lays its rows out with a row text (and before and after texts) in a query
// scope that defines the column macros; sql-insert builds an INSERT from
// form fields; sql-quote quotes a literal; sql-flushconnection drops pooled
// connections.

#include <cstdint>

class CMacroContext;
struct ODBCQuery;

// Initial column buffers are at least this wide and at most kSQLColumnCap,
// whatever precision the driver reports; a longer value grows its buffer.
inline constexpr std::uint64_t kSQLMinColumnWidth = 256;
inline constexpr std::uint64_t kSQLColumnCap = 65536;
inline constexpr std::uint64_t kSQLNoTotalGrowth = 32768;

// Runs one statement on the calling thread (SQLQuery decides which thread).
void ExecuteSQLQuery(const ODBCQuery& query);

// Starts the ODBC thread; registers sql, 'sql, sql-insert, sql-quote and
// sql-flushconnection when it started (else logs and registers nothing).
void RegisterSQLMacros(CMacroContext& global);
