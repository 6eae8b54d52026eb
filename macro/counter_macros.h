#pragma once
// The counter macro: named hit counters kept in one shared table and stored
// as REG_DWORD values under Software\Tessaline\Velmora\Counters. A count
// reaches the registry at the first increment more than a minute after the
// last write-back, when the macro object goes (the next engine start) and
// at engine stop.

#include "framework/event_lock.h"
#include "macro/macro.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

inline constexpr const char* kCountersKeyPath = "Software\\Tessaline\\Velmora\\Counters";
inline constexpr std::uint64_t kCounterWriteBackMs = 60000;

class CCounterTable {
public:
    ~CCounterTable();
    void Load();
    // Stores every count as one transaction; false when the hive refused.
    bool WriteBack();
    std::uint32_t Increment(const std::string& lowerName);
    // The count, 0 for a counter that does not exist (none is created).
    std::uint32_t Read(const std::string& lowerName);
    void Set(const std::string& lowerName, std::uint32_t count);
    // For tests: pretends the last write-back happened at tick.
    void SetLastWriteForTesting(std::uint64_t tick);

private:
    bool WriteBackLocked();

    CEventLock m_lock;
    std::map<std::string, std::uint32_t> m_counts;
    std::uint64_t m_lastWrite = 0;
};

// counter([name], [operation]): see the table in counter_macros.cpp.
class CCounterMacro : public CMacro {
public:
    CCounterMacro();
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
    CCounterTable& Table() { return *m_table; }
    const std::shared_ptr<CCounterTable>& SharedTable() const { return m_table; }

private:
    std::shared_ptr<CCounterTable> m_table;
};

// Builds a counter table, loads it, and registers counter in scope.
void RegisterCounterMacros(CMacroContext& global);
// Writes the current table back (engine stop).
void CounterWriteBack();
