// Counters and persistent values against a real hive: what a page sees,
// what reaches the registry and when, and loads that meet odd values.

#include "config/config_fixture.h"
#include "framework/text_buffer.h"
#include "macro/builtin_macros.h"
#include "macro/counter_macros.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "macro/persistent_macros.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

class StoredValuesTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        PersistentValues().ResetForTesting();
        macro_test::RegisterTestMacros(m_global);
    }
    void TearDown() override
    {
        // The counter table writes back as it goes: into this test's hive.
        m_global.GetMacros().DeleteAll();
        ConfigTest::TearDown();
    }

    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }

    platform::RegistryKey Open(const char* path)
    {
        platform::RegistryKey key;
        EXPECT_EQ(platform::RegistryKey::LocalMachine().Create(path, key), platform::kErrorSuccess);
        return key;
    }

    std::vector<std::string> ValueNames(const char* path)
    {
        platform::RegistryKey key = Open(path);
        std::vector<std::string> names;
        for (std::uint32_t i = 0;; ++i) {
            std::string name;
            std::size_t size = 0;
            if (key.EnumValue(i, name, nullptr, nullptr, &size) == platform::kErrorNoMoreItems)
                break;
            names.push_back(name);
        }
        return names;
    }

    CMacroContext m_global;
};

TEST_F(StoredValuesTest, CounterCallsAsAPageMakesThem)
{
    RegisterCounterMacros(m_global);
    const struct {
        const char* page;
        const char* expected;
    } steps[] = {
        {"%counter%", "1"},
        {"%counter()", "2"},
        {"%counter(default,-1)", "2"},
        {"%counter(Hits)|%counter(hits)|%counter(HITS,-1)", "1|2|2"},
        {"%counter(never,-1)", "0"},
        {"%counter(hits,-5)", "4294967291"},
        {"%counter(hits)", "4294967292"},
        {"%counter(hits,%null%)", "0"},
        {"%counter(hits,)", "1"},
        {"%counter(x,  +12z)|%counter(x,abc)|%counter(x)", "12|0|1"},
    };
    for (const auto& step : steps)
        EXPECT_EQ(Expand(step.page), step.expected) << step.page;
}

TEST_F(StoredValuesTest, CountsReachTheHiveWhenDueAndOnlyThen)
{
    RegisterCounterMacros(m_global);
    auto* macro = static_cast<CCounterMacro*>(m_global.FindMacro("counter"));
    Expand("%counter(a)%counter(a)%counter(never,-1)");
    EXPECT_TRUE(ValueNames(kCountersKeyPath).empty());
    // Past the minute: the counts so far are stored first, then a counts on.
    macro->Table().SetLastWriteForTesting(platform::MonotonicMs() - kCounterWriteBackMs - 1000);
    EXPECT_EQ(Expand("%counter(a)"), "3");
    std::uint32_t stored = 0;
    EXPECT_EQ(Open(kCountersKeyPath).QueryDword("a", stored), platform::kErrorSuccess);
    EXPECT_EQ(stored, 2u);
    EXPECT_EQ(ValueNames(kCountersKeyPath), std::vector<std::string>{"a"});
    // Engine stop writes back; the next start loads what was written.
    TerminateBuiltinMacros();
    EXPECT_EQ(Open(kCountersKeyPath).QueryDword("a", stored), platform::kErrorSuccess);
    EXPECT_EQ(stored, 3u);
    CMacroContext next;
    RegisterCounterMacros(next);
    CTextBuffer out;
    next.Expand(&out, "%counter(a)");
    EXPECT_EQ(out.ToString(), "4");
}

TEST_F(StoredValuesTest, LoadsKeepEveryValueWhateverItsNameOrSize)
{
    const std::string longName(300, 'n');
    {
        platform::RegistryKey counters = Open(kCountersKeyPath);
        counters.SetDword("first", 7);
        counters.SetDword(longName, 8);
        const std::uint8_t wide[8] = {9, 0, 0, 0, 1, 1, 1, 1};
        counters.SetValue("wide", platform::kRegBinary, wide, sizeof wide);
        counters.SetDword("last", 10);
        platform::RegistryKey values = Open(kPersistentValuesKeyPath);
        values.SetString("first", "one");
        values.SetString(longName, std::string(5000, 'v'));
        values.SetString("last", "two");
    }
    RegisterCounterMacros(m_global);
    RegisterPersistentMacros(m_global);
    EXPECT_EQ(Expand("%counter(first,-1)|%counter(" + longName + ",-1)|%counter(wide,-1)|%counter(last,-1)"),
              "7|8|9|10");
    EXPECT_EQ(Expand("%pget(first)|%pget(last)"), "one|two");
    EXPECT_EQ(Expand("%pget(" + longName + ")").size(), 5000u);
    TerminateBuiltinMacros();
    EXPECT_EQ(ValueNames(kCountersKeyPath).size(), 4u);
    EXPECT_EQ(ValueNames(kPersistentValuesKeyPath).size(), 3u);
}

TEST_F(StoredValuesTest, AWriteBackDeletesEveryStaleValue)
{
    {
        platform::RegistryKey values = Open(kPersistentValuesKeyPath);
        for (const char* name : {"s1", "s2", "s3", "s4", "keep", "s5"})
            values.SetString(name, "x");
    }
    RegisterPersistentMacros(m_global);
    // Deleting while enumerating by index would skip every other value.
    Expand("%pset(s1)%pset(s2)%pset(s3)%pset(s4)%pset(s5)");
    EXPECT_EQ(PersistentValues().WriteBack(), true);
    EXPECT_EQ(ValueNames(kPersistentValuesKeyPath), std::vector<std::string>{"keep"});
}

TEST_F(StoredValuesTest, PersistentValuesAsAPageUsesThem)
{
    RegisterPersistentMacros(m_global);
    const struct {
        const char* page;
        const char* expected;
    } steps[] = {
        {"%pset(Color,blue)%pget(COLOR)", "blue"},
        {"%pset(color)[%pget(color)]", "[]"},
        {"[%pget(never)]", "[]"},
        {"%pset(t,'%kav-version%)%pget(t)", "%kav-version%"},
        {"%pset()%pget()", ""},
    };
    for (const auto& step : steps)
        EXPECT_EQ(Expand(step.page), step.expected) << step.page;
    // A later process (the table read again from the hive) sees them.
    TerminateBuiltinMacros();
    PersistentValues().ResetForTesting();
    CMacroContext next;
    RegisterPersistentMacros(next);
    CTextBuffer out;
    next.Expand(&out, "%pget(t)|%pget(color)");
    EXPECT_EQ(out.ToString(), "%kav-version%|");
}

TEST_F(StoredValuesTest, NamesAClientGivesCannotMakeTheConfigurationUnexportable)
{
    RegisterCounterMacros(m_global);
    RegisterPersistentMacros(m_global);
    RegisterTryMacros(m_global);
    const struct {
        const char* page;
        const char* expected;
    } steps[] = {
        {"%counter(%name%)", "[counter error 0: Control character in a counter name.]"},
        {"%counter(%name%,5)", "[counter error 0: Control character in a counter name.]"},
        {"%pset(%name%,v)", "[pset error 0: Control character in a value name.]"},
        {"%try(%counter(%name%),caught)", "caught"},
    };
    for (const char* name : {"x\r\ny", "e\x1b[2J"}) {
        m_global.SetStringMacro("name", name);
        for (const auto& step : steps)
            EXPECT_EQ(Expand(step.page), step.expected) << step.page;
    }
    EXPECT_EQ(Expand("%counter(fine)|%pset(fine,v)%pget(fine)"), "1|v");
    TerminateBuiltinMacros();
    platform::RegistryKey product = Open("Software\\Tessaline\\Velmora");
    std::string text;
    platform::RegistryTextResult exported = platform::ExportRegistryText(product, text);
    ASSERT_TRUE(exported.Ok()) << exported.message;
    EXPECT_TRUE(exported.omitted.empty());
    EXPECT_EQ(ValueNames(kCountersKeyPath), std::vector<std::string>{"fine"});
    EXPECT_EQ(ValueNames(kPersistentValuesKeyPath), std::vector<std::string>{"fine"});
}

TEST_F(StoredValuesTest, ConcurrentHitsAreAllCounted)
{
    RegisterCounterMacros(m_global);
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i)
        threads.emplace_back([this] {
            CMacroContext scope(&m_global);
            CTextBuffer out;
            scope.Expand(&out, "%counter(hits)");
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(Expand("%counter(hits,-1)"), "50");
}

} // namespace
