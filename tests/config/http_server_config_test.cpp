#include "config/http_server_config.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"
#include "macro/named_strings.h"

namespace {

class HTTPServerConfigTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        InitMacroLibrary();
        ::setenv("VELMORA_HOME", m_dir.Path().c_str(), 1);
        m_servers = Key("HTTP\\Servers");
    }
    void TearDown() override
    {
        m_servers.Close();
        ::unsetenv("VELMORA_HOME");
        ConfigTest::TearDown();
    }

    platform::RegistryKey m_servers;
};

template <class Map>
std::size_t Count(Map& map)
{
    return map.GetEntries().size();
}

TEST_F(HTTPServerConfigTest, RootDirIsTrimmedOfBlanksAndOneSeparator)
{
    struct Case {
        const char* stored;
        const char* loaded;
    } cases[] = {
        {" C:\\web\\ ", "C:\\web"}, {"C:\\web\\\\", "C:\\web\\"}, {"/", ""},         {"\\", ""},
        {" /srv/www/ ", "/srv/www"}, {"\t/srv\r\n", "/srv"},      {"   ", ""},        {"/srv//", "/srv/"},
    };
    for (const Case& c : cases) {
        RegSetString(Key("HTTP\\Servers\\80:0.0.0.0"), "RootDir", c.stored);
        CHTTPServerConfig config;
        ASSERT_EQ(config.Open(m_servers, "80:0.0.0.0", 0), 1);
        EXPECT_EQ(config.GetHTTPSettings()->rootDir, c.loaded) << '"' << c.stored << '"';
    }

    // Without values: the defaults, the root in the state directory.
    CHTTPServerConfig empty;
    ASSERT_EQ(empty.Open(m_servers, "81:0.0.0.0", 0), 1);
    auto h = empty.GetHTTPSettings();
    EXPECT_EQ(h->rootDir, m_dir.Path() + "/www");
    EXPECT_EQ(h->defaultFile, "default.htm");
    EXPECT_EQ(h->urlCacheSize, 128u);
    EXPECT_EQ(h->urlCacheFlushInterval, 15u);
    EXPECT_EQ(h->checkAccept, 1u);
    EXPECT_EQ(empty.GetKeyName(), "80:0.0.0.0");

    // ResetDefaults leaves LogMacro alone.
    auto edited = std::make_shared<CHTTPSettings>(*h);
    edited->rootDir = "/elsewhere";
    edited->logMacro = "%cl-fmt%";
    empty.SetHTTPSettings(edited);
    empty.ResetDefaults();
    EXPECT_EQ(empty.GetHTTPSettings()->rootDir, m_dir.Path() + "/www");
    EXPECT_EQ(empty.GetHTTPSettings()->logMacro, "%cl-fmt%");
}

TEST_F(HTTPServerConfigTest, ReloadTakesHTTPValuesAndListsButNotThePort)
{
    platform::RegistryKey key = Key("HTTP\\Servers\\80:0.0.0.0");
    key.SetDword("Port", 80);
    RegSetString(key, "RootDir", "/srv/old/");
    key.SetDword("URLCacheSize", 64);
    RegSetString(Key("HTTP\\Servers\\80:0.0.0.0\\CGIExt\\pl"), "CommandLine", "perl %s");
    RegSetString(Key("HTTP\\Servers\\80:0.0.0.0\\CGIExt\\py"), "CommandLine", "python3 %s");
    CHTTPServerConfig config;
    ASSERT_EQ(config.Open(m_servers, "80:0.0.0.0", 1), 1);
    std::shared_ptr<const CHTTPSettings> before = config.GetHTTPSettings();
    EXPECT_EQ(before->rootDir, "/srv/old");
    ASSERT_EQ(Count(config.GetCGIExt()), 2u);

    key.SetDword("Port", 81);
    RegSetString(key, "RootDir", "/srv/new");
    key.SetDword("URLCacheSize", 512);
    ASSERT_TRUE(RegDeleteKeyTree(Key("HTTP\\Servers\\80:0.0.0.0\\CGIExt"), "pl"));
    RegSetString(Key("HTTP\\Servers\\80:0.0.0.0\\Mappings"), "KAV", "text/x-kav");
    Touch();
    config.RefreshIfChanged();

    EXPECT_EQ(config.GetSettings()->port, 80u);
    EXPECT_EQ(config.GetHTTPSettings()->rootDir, "/srv/new");
    EXPECT_EQ(config.GetHTTPSettings()->urlCacheSize, 512u);
    // A reader holding the snapshot of before keeps a consistent view.
    EXPECT_EQ(before->rootDir, "/srv/old");
    EXPECT_EQ(before->urlCacheSize, 64u);
    CCGIMapping mapping;
    EXPECT_FALSE(config.GetCGIExt().LookupLocked("pl", mapping));
    EXPECT_TRUE(config.GetCGIExt().LookupLocked("py", mapping));
    std::string type;
    EXPECT_TRUE(config.GetMappings().LookupLocked("kav", type));
}

TEST_F(HTTPServerConfigTest, NeedsRestartForURLCacheOnlyByTheHTTPAnswer)
{
    struct Case {
        const char* change;
        std::uint32_t CHTTPSettings::*member;
        int http;
    } cases[] = {{"URLCacheSize", &CHTTPSettings::urlCacheSize, 1},
                 {"URLCacheFlushInterval", &CHTTPSettings::urlCacheFlushInterval, 1},
                 {"KeepAliveTimeout", &CHTTPSettings::keepAliveTimeout, 0},
                 {"CGITimeout", &CHTTPSettings::cgiTimeout, 0}};
    for (const Case& c : cases) {
        CHTTPServerConfig running;
        CHTTPServerConfig edited(running);
        auto h = std::make_shared<CHTTPSettings>(*edited.GetHTTPSettings());
        (*h).*c.member += 7;
        edited.SetHTTPSettings(h);
        EXPECT_EQ(running.NeedsRestart(edited), c.http) << c.change;
        EXPECT_EQ(running.CServiceConfig::NeedsRestart(edited), 0) << c.change;
        // Through the base, as a caller holding any configuration asks.
        const CServiceConfig& base = edited;
        EXPECT_EQ(base.NeedsRestart(running), c.http) << c.change;
    }
    CHTTPServerConfig http;
    CServiceConfig service;
    EXPECT_EQ(http.NeedsRestart(service), 0);
    auto s = std::make_shared<CServiceSettings>(*service.GetSettings());
    s->port = 8081;
    http.SetSettings(s);
    EXPECT_EQ(http.NeedsRestart(service), 1);
}

TEST_F(HTTPServerConfigTest, AssignedBackWorkingCopyKeepsItsDeletionsAndThePortOnlyByCopy)
{
    platform::RegistryKey key = Key("HTTP\\Servers\\81:0.0.0.0");
    key.SetDword("Port", 81);
    RegSetString(Key("HTTP\\Servers\\81:0.0.0.0\\CGIExt\\pl"), "CommandLine", "perl %s");
    RegSetString(Key("HTTP\\Servers\\81:0.0.0.0\\CGIExt\\py"), "CommandLine", "python3 %s");
    RegSetString(Key("HTTP\\Servers\\81:0.0.0.0\\Paths\\docs"), "Location", "/srv/docs");
    RegSetString(Key("HTTP\\Servers\\81:0.0.0.0\\Icons"), "dir", "/icons/dir.gif");
    CHTTPServerConfig original;
    ASSERT_EQ(original.Open(m_servers, "81:0.0.0.0", 0), 1);

    CHTTPServerConfig working(original);
    EXPECT_EQ(Count(working.GetCGIExt()), 2u);
    EXPECT_EQ(Count(working.GetPaths()), 1u);
    EXPECT_TRUE(working.GetCGIExt().RemoveKey("pl"));
    EXPECT_TRUE(working.GetPaths().RemoveKey("docs"));
    EXPECT_TRUE(working.GetIcons().RemoveKey("dir"));
    auto s = std::make_shared<CServiceSettings>(*working.GetSettings());
    s->port = 82;
    working.SetSettings(s);
    auto h = std::make_shared<CHTTPSettings>(*working.GetHTTPSettings());
    h->description = "edited";
    working.SetHTTPSettings(h);

    original.Assign(working);
    CCGIMapping mapping;
    EXPECT_FALSE(original.GetCGIExt().LookupLocked("pl", mapping));
    EXPECT_TRUE(original.GetCGIExt().LookupLocked("py", mapping));
    EXPECT_EQ(Count(original.GetPaths()), 0u);
    EXPECT_EQ(Count(original.GetIcons()), 0u);
    EXPECT_EQ(original.GetHTTPSettings()->description, "edited");
    EXPECT_EQ(original.GetSettings()->port, 81u);

    original = working;
    EXPECT_EQ(original.GetSettings()->port, 82u);
    EXPECT_FALSE(original.GetCGIExt().LookupLocked("pl", mapping));
}

TEST_F(HTTPServerConfigTest, ListsKeepEveryValueAfterAnOversizedOne)
{
    const std::string base = "HTTP\\Servers\\80:0.0.0.0\\";
    const std::string longName(300, 'x');
    const std::string longText(10000, 'c');
    RegSetString(Key(base + "CGIExt\\" + longName), "CommandLine", longText);
    RegSetString(Key(base + "CGIExt\\zz"), "CommandLine", "after");
    platform::RegistryKey mappings = Key(base + "Mappings");
    RegSetString(mappings, "big", std::string(70, 't'));
    RegSetString(mappings, longName, "text/long-name");
    RegSetString(mappings, "txt", "text/plain");
    CHTTPServerConfig config;
    ASSERT_EQ(config.Open(m_servers, "80:0.0.0.0", 0), 1);
    CCGIMapping mapping;
    ASSERT_TRUE(config.GetCGIExt().LookupLocked(longName, mapping));
    EXPECT_EQ(mapping.CommandLine, longText);
    ASSERT_TRUE(config.GetCGIExt().LookupLocked("zz", mapping));
    EXPECT_EQ(mapping.CommandLine, "after");
    std::string text;
    ASSERT_TRUE(config.GetMappings().LookupLocked("big", text));
    EXPECT_EQ(text.size(), 70u);
    EXPECT_TRUE(config.GetMappings().LookupLocked(longName, text));
    EXPECT_TRUE(config.GetMappings().LookupLocked("txt", text));
}

} // namespace
