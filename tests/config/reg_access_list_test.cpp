#include "config/reg_access_list.h"

#include "config/group_map.h"
#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class RegAccessListTest : public ConfigTest {
protected:
    CTestScope m_scope;
};

TEST_F(RegAccessListTest, LinesInEnumerationOrderAndSavedByIndex)
{
    platform::RegistryKey acl = Key("Server\\ACL");
    // Names out of numeric order: the registry's order decides, not the names.
    RegSetString(acl, "1", "Reject-user: GET,bob,*");
    RegSetString(acl, "0", "Allow-user: GET,*,*");
    RegSetString(acl, "2", std::string("Allow-user: PUT,") + std::string(2000, 'p') + ",*");
    CRegAccessList list;
    ASSERT_TRUE(list.Load(Key("Server"), "ACL"));
    ASSERT_EQ(list.GetCount(), 3u);
    EXPECT_FALSE(list.IsAllowed("GET", "bob", "1.2.3.4", nullptr, nullptr));
    EXPECT_TRUE(list.IsAllowed("PUT", std::string(2000, 'p'), "1.2.3.4", nullptr, nullptr));

    ASSERT_TRUE(list.Save(m_product, "Saved"));
    std::string name, data;
    platform::RegistryKey saved = Key("Saved");
    ASSERT_EQ(RegEnumValueString(saved, 0, name, data), 0);
    EXPECT_EQ(name, "0");
    EXPECT_EQ(data, "Reject-user: GET,bob,*");
    ASSERT_EQ(RegEnumValueString(saved, 2, name, data), 0);
    EXPECT_EQ(name, "2");
    EXPECT_EQ(RegEnumValueString(saved, 3, name, data), platform::kErrorNoMoreItems);
}

TEST_F(RegAccessListTest, RefreshesAtAChangeAndCopiesFollowTheKey)
{
    platform::RegistryKey acl = Key("Server\\ACL");
    RegSetString(acl, "0", "Reject-user: *,*,*");
    CRegAccessList list;
    ASSERT_TRUE(list.Load(Key("Server"), "ACL"));
    CRegAccessList copy(list);
    RegSetString(acl, "0", "Allow-user: *,*,*");
    EXPECT_EQ(list.CheckFresh("GET", "", "1.2.3.4", nullptr, nullptr), 0);
    Touch();
    EXPECT_EQ(list.CheckFresh("GET", "", "1.2.3.4", nullptr, nullptr), 1);
    EXPECT_EQ(copy.CheckFresh("GET", "", "1.2.3.4", nullptr, nullptr), 1);
}

TEST_F(RegAccessListTest, ListWithoutKeyKeepsItsLinesAtAChange)
{
    CRegAccessList list;
    list.AddLine("Reject-user: *,*,*");
    Touch();
    EXPECT_FALSE(list.IsAllowed("GET", "", "1.2.3.4", nullptr, nullptr));
}

// A running server whose key is renamed (its port changed, restart
// declined) must not start refusing everyone.
TEST_F(RegAccessListTest, AListWhoseKeyIsDeletedKeepsItsLines)
{
    RegSetString(Key("Server\\ACL"), "0", "Allow-user: GET,*,*");
    RegSetString(Key("Server\\ACL"), "1", "Reject-user: PUT,*,*");
    CRegAccessList list;
    ASSERT_TRUE(list.Load(Key("Server"), "ACL"));
    ASSERT_TRUE(RegDeleteKeyTree(m_product, "Server"));
    for (int change = 0; change < 2; ++change) {
        Touch();
        EXPECT_EQ(list.CheckFresh("GET", "", "1.2.3.4", nullptr, nullptr), 1) << change;
        EXPECT_EQ(list.CheckFresh("PUT", "", "1.2.3.4", nullptr, nullptr), 0) << change;
    }
}

TEST_F(RegAccessListTest, GroupMacroMayCheckTheSameList)
{
    RegSetString(Key("Groups"), "MemberMacro", "%username%");
    CGroupMap groups;
    ASSERT_TRUE(groups.LoadFromKey(m_product, "Groups"));
    RegSetString(Key("Server\\ACL"), "0", "Allow-group: GET,team,*");
    CRegAccessList list;
    ASSERT_TRUE(list.Load(Key("Server"), "ACL"));
    int depth = 0;
    bool inner = true;
    m_scope.during = [&] {
        // Neither the list's lock nor the group map's is held here.
        if (depth++ == 0)
            inner = list.IsAllowed("GET", "", "1.2.3.4", &groups, &m_scope);
    };
    EXPECT_TRUE(list.IsAllowed("GET", "ann", "1.2.3.4", &groups, &m_scope));
    EXPECT_FALSE(inner); // anonymous: the group line does not apply
}

} // namespace
