#include "config/string_maps.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class StringMapsTest : public ConfigTest {};

TEST_F(StringMapsTest, NamesFoldLongTextsDoNotEndTheLoadAndSaveRoundTrips)
{
    platform::RegistryKey key = Key("HTTP\\Mappings");
    const std::string longType(300, 't');
    RegSetString(key, "HTML", "text/html");
    RegSetString(key, "long", longType);
    RegSetString(key, "Kav", "text/x-kav");
    CMIMETypeMap types;
    ASSERT_TRUE(types.LoadFromKey(Key("HTTP"), "Mappings"));
    const CMIMETypeMap::Entries expected = {{"html", "text/html"}, {"kav", "text/x-kav"}, {"long", longType}};
    EXPECT_EQ(types.GetEntries(), expected);

    RegSetString(key, "stale", "x/y");
    ASSERT_TRUE(types.Save(Key("HTTP"), "Mappings"));
    CMIMETypeMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("HTTP"), "Mappings"));
    EXPECT_EQ(loaded.GetEntries(), expected);
}

TEST_F(StringMapsTest, ServerMapFallsBackToGlobalAndAssignedMapRefreshes)
{
    RegSetString(Key("HTTP\\Icons"), "folder", "/icons/global.gif");
    RegSetString(Key("Server\\Icons"), "folder", "/icons/own.gif");
    CIconMap global;
    ASSERT_TRUE(global.LoadFromKey(Key("HTTP"), "Icons"));
    CIconMap assigned;
    assigned.Assign(global);
    CIconMap server;
    ASSERT_TRUE(server.LoadFromKey(Key("Server"), "Icons"));
    server.SetParent(&assigned);
    RegSetString(Key("HTTP\\Icons"), "text", "/icons/text.gif");
    Touch();
    std::string icon;
    EXPECT_TRUE(server.LookupLocked("folder", icon));
    EXPECT_EQ(icon, "/icons/own.gif");
    EXPECT_TRUE(server.LookupLocked("text", icon));
    EXPECT_EQ(icon, "/icons/text.gif");
    EXPECT_FALSE(server.LookupLocked("none", icon));
}

} // namespace
