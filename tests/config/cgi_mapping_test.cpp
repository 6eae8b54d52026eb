#include "config/cgi_mapping.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class CGIMappingTest : public ConfigTest {};

TEST_F(CGIMappingTest, DefaultsAndTheOlderWinCGIForm)
{
    platform::RegistryKey ext = Key("HTTP\\CGIExt");
    RegSetString(Key("HTTP\\CGIExt\\PL"), "CommandLine", "perl %s");
    struct Case {
        const char* name;
        bool hasWinCGI;
        std::uint32_t winCGI;
        std::uint32_t protocol;
        std::uint32_t expected;
    } cases[] = {
        {"w5", true, 5, 2, 1},
        {"w0", true, 0, 2, 0},
        {"isapi", false, 0, 2, 2},
    };
    for (const Case& c : cases) {
        platform::RegistryKey sub = Key(std::string("HTTP\\CGIExt\\") + c.name);
        if (c.hasWinCGI)
            sub.SetDword("WinCGI", c.winCGI);
        sub.SetDword("CGIProtocol", c.protocol);
    }
    // A number that is not a 4-byte DWORD is not read.
    RegSetString(Key("HTTP\\CGIExt\\str"), "ExecCGI", "0");

    CCGIMappingMap map;
    ASSERT_TRUE(map.LoadFromKey(Key("HTTP"), "CGIExt"));
    CCGIMapping mapping;
    ASSERT_TRUE(map.LookupLocked("pl", mapping));
    EXPECT_EQ(mapping.CommandLine, "perl %s");
    EXPECT_EQ(mapping.WorkingDir, "");
    EXPECT_EQ(mapping.ExecCGI, 1u);
    EXPECT_EQ(mapping.CGIProtocol, kCGIProtocolCGI);
    EXPECT_FALSE(map.LookupLocked("PL", mapping));
    for (const Case& c : cases) {
        ASSERT_TRUE(map.LookupLocked(c.name, mapping)) << c.name;
        EXPECT_EQ(mapping.CGIProtocol, c.expected) << c.name;
    }
    ASSERT_TRUE(map.LookupLocked("str", mapping));
    EXPECT_EQ(mapping.ExecCGI, 1u);

    ASSERT_TRUE(map.Save(Key("HTTP"), "CGIExt"));
    platform::RegistryKey w5 = Key("HTTP\\CGIExt\\w5");
    std::uint32_t value = 0;
    EXPECT_EQ(RegQueryDword(w5, "WinCGI", value), platform::kErrorFileNotFound);
    ASSERT_EQ(RegQueryDword(w5, "CGIProtocol", value), platform::kErrorSuccess);
    EXPECT_EQ(value, 1u);
}

TEST_F(CGIMappingTest, SaveDeletesStaleSubkeysAndRoundTrips)
{
    for (const char* name : {"cmd", "Bat", "exe"})
        RegSetString(Key(std::string("Srv\\CGIExt\\") + name + "\\Deep"), "x", "y");
    CCGIMappingMap map;
    CCGIMapping mapping;
    mapping.CommandLine = "run.exe";
    mapping.WorkingDir = "C:\\work";
    mapping.ExecCGI = 0;
    mapping.CGIProtocol = kCGIProtocolISAPI;
    map.SetAt("exe", mapping);
    ASSERT_TRUE(map.Save(Key("Srv"), "CGIExt"));
    platform::RegistryKey ext = Key("Srv\\CGIExt");
    platform::RegistryKey probe;
    EXPECT_NE(ext.Open("cmd", probe), platform::kErrorSuccess);
    EXPECT_NE(ext.Open("Bat", probe), platform::kErrorSuccess);

    CCGIMappingMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(Key("Srv"), "CGIExt"));
    EXPECT_EQ(loaded.GetCount(), 1u);
    CCGIMapping back;
    ASSERT_TRUE(loaded.LookupLocked("exe", back));
    EXPECT_EQ(back.CommandLine, mapping.CommandLine);
    EXPECT_EQ(back.WorkingDir, mapping.WorkingDir);
    EXPECT_EQ(back.ExecCGI, 0u);
    EXPECT_EQ(back.CGIProtocol, kCGIProtocolISAPI);
}

TEST_F(CGIMappingTest, ReloadKeepsAMappingWhoseSubkeyWentAndAsksTheParent)
{
    RegSetString(Key("Srv\\CGIExt\\pl"), "CommandLine", "perl");
    RegSetString(Key("HTTP\\CGIExt\\py"), "CommandLine", "python");
    CCGIMappingMap global;
    ASSERT_TRUE(global.LoadFromKey(Key("HTTP"), "CGIExt"));
    CCGIMappingMap server;
    ASSERT_TRUE(server.LoadFromKey(Key("Srv"), "CGIExt"));
    server.SetParent(&global);
    ASSERT_TRUE(RegDeleteKeyTree(Key("Srv\\CGIExt"), "pl"));
    Touch();
    CCGIMapping mapping;
    ASSERT_TRUE(server.LookupLocked("pl", mapping));
    EXPECT_EQ(mapping.CommandLine, "perl");
    ASSERT_TRUE(server.LookupLocked("py", mapping));
    EXPECT_EQ(mapping.CommandLine, "python");
}

} // namespace
