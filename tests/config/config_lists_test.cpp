#include "config/config_lists.h"

#include "config/chat_config.h"
#include "config/http_server_config.h"
#include "config_fixture.h"

namespace {

class ConfigListsTest : public ConfigTest {};

constexpr std::uint32_t kAddress1 = 0x0100000A; // 10.0.0.1
constexpr std::uint32_t kAddress2 = 0x0200000A; // 10.0.0.2

// Sets the values the look-ups compare.
template <class Config>
Config& Place(Config& config, std::uint32_t port, std::uint32_t address, const char* logFile,
             std::uint32_t enabled = 1)
{
    auto s = std::make_shared<CServiceSettings>(*config.GetSettings());
    s->port = port;
    s->address = address;
    s->logFile = logFile;
    s->enabled = enabled;
    config.SetSettings(s);
    return config;
}

TEST_F(ConfigListsTest, HTTPLookUpsByLogFileKeyNameAndPortAddress)
{
    CHTTPServerConfigList list;
    EXPECT_EQ(list.FindByLogFile("x"), nullptr);
    EXPECT_EQ(list.FindByPortAddress(80, 0), nullptr);
    EXPECT_EQ(list.FindByKeyName("80:0.0.0.0"), nullptr);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());

    CHTTPServerConfig& specific = Place(list.AddTail(), 8080, kAddress1, "c:\\logs\\a.log");
    CHTTPServerConfig& wildcard = Place(list.AddTail(), 80, 0, "/var/log/b.log");
    CHTTPServerConfig& other = Place(list.AddTail(), 8080, kAddress2, "/var/log/c.log");

    EXPECT_EQ(list.FindByLogFile("C:\\LOGS\\A.LOG"), &specific);
    EXPECT_EQ(list.FindByLogFile("/VAR/LOG/b.log"), &wildcard);
    EXPECT_EQ(list.FindByLogFile("/var/log/b.lo"), nullptr);
    EXPECT_EQ(list.FindByKeyName("8080:10.0.0.2"), &other);
    EXPECT_EQ(list.FindByKeyName("80:0.0.0.0"), &wildcard);
    EXPECT_EQ(list.FindByKeyName("80:0.0.0.1"), nullptr);

    struct Case {
        std::uint32_t port;
        std::uint32_t address;
        const CHTTPServerConfig* found;
    } cases[] = {
        {8080, kAddress1, &specific}, // exact
        {8080, kAddress2, &other},    // exact, found before the conflict rule
        {8080, 0x0300000A, nullptr},  // another specific address: no conflict
        {8080, 0, &specific},         // a wildcard beside specific ones
        {80, kAddress1, &wildcard},   // a specific address beside the wildcard
        {80, 0, &wildcard},
        {81, 0, nullptr},
    };
    for (const Case& c : cases)
        EXPECT_EQ(list.FindByPortAddress(c.port, c.address), c.found) << c.port << " " << c.address;

    EXPECT_TRUE(list.Remove(&wildcard));
    EXPECT_FALSE(list.Remove(&wildcard));
    EXPECT_EQ(list.FindByPortAddress(80, kAddress1), nullptr);
    EXPECT_EQ(list.GetCount(), 2u);
    list.RemoveAll();
    EXPECT_TRUE(list.IsEmpty());
}

TEST_F(ConfigListsTest, ChatLookUpsSeeOnlyEnabledRoomsAndNextFreePortStaysAPort)
{
    CChatRoomConfigList list;
    EXPECT_EQ(list.NextFreePort(), 8000u);
    CChatRoomConfig& off = Place(list.AddTail(), 8000, 0, "/logs/off.log", 0);
    CChatRoomConfig& on = Place(list.AddTail(), 8000, kAddress1, "/logs/on.log");
    EXPECT_EQ(list.FindByPortAddress(8000, 0), &on) << "a disabled room conflicts";
    EXPECT_EQ(list.FindByPortAddress(8000, kAddress2), nullptr);
    EXPECT_EQ(list.FindByLogFile("/LOGS/OFF.LOG"), &off);
    EXPECT_EQ(list.FindByName("CHAT ROOM"), &off);

    struct Case {
        std::vector<std::uint32_t> ports;
        std::uint32_t next;
    } cases[] = {
        {{}, 8000},          {{80, 7999}, 8000},           {{8000}, 8001},         {{9000, 8000}, 9001},
        {{65534}, 65535},    {{8000, 8001, 65535}, 8002}, {{65535, 8000}, 8001},
    };
    for (const Case& c : cases) {
        CChatRoomConfigList rooms;
        for (std::uint32_t port : c.ports)
            Place(rooms.AddTail(), port, 0, "");
        EXPECT_EQ(rooms.NextFreePort(), c.next) << c.ports.size() << " rooms";
        EXPECT_LE(rooms.NextFreePort(), 65535u);
    }
}

} // namespace
