#include "proxy/proxy_settings.h"

#include "config/registry_helpers.h"
#include "config/config_fixture.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

#include <string>

namespace {

class ProxySettingsTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        InitMacroLibrary();
        ::setenv("VELMORA_HOME", m_dir.Path().c_str(), 1);
        m_key = Key("HTTPProxy");
    }
    void TearDown() override
    {
        m_key.Close();
        ::unsetenv("VELMORA_HOME");
        ConfigTest::TearDown();
    }
    platform::RegistryKey m_key;
};

TEST_F(ProxySettingsTest, FreshKeyGivesADisabledProxyWithItsDefaults)
{
    CHTTPProxySettings settings;
    ASSERT_EQ(settings.Open(m_product, "HTTPProxy", 1), 1);
    auto s = settings.GetSettings();
    auto p = settings.GetProxySettings();
    EXPECT_EQ(s->enabled, 0u);
    EXPECT_EQ(s->port, 8080u);
    EXPECT_EQ(p->rootDir, m_dir.Path() + "/cache/");
    EXPECT_EQ(p->maxCacheSize, 30u);
    EXPECT_EQ(p->maxFileAge, 7u);
    EXPECT_EQ(p->syncInterval, 60u);
    EXPECT_TRUE(p->proxyHost.empty());
    EXPECT_EQ(p->securityProxyPort, 8080u);
    // The proxy's pages are defined in its scope.
    auto* strings = settings.GetStrings();
    ASSERT_NE(strings, nullptr);
}

TEST_F(ProxySettingsTest, RootDirGetsOneSeparatorAndEmptyStaysEmpty)
{
    struct Case {
        const char* stored;
        const char* loaded;
    } cases[] = {{"/var/cache/p", "/var/cache/p/"}, {"/var/cache/p/", "/var/cache/p/"},
                 {"C:\\cache\\", "C:\\cache\\"}, {"", ""}, {"   ", ""}};
    for (const Case& c : cases) {
        RegSetString(m_key, "RootDir", c.stored);
        CHTTPProxySettings settings;
        ASSERT_EQ(settings.Open(m_product, "HTTPProxy", 0), 1);
        EXPECT_EQ(settings.GetProxySettings()->rootDir, c.loaded) << '"' << c.stored << '"';
    }
}

TEST_F(ProxySettingsTest, SaveAndLoadRoundTripEveryValueAndList)
{
    CHTTPProxySettings a;
    ASSERT_EQ(a.Open(m_product, "HTTPProxy", 0), 1);
    auto p = std::make_shared<CProxySettings>(*a.GetProxySettings());
    p->rootDir = "/srv/cache/";
    p->maxCacheSize = 5000; // above 4 GiB in bytes
    p->proxyHost = "upstream";
    p->proxyPort = 3128;
    p->securityProxyHost = "tunnel";
    p->securityProxyPort = 3129;
    p->syncInterval = 0;
    a.SetProxySettings(p);
    a.GetNoServeList().Add("HTTP://Bad/*");
    a.GetServeList().Add("http://bad/ok*");
    a.GetNoCacheList().Add("*.cgi");
    ASSERT_EQ(a.SaveToKey(m_product, "HTTPProxy"), 0);

    CHTTPProxySettings b;
    ASSERT_EQ(b.Open(m_product, "HTTPProxy", 0), 1);
    auto q = b.GetProxySettings();
    EXPECT_EQ(q->rootDir, "/srv/cache/");
    EXPECT_EQ(q->maxCacheSize, 5000u);
    EXPECT_EQ(q->proxyHost, "upstream");
    EXPECT_EQ(q->proxyPort, 3128u);
    EXPECT_EQ(q->securityProxyHost, "tunnel");
    EXPECT_EQ(q->securityProxyPort, 3129u);
    EXPECT_EQ(q->syncInterval, 0u);
    EXPECT_EQ(b.GetNoServeList().GetEntries(), std::vector<std::string>{"http://bad/*"});
    EXPECT_EQ(b.GetServeList().Contains("http://BAD/ok.html"), 1);
    EXPECT_EQ(b.GetNoCacheList().Contains("http://host/x.cgi"), 1);
}

TEST_F(ProxySettingsTest, NeedsRestartSeesTheProxyValuesThroughTheBase)
{
    CHTTPProxySettings base;
    ASSERT_EQ(base.Open(m_product, "HTTPProxy", 0), 1);
    struct Case {
        const char* what;
        void (*edit)(CProxySettings&);
        int restart;
    } cases[] = {
        {"RootDir", [](CProxySettings& p) { p.rootDir = "/elsewhere/"; }, 1},
        {"MaxCacheSize", [](CProxySettings& p) { p.maxCacheSize = 1; }, 1},
        {"MaxFileAge", [](CProxySettings& p) { p.maxFileAge = 1; }, 1},
        {"SaveInterval", [](CProxySettings& p) { p.saveInterval = 1; }, 1},
        {"PurgeInterval", [](CProxySettings& p) { p.purgeInterval = 1; }, 1},
        {"SyncInterval", [](CProxySettings& p) { p.syncInterval = 1; }, 0},
        {"ProxyHost", [](CProxySettings& p) { p.proxyHost = "up"; }, 0},
    };
    for (const Case& c : cases) {
        CHTTPProxySettings edited = base;
        auto p = std::make_shared<CProxySettings>(*edited.GetProxySettings());
        c.edit(*p);
        edited.SetProxySettings(p);
        const CServiceConfig& asBase = base;
        EXPECT_EQ(asBase.NeedsRestart(edited), c.restart) << c.what;
        EXPECT_EQ(static_cast<const CServiceConfig&>(edited).NeedsRestart(base), c.restart) << c.what;
    }
}

TEST_F(ProxySettingsTest, NameSetKeepsLongEntriesAndTheEntriesAfterThem)
{
    platform::RegistryKey list = Key("HTTPProxy\\NoServeList");
    std::string longMask = "http://" + std::string(3000, 'a') + "/*";
    RegSetString(list, "0", "http://first/*");
    RegSetString(list, "a-value-name-longer-than-sixteen", longMask);
    RegSetString(list, "2", "HTTP://THIRD/*");
    CRegNameSet set;
    ASSERT_TRUE(set.Open(m_key, "NoServeList"));
    EXPECT_EQ(set.GetEntries().size(), 3u);
    EXPECT_EQ(set.Contains("http://" + std::string(3000, 'A') + "/x"), 2);
    EXPECT_EQ(set.Contains("http://third/page"), 3);
    EXPECT_EQ(set.Contains("http://fourth/page"), 0);

    // An edit reported through the change stamp is seen by the next test.
    RegSetString(list, "3", "http://fourth/*");
    Touch();
    EXPECT_EQ(set.Contains("http://fourth/page"), 4);
}

TEST_F(ProxySettingsTest, ManyStarsMatchInLinearTime)
{
    CRegNameSet set;
    set.Add(std::string(200, '*') + "b");
    std::string text(20000, 'a');
    EXPECT_EQ(set.Contains(text), 0);
    EXPECT_EQ(set.Contains(text + "b"), 1);
}

} // namespace
