#include "config/http_global_config.h"

#include "child_process_helper.h"
#include "config/http_server_config.h"
#include "config/registry_helpers.h"
#include "config_fixture.h"
#include "configuration_layout_helper.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

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

    std::vector<std::string> Subkeys(const std::string& path)
    {
        std::vector<std::string> names;
        platform::RegistryKey key = Key(path);
        std::string name;
        for (std::uint32_t index = 0; key.EnumKey(index, name) == platform::kErrorSuccess; ++index)
            names.push_back(name);
        return names;
    }
};

std::string StringText(CMacroScope* scope, const char* name)
{
    auto* context = dynamic_cast<CMacroContext*>(scope);
    CMacro* macro = context ? context->FindMacro(name) : nullptr;
    std::string text = "(none)";
    if (macro) {
        text.clear();
        macro->GetText(text);
    }
    return text;
}

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

// The layout of a load is whole when it is one of the two variants a peer
// saves, every list of every server in place, and the shared lists from the
// same save as the servers.
bool WholeLayout(CHTTPGlobalConfig& global, int& variant, std::string& why)
{
    std::set<std::uint32_t> ports;
    for (CHTTPServerConfig& server : global.GetServers()) {
        ports.insert(server.GetSettings()->port);
        const std::string name = server.GetKeyName();
        if (server.GetAccessList().GetLines().size() != 2 || server.GetUsers().GetEntries().size() != 2
            || server.GetGroups().GetEntries().size() != 1 || server.GetPaths().GetEntries().size() != 1
            || server.GetCGIExt().CopyOfEntries().size() != 2 || server.GetMappings().GetEntries().size() != 2) {
            why = "server " + name + " lost a list";
            return false;
        }
    }
    variant = -1;
    for (int v : {0, 1})
        if (ports == std::set<std::uint32_t>{VariantPorts(v).plain, VariantPorts(v).loopback})
            variant = v;
    if (variant < 0) {
        why = "servers of no one save: " + std::to_string(global.GetServers().GetCount());
        return false;
    }
    std::string password;
    bool usersMatch = global.GetUsers().Lookup("carol", password) && password == "c-" + std::to_string(variant);
    if (!usersMatch || global.GetInitMacro() != "%set(site," + std::to_string(variant) + ")"
        || global.GetCGIExt().CopyOfEntries().size() != 2 || global.GetPaths().GetEntries().size() != 1) {
        why = "shared lists not of the servers' save";
        return false;
    }
    return true;
}

TEST_F(HTTPGlobalConfigTest, LoadsBesideAnotherProcessSavingNeverSeeAHalfWrittenSave)
{
    constexpr int kSaves = 120;
    constexpr int kMaxLoads = 5000;
    constexpr auto kDeadline = std::chrono::seconds(120);
    {
        CHTTPGlobalConfig first;
        BuildHTTPLayout(first, 0);
        ASSERT_EQ(first.Save(Root(), kHTTPKeyPath), 1);
    }
    pid_t writer = StartProgram(BuildProgram("tests/config/config_peer"), {"save", std::to_string(kSaves)});
    ASSERT_GT(writer, 0);
    std::set<int> seen;
    int loads = 0;
    int exitCode = -1;
    bool ended = false;
    auto stop = std::chrono::steady_clock::now() + kDeadline;
    while (loads < kMaxLoads && std::chrono::steady_clock::now() < stop) {
        ended = ProgramEnded(writer, exitCode);
        CHTTPGlobalConfig global;
        ASSERT_EQ(global.Load(Root(), kHTTPKeyPath, 0), 1);
        ++loads;
        int variant = -1;
        std::string why;
        if (!WholeLayout(global, variant, why)) {
            ADD_FAILURE() << "load " << loads << ": " << why;
            break;
        }
        seen.insert(variant);
        if (ended)
            break;
    }
    if (!ended)
        exitCode = FinishProgram(writer, 30000);
    EXPECT_EQ(exitCode, 0);
    EXPECT_GT(loads, 1);
    // Both saves were seen: the loads really ran between the writer's saves.
    EXPECT_EQ(seen.size(), 2u);
}

} // namespace
