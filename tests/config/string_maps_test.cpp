#include "config/string_maps.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class StringMapsTest : public ConfigTest {};

TEST_F(StringMapsTest, NamesFoldAndLongTextsDoNotEndTheLoad)
{
    platform::RegistryKey key = Key("HTTP\\Mappings");
    const std::string longType(300, 't');
    RegSetString(key, "HTML", "text/html");
    RegSetString(key, "long", longType);
    RegSetString(key, "Kav", "text/x-kav");
    CMIMETypeMap types;
    ASSERT_TRUE(types.LoadFromKey(Key("HTTP"), "Mappings"));
    struct Case {
        const char* key;
        const char* expected; // null: not found
    } cases[] = {
        {"html", "text/html"}, {"kav", "text/x-kav"}, {"long", longType.c_str()}, {"HTML", nullptr}, {"gif", nullptr},
    };
    for (const Case& c : cases) {
        std::string type;
        EXPECT_EQ(types.LookupLocked(c.key, type), c.expected != nullptr) << c.key;
        if (c.expected) {
            EXPECT_EQ(type, c.expected) << c.key;
        }
    }
}

TEST_F(StringMapsTest, SaveWritesExactlyItsEntriesAndLoadsBack)
{
    platform::RegistryKey key = Key("HTTP\\Redirections");
    RegSetString(key, "/stale", "/gone");
    CRedirectionMap redirections;
    const CRedirectionMap::Entries entries = {{"/old", "http://example.invalid/New"}, {"/a", "/b"}};
    for (const auto& [from, to] : entries)
        redirections.SetAt(from, to);
    ASSERT_TRUE(redirections.Save(Key("HTTP"), "Redirections"));
    std::string data;
    EXPECT_EQ(RegQueryString(key, "/stale", data), platform::kErrorFileNotFound);
    CRedirectionMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("HTTP"), "Redirections"));
    EXPECT_EQ(loaded.GetEntries(), entries);
}

TEST_F(StringMapsTest, ServerMapFallsBackToGlobalAndAssignedMapRefreshes)
{
    RegSetString(Key("HTTP\\Icons"), "folder", "/icons/global.gif");
    RegSetString(Key("HTTP\\Icons"), "text", "/icons/text.gif");
    RegSetString(Key("Server\\Icons"), "folder", "/icons/own.gif");
    CIconMap global;
    ASSERT_TRUE(global.LoadFromKey(Key("HTTP"), "Icons"));
    CIconMap assigned;
    assigned.Assign(global);
    CIconMap server;
    ASSERT_TRUE(server.LoadFromKey(Key("Server"), "Icons"));
    server.SetParent(&assigned);
    std::string icon;
    EXPECT_TRUE(server.LookupLocked("folder", icon));
    EXPECT_EQ(icon, "/icons/own.gif");
    EXPECT_TRUE(server.LookupLocked("text", icon));
    EXPECT_EQ(icon, "/icons/text.gif");
    EXPECT_FALSE(server.LookupLocked("none", icon));

    RegSetString(Key("HTTP\\Icons"), "text", "/icons/edited.gif");
    Touch();
    EXPECT_TRUE(server.LookupLocked("text", icon));
    EXPECT_EQ(icon, "/icons/edited.gif");
    EXPECT_TRUE(global.LookupLocked("text", icon));
    EXPECT_EQ(icon, "/icons/edited.gif");
}

TEST_F(StringMapsTest, MapWithoutKeyLoadsEmptyAtAChange)
{
    CMIMETypeMap types;
    types.SetAt("html", "text/html");
    Touch();
    std::string type;
    EXPECT_FALSE(types.LookupLocked("html", type));
}

} // namespace
