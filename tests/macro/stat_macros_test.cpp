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

const char* const kGlobalNames[] = {
    "global-numservers",      "global-numclients",          "global-numhits",  "global-bytessent",
    "global-bytesreceived",   "global-securenumhits",       "global-securebytessent",
    "global-securebytesreceived", "global-stattime",        "global-statversion",
};

const char* const kServerNumericNames[] = {
    "server-numclients",      "server-numhits",             "server-bytessent", "server-bytesreceived",
    "server-securenumhits",   "server-securebytessent",     "server-securebytesreceived",
    "server-stattime",        "server-statversion",
};

std::string Expand(CMacroContext& scope, std::string_view text)
{
    CTextBuffer out;
    scope.Expand(&out, text);
    return out.ToString();
}

class StatMacrosTest : public SharedMemoryTest {
protected:
    void SetUp() override
    {
        SharedMemoryTest::SetUp();
        RegisterGlobalStatMacros(m_global);
    }
    void TearDown() override
    {
        DestroyGlobalStatsBlock();
        SharedMemoryTest::TearDown();
    }

    CMacroContext m_global;
};

TEST_F(StatMacrosTest, UnmappedBlocksPrintZeroAndNoDescription)
{
    CServerStats stats;
    CMacroContext server(&m_global);
    RegisterServerStatMacros(server, stats);
    for (const char* name : kGlobalNames)
        EXPECT_EQ(Expand(server, "%" + std::string(name) + "%"), "0") << name;
    for (const char* name : kServerNumericNames)
        EXPECT_EQ(Expand(server, "%" + std::string(name) + "%"), "0") << name;
    EXPECT_EQ(Expand(server, "[%server-description%]"), "[]");
}

TEST_F(StatMacrosTest, EachMacroReadsItsOwnField)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    // Distinct values in every field, so a macro reading the wrong one shows.
    for (std::size_t i = 0; i < 10; ++i)
        GlobalStats().Store(i * 4, 1000 + static_cast<std::uint32_t>(i));
    for (std::size_t offset = at::kNumClients; offset <= at::kSecureBytesReceived; offset += 4)
        stats.Store(offset, 2000 + static_cast<std::uint32_t>(offset));
    stats.Store(at::kVersion, 2000);
    CMacroContext server(&m_global);
    RegisterServerStatMacros(server, stats);

    const std::size_t globalOffsets[] = {4, 8, 16, 20, 24, 28, 32, 36, 12, 0};
    for (std::size_t i = 0; i < std::size(kGlobalNames); ++i)
        EXPECT_EQ(Expand(server, "%" + std::string(kGlobalNames[i]) + "%"), std::to_string(1000 + globalOffsets[i] / 4))
            << kGlobalNames[i];
    const std::size_t serverOffsets[] = {84, 92, 96, 100, 104, 108, 112, 88, 0};
    for (std::size_t i = 0; i < std::size(kServerNumericNames); ++i)
        EXPECT_EQ(Expand(server, "%" + std::string(kServerNumericNames[i]) + "%"),
                  std::to_string(2000 + serverOffsets[i]))
            << kServerNumericNames[i];
    // Arguments are ignored.
    EXPECT_EQ(Expand(server, "%server-numhits(7,x)"), "2092");
}

TEST_F(StatMacrosTest, CountsAboveTheSignedRangePrintUnsigned)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats stats;
    ASSERT_TRUE(stats.Create(0, 1, 80, 0, 0));
    CMacroContext server(&m_global);
    RegisterServerStatMacros(server, stats);
    GlobalStats().Store(stats_offset::kBytesSent, 4294967295u);
    stats.Store(at::kNumHits, 2147483648u);
    EXPECT_EQ(Expand(server, "%global-bytessent%"), "4294967295");
    EXPECT_EQ(Expand(server, "%server-numhits%"), "2147483648");
    // Only a macro made signed reads the same word as negative.
    CGlobalStatMacro signedMacro(stats_offset::kBytesSent, true);
    CTextBuffer out;
    signedMacro.Evaluate(&server, &out, nullptr, 0);
    EXPECT_EQ(out.ToString(), "-1");
}

TEST_F(StatMacrosTest, ServerValuesAreTheirServersAndGlobalValuesTheSum)
{
    ASSERT_TRUE(CreateGlobalStatsBlock());
    CServerStats sales, support;
    ASSERT_TRUE(sales.Create(0, 1, 80, 0, 0));
    ASSERT_TRUE(support.Create(1, 1, 81, 0, 0));
    sales.SetDescription("Sales Intranet");
    support.SetDescription("Support");
    CMacroContext salesScope(&m_global), supportScope(&m_global);
    RegisterServerStatMacros(salesScope, sales);
    RegisterServerStatMacros(supportScope, support);
    for (int i = 0; i < 2; ++i)
        sales.AddConnection(false, 100, 10);
    for (int i = 0; i < 3; ++i)
        support.AddConnection(true, 1000, 1);

    EXPECT_EQ(Expand(salesScope, "%server-description%: %server-numhits% of %global-numhits%"),
              "Sales Intranet: 2 of 5");
    EXPECT_EQ(Expand(supportScope, "%server-description%: %server-numhits% of %global-numhits%"), "Support: 3 of 5");
    EXPECT_EQ(Expand(salesScope, "%server-bytessent% %global-bytessent% %global-securenumhits%"), "200 3200 3");
    EXPECT_EQ(Expand(salesScope, "%server-securenumhits%"), "0");
}

TEST_F(StatMacrosTest, RegistrationReplacesAndRespectsReadOnly)
{
    CMacroContext scope;
    scope.Register("global-numhits", std::make_unique<CValueMacro>("old"));
    scope.Register("server-numhits", std::make_unique<CValueMacro>("old"));
    RegisterGlobalStatMacros(scope);
    CServerStats stats;
    RegisterServerStatMacros(scope, stats);
    EXPECT_EQ(Expand(scope, "%global-numhits% %server-numhits%"), "0 0");

    CMacroContext locked;
    locked.SetReadOnly(true);
    RegisterGlobalStatMacros(locked);
    RegisterServerStatMacros(locked, stats);
    for (const char* name : kGlobalNames)
        EXPECT_EQ(locked.FindMacro(std::string_view(name)), nullptr) << name;
    EXPECT_EQ(locked.FindMacro(std::string_view("server-description")), nullptr);
}

TEST_F(StatMacrosTest, ReadsAfterTheWaitRunsOut)
{
    CServerStats stats;
    ASSERT_TRUE(stats.Create(3, 1, 80, 0, 0));
    stats.SetDescription("Held");
    stats.Store(at::kNumHits, 12);
    CMacroContext server(&m_global);
    RegisterServerStatMacros(server, stats);
    std::atomic<int> stage{0};
    std::thread holder([&] {
        if (!stats.LockMutex(1000))
            return;
        stage = 1;
        Eventually([&] { return stage.load() == 2; }, 10000);
        stats.UnlockMutex();
    });
    ASSERT_TRUE(Eventually([&] { return stage.load() == 1; }));
    const std::uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(Expand(server, "%server-numhits% %server-description%"), "12 Held");
    EXPECT_GE(platform::MonotonicMs() - start, 2 * kStatMacroWaitMs);
    EXPECT_FALSE(stats.LockMutex(0)); // the reader did not release what it never got
    stage = 2;
    holder.join();
}

} // namespace
