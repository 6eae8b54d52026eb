#pragma once
// The statistics macros: global-* read the process's global statistics
// block, server-* the block of the server they were registered for. Each
// ignores its arguments, waits up to a second for the block's mutex and
// reads anyway when the wait runs out; an unmapped block prints 0 (a text
// field nothing).

#include "macro/macro.h"

#include <cstddef>
#include <cstdint>

class CMacroContext;
class CServerStats;
class CStatsBlock;

// Waits for a block's mutex before reading.
inline constexpr std::uint32_t kStatMacroWaitMs = 1000;

class CGlobalStatMacro : public CMacro {
public:
    // isSigned prints the word as a signed number; no registered macro sets it.
    explicit CGlobalStatMacro(std::size_t offset, bool isSigned = false) : m_offset(offset), m_signed(isSigned) {}
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    std::size_t m_offset;
    bool m_signed;
};

class CServerStatMacro : public CMacro {
public:
    enum class Kind { numeric, text };

    // server must outlive the macro (the server's scope dies with it).
    CServerStatMacro(const CServerStats* server, std::size_t offset, Kind kind, bool isSigned = false)
        : m_server(server), m_offset(offset), m_kind(kind), m_signed(isSigned)
    {
    }
    void Evaluate(CMacroContext* scope, CTextBuffer* out, const char** argv, int argc) override;

private:
    const CServerStats* m_server;
    std::size_t m_offset;
    Kind m_kind;
    bool m_signed;
};

// Registers the global-* macros in scope, in table order; nothing when the
// scope is read-only, and a macro of the same name is replaced.
void RegisterGlobalStatMacros(CMacroContext& scope);
// Registers the server-* macros reading server's block, on the same rule.
void RegisterServerStatMacros(CMacroContext& scope, const CServerStats& server);
