#include "config/virtual_path.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class VirtualPathTest : public ConfigTest {};

TEST_F(VirtualPathTest, LoadFoldsNamesDropsOneSeparatorAndSaveRoundTrips)
{
    struct Case {
        const char* subkey;
        const char* location;
        const char* name;
        const char* expected;
    } cases[] = {
        {"Scripts", "C:\\cgi\\", "scripts", "C:\\cgi"},
        {"root", "\\", "root", ""},
        {"Docs", "/srv/docs", "docs", "/srv/docs"},
    };
    for (const Case& c : cases)
        RegSetString(Key(std::string("Srv\\Paths\\") + c.subkey), "Location", c.location);
    RegSetString(Key("Srv\\Paths\\Scripts\\ACL"), "0", "Allow Everyone GET *");
    RegSetString(Key("Srv\\Paths\\Scripts\\CGIExt\\PL"), "CommandLine", "perl");
    for (const char* stale : {"old", "older"})
        RegSetString(Key(std::string("Srv\\Paths\\") + stale + "\\CGIExt\\x"), "CommandLine", "x");

    CVirtualPathMap paths;
    ASSERT_TRUE(paths.LoadFromKey(Key("Srv"), "Paths"));
    ASSERT_TRUE(paths.RemoveKey("old"));
    ASSERT_TRUE(paths.RemoveKey("older"));
    ASSERT_TRUE(paths.Save(Key("Srv"), "Paths"));
    platform::RegistryKey probe;
    EXPECT_NE(Key("Srv\\Paths").Open("old", probe), platform::kErrorSuccess);
    EXPECT_NE(Key("Srv\\Paths").Open("older", probe), platform::kErrorSuccess);

    CVirtualPathMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("Srv"), "Paths"));
    EXPECT_EQ(loaded.GetCount(), 3u);
    CVirtualPath path;
    for (const Case& c : cases) {
        ASSERT_TRUE(loaded.LookupLocked(c.name, path)) << c.name;
        EXPECT_EQ(path.Location, c.expected) << c.name;
    }
    EXPECT_FALSE(loaded.LookupLocked("Scripts", path));
    ASSERT_TRUE(loaded.LookupLocked("scripts", path));
    EXPECT_EQ(path.ACL.GetLines(), std::vector<std::string>{"Allow Everyone GET *"});
    CCGIMapping mapping;
    EXPECT_TRUE(path.CGIExt.LookupLocked("pl", mapping));
}

TEST_F(VirtualPathTest, ServerAsksTheGlobalPathsAndCopiesRefresh)
{
    RegSetString(Key("HTTP\\Paths\\docs"), "Location", "/global/docs");
    RegSetString(Key("HTTP\\Paths\\both"), "Location", "/global/both");
    RegSetString(Key("Srv\\Paths\\both"), "Location", "/own/both");
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

    // The copy holds its own handle on the path's CGIExt key.
    RegSetString(Key("HTTP\\Paths\\docs\\CGIExt\\kav"), "CommandLine", "kav");
    Touch();
    CCGIMapping mapping;
    EXPECT_TRUE(path.CGIExt.LookupLocked("kav", mapping));
}

} // namespace
