#include "config/cgi_mapping.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class CGIMappingTest : public ConfigTest {};

TEST_F(CGIMappingTest, DefaultsOlderWinCGIFormAndSave)
{
    RegSetString(Key("HTTP\\CGIExt\\PL"), "CommandLine", "perl %s");
    RegSetString(Key("HTTP\\CGIExt\\str"), "ExecCGI", "0"); // not a DWORD: not read
    struct Case {
        const char* name;
        std::int64_t winCGI; // -1: none
        std::uint32_t expected;
    } cases[] = {{"w5", 5, 1}, {"w0", 0, 0}, {"isapi", -1, 2}};
    for (const Case& c : cases) {
        platform::RegistryKey sub = Key(std::string("HTTP\\CGIExt\\") + c.name);
        if (c.winCGI >= 0)
            sub.SetDword("WinCGI", static_cast<std::uint32_t>(c.winCGI));
        sub.SetDword("CGIProtocol", 2);
    }
    CCGIMappingMap map;
    ASSERT_TRUE(map.LoadFromKey(Key("HTTP"), "CGIExt"));
    CCGIMapping mapping;
    ASSERT_TRUE(map.LookupLocked("pl", mapping));
    EXPECT_EQ(mapping.CommandLine, "perl %s");
    EXPECT_EQ(mapping.ExecCGI, 1u);
    EXPECT_EQ(mapping.CGIProtocol, kCGIProtocolCGI);
    ASSERT_TRUE(map.LookupLocked("str", mapping));
    EXPECT_EQ(mapping.ExecCGI, 1u);
    for (const Case& c : cases) {
        ASSERT_TRUE(map.LookupLocked(c.name, mapping)) << c.name;
        EXPECT_EQ(mapping.CGIProtocol, c.expected) << c.name;
    }

    ASSERT_TRUE(map.Save(Key("HTTP"), "CGIExt"));
    std::uint32_t value = 0;
    EXPECT_EQ(RegQueryDword(Key("HTTP\\CGIExt\\w5"), "WinCGI", value), platform::kErrorFileNotFound);
    CCGIMappingMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("HTTP"), "CGIExt"));
    EXPECT_EQ(loaded.GetCount(), 5u);
    ASSERT_TRUE(loaded.LookupLocked("w5", mapping));
    EXPECT_EQ(mapping.CGIProtocol, 1u);
}

TEST_F(CGIMappingTest, SaveDeletesStaleSubkeysReloadDropsDeletedParentAnswers)
{
    for (const char* name : {"cmd", "Bat", "pl"})
        RegSetString(Key(std::string("Srv\\CGIExt\\") + name + "\\Deep"), "x", "y");
    RegSetString(Key("HTTP\\CGIExt\\py"), "CommandLine", "python");
    CCGIMappingMap global;
    ASSERT_TRUE(global.LoadFromKey(Key("HTTP"), "CGIExt"));
    CCGIMappingMap server;
    CCGIMapping perl;
    perl.CommandLine = "perl";
    server.SetAt("pl", perl);
    ASSERT_TRUE(server.Save(Key("Srv"), "CGIExt"));
    platform::RegistryKey probe;
    EXPECT_NE(Key("Srv\\CGIExt").Open("cmd", probe), platform::kErrorSuccess);
    EXPECT_NE(Key("Srv\\CGIExt").Open("Bat", probe), platform::kErrorSuccess);

    ASSERT_TRUE(server.LoadFromKey(Key("Srv"), "CGIExt"));
    server.SetParent(&global);
    // An extension whose subkey went stops running at the next reload; the
    // lookup then falls through to the parent.
    CCGIMapping mapping;
    ASSERT_TRUE(server.LookupLocked("pl", mapping));
    EXPECT_EQ(mapping.CommandLine, "perl");
    ASSERT_TRUE(RegDeleteKeyTree(Key("Srv\\CGIExt"), "pl"));
    Touch();
    EXPECT_FALSE(server.LookupLocked("pl", mapping));
    ASSERT_TRUE(server.LookupLocked("py", mapping));
    EXPECT_EQ(mapping.CommandLine, "python");
}

} // namespace
