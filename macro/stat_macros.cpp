#include "macro/stat_macros.h"

#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "macro/macro_context.h"

#include <charconv>
#include <cstdint>
#include <memory>

namespace {

struct GlobalRow {
    const char* name;
    std::size_t offset;
};

constexpr GlobalRow kGlobalRows[] = {
    {"global-numservers", stats_offset::kNumServers},
    {"global-numclients", stats_offset::kNumClients},
    {"global-numhits", stats_offset::kHits},
    {"global-bytessent", stats_offset::kBytesSent},
    {"global-bytesreceived", stats_offset::kBytesReceived},
    {"global-securenumhits", stats_offset::kSecureHits},
    {"global-securebytessent", stats_offset::kSecureBytesSent},
    {"global-securebytesreceived", stats_offset::kSecureBytesReceived},
    {"global-stattime", stats_offset::kStartTime},
    {"global-statversion", stats_offset::kVersion},
};

struct ServerRow {
    const char* name;
    std::size_t offset;
    CServerStatMacro::Kind kind;
};

constexpr ServerRow kServerRows[] = {
    {"server-numclients", server_stat_offset::kNumClients, CServerStatMacro::Kind::numeric},
    {"server-numhits", server_stat_offset::kNumHits, CServerStatMacro::Kind::numeric},
    {"server-bytessent", server_stat_offset::kBytesSent, CServerStatMacro::Kind::numeric},
    {"server-bytesreceived", server_stat_offset::kBytesReceived, CServerStatMacro::Kind::numeric},
    {"server-securenumhits", server_stat_offset::kSecureNumHits, CServerStatMacro::Kind::numeric},
    {"server-securebytessent", server_stat_offset::kSecureBytesSent, CServerStatMacro::Kind::numeric},
    {"server-securebytesreceived", server_stat_offset::kSecureBytesReceived, CServerStatMacro::Kind::numeric},
    {"server-stattime", server_stat_offset::kStatTime, CServerStatMacro::Kind::numeric},
    {"server-statversion", server_stat_offset::kVersion, CServerStatMacro::Kind::numeric},
    {"server-description", server_stat_offset::kDescription, CServerStatMacro::Kind::text},
};

void AppendNumber(CTextBuffer* out, const CStatsBlock* block, std::size_t offset, bool isSigned)
{
    std::uint32_t value = 0;
    if (block && block->IsMapped()) {
        const bool locked = block->LockMutex(kStatMacroWaitMs);
        value = block->Read(offset);
        if (locked)
            block->UnlockMutex();
    }
    char digits[16];
    const auto result = isSigned ? std::to_chars(digits, digits + sizeof digits, static_cast<std::int32_t>(value))
                                 : std::to_chars(digits, digits + sizeof digits, value);
    out->Append(digits, static_cast<int>(result.ptr - digits));
}

void AppendText(CTextBuffer* out, const CStatsBlock* block, std::size_t offset)
{
    if (!block || !block->IsMapped())
        return;
    const bool locked = block->LockMutex(kStatMacroWaitMs);
    const std::string text = block->ReadText(offset, server_stat_offset::kDescriptionBytes);
    if (locked)
        block->UnlockMutex();
    out->Append(text);
}

} // namespace

void CGlobalStatMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    AppendNumber(out, &GlobalStats(), m_offset, m_signed);
}

void CServerStatMacro::Evaluate(CMacroContext*, CTextBuffer* out, const char**, int)
{
    if (m_kind == Kind::text)
        AppendText(out, m_server, m_offset);
    else
        AppendNumber(out, m_server, m_offset, m_signed);
}

void RegisterGlobalStatMacros(CMacroContext& scope)
{
    for (const GlobalRow& row : kGlobalRows)
        scope.Register(row.name, std::make_unique<CGlobalStatMacro>(row.offset));
}

void RegisterServerStatMacros(CMacroContext& scope, const CServerStats& server)
{
    for (const ServerRow& row : kServerRows)
        scope.Register(row.name, std::make_unique<CServerStatMacro>(&server, row.offset, row.kind));
}
