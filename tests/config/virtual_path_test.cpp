#include "config/virtual_path.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class VirtualPathTest : public ConfigTest {};

TEST_F(VirtualPathTest, NamesFoldAndOneTrailingSeparatorIsDropped)
{
    struct Case {
        const char* subkey;
        const char* location;
        const char* name;
        const char* expected;
    } cases[] = {
        {"Scripts", "C:\\cgi\\", "scripts", "C:\\cgi"},
        {"root", "\\", "root", ""},
        {"Docs", "/srv/docs//", "docs", "/srv/docs/"},
        {"plain", "/srv/plain", "plain", "/srv/plain"},
    };
    for (const Case& c : cases)
        RegSetString(Key(std::string("HTTP\\Paths\\") + c.subkey), "Location", c.location);
    Key("HTTP\\Paths\\empty");
    CVirtualPathMap paths;
    ASSERT_TRUE(paths.LoadFromKey(Key("HTTP"), "Paths"));
    for (const Case& c : cases) {
        CVirtualPath path;
        ASSERT_TRUE(paths.LookupLocked(c.name, path)) << c.name;
        EXPECT_EQ(path.Location, c.expected) << c.name;
    }
    CVirtualPath path;
    EXPECT_FALSE(paths.LookupLocked("Scripts", path));
    ASSERT_TRUE(paths.LookupLocked("empty", path));
    EXPECT_EQ(path.Location, "");
}

TEST_F(VirtualPathTest, AccessListAndCGIMappingsRoundTripThroughSave)
{
    platform::RegistryKey cgi = Key("Srv\\Paths\\Cgi");
    RegSetString(cgi, "Location", "/srv/cgi");
    RegSetString(Key("Srv\\Paths\\Cgi\\ACL"), "0", "Allow Everyone GET *");
    RegSetString(Key("Srv\\Paths\\Cgi\\CGIExt\\PL"), "CommandLine", "perl");
    for (const char* stale : {"old", "older"})
        RegSetString(Key(std::string("Srv\\Paths\\") + stale + "\\CGIExt\\x"), "CommandLine", "x");
    RegSetString(Key("Srv\\Paths"), "stray", "value");

    CVirtualPathMap paths;
    ASSERT_TRUE(paths.LoadFromKey(Key("Srv"), "Paths"));
    ASSERT_TRUE(paths.RemoveKey("old"));
    ASSERT_TRUE(paths.RemoveKey("older"));
    ASSERT_TRUE(paths.Save(Key("Srv"), "Paths"));

    platform::RegistryKey pathsKey = Key("Srv\\Paths");
    platform::RegistryKey probe;
    EXPECT_NE(pathsKey.Open("old", probe), platform::kErrorSuccess);
    EXPECT_NE(pathsKey.Open("older", probe), platform::kErrorSuccess);
    std::string data;
    EXPECT_NE(RegQueryString(pathsKey, "stray", data), platform::kErrorSuccess);

    CVirtualPathMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("Srv"), "Paths"));
    EXPECT_EQ(loaded.GetCount(), 1u);
    CVirtualPath path;
    ASSERT_TRUE(loaded.LookupLocked("cgi", path));
    EXPECT_EQ(path.Location, "/srv/cgi");
    EXPECT_EQ(path.ACL.GetLines(), std::vector<std::string>{"Allow Everyone GET *"});
    CCGIMapping mapping;
    ASSERT_TRUE(path.CGIExt.LookupLocked("pl", mapping));
    EXPECT_EQ(mapping.CommandLine, "perl");
}

TEST_F(VirtualPathTest, ServerAsksTheGlobalPathsAndCopiesRefresh)
{
    RegSetString(Key("HTTP\\Paths\\docs"), "Location", "/global/docs");
    RegSetString(Key("HTTP\\Paths\\both"), "Location", "/global/both");
    RegSetString(Key("Srv\\Paths\\both"), "Location", "/own/both");
    RegSetString(Key("HTTP\\Paths\\docs\\CGIExt\\pl"), "CommandLine", "perl");
    CVirtualPathMap global;
    ASSERT_TRUE(global.LoadFromKey(Key("HTTP"), "Paths"));
    CVirtualPathMap server;
    ASSERT_TRUE(server.LoadFromKey(Key("Srv"), "Paths"));
    server.SetParent(&global);
    CVirtualPath path;
    ASSERT_TRUE(server.LookupLocked("both", path));
    EXPECT_EQ(path.Location, "/own/both");
    ASSERT_TRUE(server.LookupLocked("docs", path));
    EXPECT_EQ(path.Location, "/global/docs");

    // A looked-up copy keeps its own handle on the path's CGIExt key.
    RegSetString(Key("HTTP\\Paths\\docs\\CGIExt\\kav"), "CommandLine", "kav");
    Touch();
    CCGIMapping mapping;
    EXPECT_TRUE(path.CGIExt.LookupLocked("kav", mapping));
    EXPECT_TRUE(path.CGIExt.LookupLocked("pl", mapping));
    CVirtualPath again;
    ASSERT_TRUE(server.LookupLocked("docs", again));
    EXPECT_TRUE(again.CGIExt.LookupLocked("kav", mapping));
}

} // namespace
