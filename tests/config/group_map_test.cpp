#include "config/group_map.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

namespace {

class GroupMapTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        platform::RegistryKey staff = Key("Groups\\Staff");
        RegSetString(staff, "Ann", "");
        RegSetString(staff, "Bob", "x");
        RegSetString(staff, std::string(200, 'm'), "");
        RegSetString(staff, "Zed", "");
    }
    CTestScope m_scope;
};

TEST_F(GroupMapTest, MembersAreValuesWithEmptyData)
{
    CGroupMap groups;
    ASSERT_TRUE(groups.LoadFromKey(m_product, "Groups"));
    struct Case {
        const char* user;
        const char* group;
        bool member;
    } cases[] = {
        {"ann", "staff", true},  {"ANN", "staff", true},  {"bob", "staff", false},
        {"ann", "Staff", false}, {"zed", "staff", true},  {"ann", "other", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(groups.IsMember(c.user, c.group, nullptr), c.member) << c.user << " in " << c.group;
    // A long member name does not end the load of those after it.
    EXPECT_TRUE(groups.IsMember(std::string(200, 'M'), "staff", nullptr));
}

TEST_F(GroupMapTest, MemberMacroDecidesOrFallsThrough)
{
    CGroupMap parent;
    RegSetString(Key("Engine\\Admins"), "root", "");
    ASSERT_TRUE(parent.LoadFromKey(m_product, "Engine"));
    platform::RegistryKey groupsKey = Key("Groups");

    RegSetString(groupsKey, "MemberMacro", "yes");
    CGroupMap groups;
    ASSERT_TRUE(groups.LoadFromKey(m_product, "Groups"));
    groups.SetParent(&parent);
    EXPECT_TRUE(groups.HasMemberMacro());
    EXPECT_TRUE(groups.IsMember("anyone", "nosuchgroup", &m_scope));
    EXPECT_FALSE(groups.IsMember("anyone", "nosuchgroup", nullptr));

    for (const char* refusing : {"", "%throw%", "[member error 7: no such table]"}) {
        RegSetString(groupsKey, "MemberMacro", refusing);
        Touch();
        std::string error;
        EXPECT_FALSE(groups.IsMember("anyone", "admins", &m_scope, &error)) << refusing;
        EXPECT_TRUE(groups.IsMember("root", "admins", &m_scope)) << refusing;
    }
    // The member macro sees the names as given.
    RegSetString(groupsKey, "MemberMacro", "%group%");
    Touch();
    EXPECT_TRUE(groups.IsMember("x", "staff", &m_scope));
}

TEST_F(GroupMapTest, GroupMacroRunsWithoutTheLockAndMayAskAgain)
{
    RegSetString(Key("Groups\\Staff\\Macro"), "Authenticate", "%username%");
    CGroupMap groups;
    ASSERT_TRUE(groups.LoadFromKey(m_product, "Groups"));
    int nested = 0;
    bool inner = false;
    m_scope.during = [&] {
        // Asking the same map from inside its macro must not wait on itself.
        if (nested++ == 0)
            inner = groups.IsMember("ann", "staff", nullptr);
    };
    EXPECT_TRUE(groups.IsMember("carl", "staff", &m_scope));
    EXPECT_TRUE(inner);
    RegSetString(Key("Groups\\Staff\\Macro"), "Authenticate", "%throw%");
    Touch();
    std::string error;
    EXPECT_FALSE(groups.IsMember("carl", "staff", &m_scope, &error));
    EXPECT_EQ(error, "thrown by the macro");
}

TEST_F(GroupMapTest, SaveRemovesNeighbouringStaleGroups)
{
    Key("Groups\\Alpha");
    Key("Groups\\Beta");
    CGroupMap groups;
    ASSERT_TRUE(groups.LoadFromKey(m_product, "Groups"));
    ASSERT_EQ(groups.GetCount(), 3u);
    ASSERT_TRUE(groups.RemoveKey("alpha"));
    ASSERT_TRUE(groups.RemoveKey("beta"));
    groups.SetMemberMacro("m");
    ASSERT_TRUE(groups.Save(m_product, "Groups"));

    std::vector<std::string> subkeys;
    std::string name;
    platform::RegistryKey saved = Key("Groups");
    for (std::uint32_t i = 0; i < 10 && saved.EnumKey(i, name) == 0; ++i)
        subkeys.push_back(name);
    EXPECT_EQ(subkeys, std::vector<std::string>{"Staff"});
    CGroupMap reloaded;
    ASSERT_TRUE(reloaded.LoadFromKey(m_product, "Groups"));
    EXPECT_TRUE(reloaded.IsMember("ann", "staff", nullptr));
    EXPECT_FALSE(reloaded.IsMember("bob", "staff", nullptr));
    EXPECT_EQ(reloaded.GetMemberMacro(), "m");
}

TEST_F(GroupMapTest, AssignCopiesGroupsAndRefreshesOnItsOwn)
{
    CGroupMap source;
    ASSERT_TRUE(source.LoadFromKey(m_product, "Groups"));
    CGroupMap copy(source);
    EXPECT_TRUE(copy.IsMember("ann", "staff", nullptr));
    RegSetString(Key("Groups\\New"), "nina", "");
    Touch();
    EXPECT_TRUE(copy.IsMember("nina", "new", nullptr));
}

} // namespace
