#include "config/qns_config.h"

#include "config/access_list.h"

#include "config_fixture.h"
#include "framework/host_name.h"
#include "platform/net.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::uint32_t Address(const char* dotted)
{
    std::uint32_t address = 0;
    EXPECT_TRUE(platform::ParseIPv4(dotted, &address)) << dotted;
    return address;
}

class QNSConfigTest : public ConfigTest {
protected:
    std::string Lookup(CQNSConfig& table, const char* dotted)
    {
        std::string name = "<none>";
        return table.Lookup(Address(dotted), name) == 1 ? name : "<none>";
    }
};

TEST_F(QNSConfigTest, LoadReadsEveryUsableValue)
{
    platform::RegistryKey key = Key("QNS");
    const std::string longName(300, 'n');
    key.SetString("10.0.0.5", "gate");
    key.SetString("foo", "ignored");
    key.SetString("255.255.255.255", "everyone");
    key.SetString("10.0.0.6", longName); // longer than any fixed field
    key.SetString("10.0.0.7." + std::string(300, '9'), "bad name");
    key.SetString("10.0.0.8", "after the long ones");
    key.SetString("127.0.0.1", "");       // resolved when the table loads
    key.SetString("10.0.0.05", "gateway"); // the same address: replaces
    key.SetString("192.168.1.1", "");     // the DNS has no name: no entry

    CQNSConfig table;
    ASSERT_EQ(table.Load(m_product, "QNS"), 1);
    struct Case {
        const char* address;
        std::string expected;
    } cases[] = {
        {"10.0.0.5", "gateway"},
        {"10.0.0.6", longName},
        {"10.0.0.8", "after the long ones"},
        {"10.0.0.9", "<none>"},
        {"255.255.255.255", "<none>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Lookup(table, c.address), c.expected) << c.address;
    std::string resolved;
    ASSERT_TRUE(platform::LookupHostName(Address("127.0.0.1"), 5000, &resolved) == 0 && !resolved.empty())
        << "the test machine names 127.0.0.1 in /etc/hosts";
    EXPECT_EQ(Lookup(table, "127.0.0.1"), resolved);
    EXPECT_EQ(table.GetEntries().size(), 4u);
}

TEST_F(QNSConfigTest, AnEditReachesTheNextLookupAfterTheStamp)
{
    platform::RegistryKey key = Key("QNS");
    key.SetString("10.1.1.1", "old");
    CQNSConfig table;
    ASSERT_EQ(table.Load(m_product, "QNS"), 1);
    key.SetString("10.1.1.1", "new");
    key.SetString("10.1.1.2", "added");
    EXPECT_EQ(Lookup(table, "10.1.1.1"), "old"); // no change seen yet
    Touch();
    EXPECT_EQ(Lookup(table, "10.1.1.1"), "new");
    EXPECT_EQ(Lookup(table, "10.1.1.2"), "added");
    key.DeleteValue("10.1.1.2");
    Touch();
    EXPECT_EQ(Lookup(table, "10.1.1.2"), "<none>");
}

TEST_F(QNSConfigTest, SaveRewritesTheKeyInDottedForm)
{
    CQNSConfig table;
    table.SetAt(Address("10.2.0.1"), "one");
    table.SetAt(Address("172.16.3.4"), "two");
    ASSERT_EQ(table.Save(m_product, "Copy"), 1);
    platform::RegistryKey copy = Key("Copy");
    std::string name;
    ASSERT_EQ(copy.QueryString("10.2.0.1", name), platform::kErrorSuccess);
    EXPECT_EQ(name, "one");
    ASSERT_EQ(copy.QueryString("172.16.3.4", name), platform::kErrorSuccess);
    EXPECT_EQ(name, "two");

    CQNSConfig reread;
    ASSERT_EQ(reread.Load(m_product, "Copy"), 1);
    EXPECT_EQ(reread.GetEntries(), table.GetEntries());

    table.RemoveAll();
    ASSERT_EQ(table.Save(m_product, "Copy"), 1);
    std::uint32_t values = 99;
    ASSERT_EQ(copy.QueryInfo(nullptr, &values), platform::kErrorSuccess);
    EXPECT_EQ(values, 0u);
}

TEST_F(QNSConfigTest, TheGlobalTableAnswersTheHostNameLookups)
{
    Key("QNS").SetString("10.3.0.1", "qns-named");
    ASSERT_EQ(GlobalQNSConfig().Load(m_product, "QNS"), 1);
    SetQNSLookup(&LookupGlobalQNS);
    std::string name;
    ResolveHostName(name, Address("10.3.0.1"));
    EXPECT_EQ(name, "qns-named");
    EXPECT_TRUE(LookupQNSHostName(Address("10.3.0.1"), name));
    EXPECT_FALSE(LookupQNSHostName(Address("10.3.0.2"), name));
    // An access line's host pattern sees the table's name.
    EXPECT_EQ(ConfirmedHostName("10.3.0.1", 1000), "qns-named");
    SetQNSLookup(nullptr);
    GlobalQNSConfig().RemoveAll();
}

} // namespace
