#pragma once
// pset and pget: named text values that outlive requests and restarts, kept
// in one process-wide table and stored as REG_SZ values under
// Software\Tessaline\Velmora\PersistentValues. The table is loaded once per
// process (at the first engine start), written through by a pset more than
// a minute after the last write-back, and written back at engine stop.

#include "framework/event_lock.h"
#include "macro/macro.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

inline constexpr const char* kPersistentValuesKeyPath = "Software\\Tessaline\\Velmora\\PersistentValues";
inline constexpr std::uint64_t kPersistentWriteBackMs = 60000;

class CPersistentValues {
public:
    // Loads the table the first time only.
    void EnsureLoaded();
    // Removes name; stores value when given; writes back when due.
    void Set(const std::string& lowerName, const char* value);
    std::optional<std::string> Get(const std::string& lowerName);
    bool WriteBack();
    // For tests: forget the table so the next EnsureLoaded reads the hive.
    void ResetForTesting();
    void SetLastWriteForTesting(std::uint64_t tick);

private:
    bool WriteBackLocked();

    CEventLock m_lock;
    bool m_loaded = false;
    std::map<std::string, std::string> m_values;
    std::uint64_t m_lastWrite = 0;
};

CPersistentValues& PersistentValues();

class CPSetMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

class CPGetMacro : public CMacro {
public:
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;
};

// Loads the table when not yet loaded, then registers pset and pget.
void RegisterPersistentMacros(CMacroContext& global);
// The write-back of engine stop.
void PersistentValuesWriteBack();
