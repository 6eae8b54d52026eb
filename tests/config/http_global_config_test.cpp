#include "config/http_global_config.h"

#include "child_process_helper.h"
#include "config/http_server_config.h"
#include "config/registry_helpers.h"
#include "config_fixture.h"
#include "configuration_layout_helper.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

#include <algorithm>
#include <chrono>
#include <set>

namespace {

class HTTPGlobalConfigTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        InitMacroLibrary();
    }

    const platform::RegistryKey& Root() { return platform::RegistryKey::LocalMachine(); }
    std::vector<std::string> Subkeys(const std::string& path) { return SubkeyNames(Key(path)); }
};

TEST_F(HTTPGlobalConfigTest, LoadNeedsTheKeyAndLayersTheStringsKeyOverTheDefaults)
{
    CHTTPGlobalConfig missing;
    EXPECT_EQ(missing.Load(Root(), kHTTPKeyPath, 1), 0);
    platform::RegistryKey probe;
    EXPECT_NE(m_product.Open("HTTP", probe), platform::kErrorSuccess) << "a failed load created the key";

    RegSetString(Key("HTTP\\Strings"), "HTTP-BadURL", "<p>mine</p>");
    RegSetString(Key("HTTP"), "InitMacro", "%set(a,1)");
    CHTTPGlobalConfig withDefaults;
    ASSERT_EQ(withDefaults.Load(Root(), kHTTPKeyPath, 1), 1);
    EXPECT_EQ(StringText(withDefaults.GetStrings(), "http-badurl"), "<p>mine</p>");
    EXPECT_EQ(StringText(withDefaults.GetStrings(), "http-noauth"), LoadDefaultText(kHttpDefaultStrings[3]));
    EXPECT_EQ(withDefaults.GetInitMacro(), "%set(a,1)");

    CHTTPGlobalConfig without;
    ASSERT_EQ(without.Load(Root(), kHTTPKeyPath, 0), 1);
    EXPECT_EQ(StringText(without.GetStrings(), "http-badurl"), "<p>mine</p>");
    EXPECT_EQ(StringText(without.GetStrings(), "http-noauth"), "(none)");
}

TEST_F(HTTPGlobalConfigTest, ServersLoadInKeyOrderAndADisabledOneIsListed)
{
    platform::RegistryKey disabled = Key("HTTP\\Servers\\8080:10.0.0.1");
    disabled.SetDword("Port", 8080);
    disabled.SetDword("Address", 0x0100000A);
    disabled.SetDword("Enabled", 0);
    Key("HTTP\\Servers\\80:0.0.0.0").SetDword("Port", 80);
    Key("HTTP\\Servers\\81:0.0.0.0").SetDword("Port", 81);
    CHTTPGlobalConfig global;
    ASSERT_EQ(global.Load(Root(), kHTTPKeyPath, 1), 1);

    std::vector<std::string> listed;
    for (CHTTPServerConfig& server : global.GetServers())
        listed.push_back(server.GetKeyName());
    EXPECT_EQ(listed, Subkeys("HTTP\\Servers"));
    CHTTPServerConfig* found = global.GetServers().FindByKeyName("8080:10.0.0.1");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->GetSettings()->enabled, 0u);

    CHTTPGlobalConfig none;
    EXPECT_EQ(none.LoadServers(Key("HTTP"), "NoSuchKey", 1), 0);
    EXPECT_TRUE(none.GetServers().IsEmpty());
}

TEST_F(HTTPGlobalConfigTest, SaveServersDropsStaleLegacyAndDuplicateKeys)
{
    RegSetString(Key("HTTP\\Servers"), "junk", "x");
    for (const char* stale : {"0\\ACL", "2\\Users", "81:0.0.0.0\\Paths\\docs", "82:0.0.0.0\\ACL"})
        RegSetString(Key(std::string("HTTP\\Servers\\") + stale), "0", "old");
    RegSetString(Key("HTTP\\Servers\\80:0.0.0.0"), "Description", "before");

    CHTTPGlobalConfig global;
    for (const char* description : {"first", "second"}) {
        CHTTPServerConfig& server = global.GetServers().AddTail();
        auto h = std::make_shared<CHTTPSettings>(*server.GetHTTPSettings());
        h->description = description;
        server.SetHTTPSettings(h);
    }
    CHTTPServerConfig& local = global.GetServers().AddTail();
    auto s = std::make_shared<CServiceSettings>(*local.GetSettings());
    s->port = 90;
    s->address = kLoopbackAddress;
    local.SetSettings(s);

    ASSERT_TRUE(global.SaveServers(Key("HTTP"), "Servers"));
    EXPECT_EQ(Subkeys("HTTP\\Servers"), (std::vector<std::string>{"80:0.0.0.0", "90:127.0.0.1"}));
    std::uint32_t values = 99;
    ASSERT_EQ(Key("HTTP\\Servers").QueryInfo(nullptr, &values), platform::kErrorSuccess);
    EXPECT_EQ(values, 0u);
    std::string description;
    EXPECT_EQ(RegQueryString(Key("HTTP\\Servers\\80:0.0.0.0"), "Description", description), platform::kErrorSuccess);
    EXPECT_EQ(description, "second");

    // The next save without the loopback server deletes its key.
    ASSERT_TRUE(global.GetServers().Remove(&local));
    ASSERT_TRUE(global.SaveServers(Key("HTTP"), "Servers"));
    EXPECT_EQ(Subkeys("HTTP\\Servers"), std::vector<std::string>{"80:0.0.0.0"});
}

TEST_F(HTTPGlobalConfigTest, LoadsBesideAnotherProcessSavingNeverSeeAHalfWrittenSave)
{
    constexpr int kSaves = 120;
    constexpr int kMaxLoads = 5000;
    constexpr auto kDeadline = std::chrono::seconds(120);
    constexpr int kWriterWaitMs = 30000;
    // No reported change may refresh a loaded list from a later save while
    // it is compared.
    GlobalLastModStamp().Close();
    std::vector<std::string> whole[2];
    for (int variant : {0, 1}) {
        CHTTPGlobalConfig built;
        BuildHTTPLayout(built, variant);
        whole[variant] = DumpHTTP(built);
        if (variant == 0) {
            ASSERT_EQ(built.Save(Root(), kHTTPKeyPath), 1);
        }
    }
    pid_t writer = StartProgram(BuildProgram("tests/config/config_peer"), {"save", std::to_string(kSaves)});
    ASSERT_GT(writer, 0);
    std::set<int> seen;
    int loads = 0;
    int exitCode = -1;
    bool ended = false;
    for (auto stop = std::chrono::steady_clock::now() + kDeadline;
         !ended && loads < kMaxLoads && std::chrono::steady_clock::now() < stop; ++loads) {
        ended = ProgramEnded(writer, exitCode);
        CHTTPGlobalConfig global;
        ASSERT_EQ(global.Load(Root(), kHTTPKeyPath, 0), 1);
        std::vector<std::string> dump = DumpHTTP(global);
        int variant = dump == whole[0] ? 0 : dump == whole[1] ? 1 : -1;
        if (variant < 0) {
            auto differs = std::mismatch(dump.begin(), dump.end(), whole[0].begin(), whole[0].end());
            ADD_FAILURE() << "load " << loads << " is no whole save; " << dump.size() << " lines, first unlike: "
                          << (differs.first != dump.end() ? *differs.first : "(end)");
            break;
        }
        seen.insert(variant);
    }
    if (!ended)
        exitCode = FinishProgram(writer, kWriterWaitMs);
    EXPECT_EQ(exitCode, 0);
    EXPECT_GT(loads, 1);
    // Both saves were seen: the loads really ran between the writer's saves.
    EXPECT_EQ(seen.size(), 2u);
}

} // namespace
