#include "eventually.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "macro/macro_context.h"
#include "macro/stat_macros.h"
#include "shared_memory_scope.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

namespace at = server_stat_offset;

// Each macro with the position it must read.
const std::pair<const char*, std::size_t> kGlobalFields[] = {
    {"global-numservers", 4},     {"global-numclients", 8},       {"global-numhits", 16},
    {"global-bytessent", 20},     {"global-bytesreceived", 24},   {"global-securenumhits", 28},
    {"global-securebytessent", 32}, {"global-securebytesreceived", 36}, {"global-stattime", 12},
    {"global-statversion", 0},
};
const std::pair<const char*, std::size_t> kServerFields[] = {
    {"server-numclients", 84},      {"server-numhits", 92},           {"server-bytessent", 96},
    {"server-bytesreceived", 100},  {"server-securenumhits", 104},    {"server-securebytessent", 108},
    {"server-securebytesreceived", 112}, {"server-stattime", 88},     {"server-statversion", 0},
};

class StatMacrosTest : public SharedMemoryTest {
protected:
    void TearDown() override
    {
        DestroyGlobalStatsBlock();
        SharedMemoryTest::TearDown();
    }
    std::string Expand(const CServerStats& stats, std::string_view text)
    {
        CMacroContext scope;
        RegisterGlobalStatMacros(scope);
        RegisterServerStatMacros(scope, stats);
        CTextBuffer out;
        scope.Expand(&out, text);
        return out.ToString();
    }
};

TEST_F(StatMacrosTest, UnmappedBlocksPrintZeroAndNoDescription)
{
    CServerStats stats;
    for (const auto& [name, offset] : kGlobalFields)
        EXPECT_EQ(Expand(stats, "%" + std::string(name) + "%"), "0") << name;
    for (const auto& [name, offset] : kServerFields)
        EXPECT_EQ(Expand(stats, "%" + std::string(name) + "%"), "0") << name;
    EXPECT_EQ(Expand(stats, "[%server-description%]"), "[]");
}

// Every word gets its own value above 2147483647, so a macro that reads the
// wrong field or prints signed shows.
TEST_F(StatMacrosTest, EachMacroPrintsItsOwnFieldUnsigned)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    for (std::size_t offset = 0; offset < 128; offset += 4) {
        GlobalStats().Store(offset, 3000000000u + offset);
        stats.Store(offset, 4000000000u + offset);
    }
    for (const auto& [name, offset] : kGlobalFields)
        EXPECT_EQ(Expand(stats, "%" + std::string(name) + "%"), std::to_string(3000000000u + offset)) << name;
    for (const auto& [name, offset] : kServerFields)
        EXPECT_EQ(Expand(stats, "%" + std::string(name) + "(1,x)"), std::to_string(4000000000u + offset)) << name;
}

TEST_F(StatMacrosTest, ServerValuesAreTheirServersAndGlobalValuesTheSum)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats sales, support;
    ASSERT_TRUE(sales.Create(0, 1, 80, 0, 0));
    ASSERT_TRUE(support.Create(1, 1, 81, 0, 0));
    sales.SetDescription("Sales Intranet");
    support.SetDescription("Support");
    for (int i = 0; i < 2; ++i)
        sales.AddConnection(false, 100, 10);
    for (int i = 0; i < 3; ++i)
        support.AddConnection(true, 1000, 1);
    const char* page = "%server-description%: %server-numhits% of %global-numhits%, %server-bytessent% of "
                       "%global-bytessent%, %server-securenumhits% of %global-securenumhits%";
    EXPECT_EQ(Expand(sales, page), "Sales Intranet: 2 of 5, 200 of 3200, 0 of 3");
    EXPECT_EQ(Expand(support, page), "Support: 3 of 5, 3000 of 3200, 3 of 3");
}

TEST_F(StatMacrosTest, ReadOnlyScopeGetsNothingAndNamesAreReplaced)
{
    CServerStats stats;
    CMacroContext locked, scope;
    locked.SetReadOnly(true);
    RegisterGlobalStatMacros(locked);
    RegisterServerStatMacros(locked, stats);
    EXPECT_EQ(locked.GetStartPosition(), CMacroContext::kNoPosition);
    scope.Register("global-numhits", std::make_unique<CValueMacro>("old"));
    RegisterGlobalStatMacros(scope);
    EXPECT_NE(dynamic_cast<CGlobalStatMacro*>(scope.FindMacro("global-numhits")), nullptr);
}

// A holder that keeps the mutex past the reader's wait: the reader still
// reads, does not release what it never got, and connections still count.
TEST_F(StatMacrosTest, ReadsWhenTheWaitRunsOut)
{
    CServerStats stats;
    ASSERT_TRUE(stats.Create(3, 1, 80, 0, 0));
    stats.SetDescription("Held");
    std::atomic<int> stage{0};
    std::thread holder([&] {
        if (stats.LockMutex(1000)) {
            stage = 1;
            Eventually([&] { return stage.load() == 2; }, 10000);
            stats.UnlockMutex();
        }
    });
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    stats.AddConnection(false, 10, 20);
    const std::uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(Expand(stats, "%server-numhits% %server-description%"), "1 Held");
    EXPECT_GE(platform::MonotonicMs() - start, 2 * kStatMacroWaitMs);
    EXPECT_FALSE(stats.LockMutex(0));
    stage = 2;
    holder.join();
}

} // namespace
