#include "config/user_map.h"

#include "config/registry_helpers.h"
#include "config_fixture.h"

#include <atomic>
#include <set>
#include <thread>

namespace {

class UserMapTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        m_users = Key("Users");
    }
    void SetMacro(const std::string& path, const std::string& text)
    {
        RegSetString(Key(path + "\\Macro"), "Authenticate", text);
    }
    platform::RegistryKey m_users;
    CTestScope m_scope;
};

TEST_F(UserMapTest, NamesFoldPasswordsDoNot)
{
    RegSetString(m_users, "Bob", "Secret");
    RegSetString(m_users, "nopass", "");
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    struct Case {
        const char* user;
        const char* password;
        bool accepted;
    } cases[] = {
        {"bob", "Secret", true},  {"BOB", "Secret", true},  {"Bob", "Secret", true},
        {"bob", "secret", false}, {"bob", "Secret ", false}, {"bob", "", false},
        {"nopass", "", true},     {"nopass", "x", false},    {"alice", "Secret", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(users.CheckPassword(c.user, c.password, nullptr), c.accepted) << c.user << "/" << c.password;
    std::string password;
    EXPECT_TRUE(users.LookupLocked("bob", password));
    EXPECT_EQ(password, "Secret");
}

TEST_F(UserMapTest, LongEntriesDoNotEndTheLoad)
{
    std::string longName(100, 'l');
    std::string longPassword(4000, 'p');
    RegSetString(m_users, "first", "1");
    RegSetString(m_users, longName, longPassword);
    RegSetString(m_users, "after", "2");
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    EXPECT_TRUE(users.CheckPassword(longName, longPassword, nullptr));
    EXPECT_TRUE(users.CheckPassword("after", "2", nullptr));
}

TEST_F(UserMapTest, AuthenticateMacroVerdicts)
{
    CUserMap parent;
    RegSetString(Key("Parent"), "dave", "pw");
    ASSERT_TRUE(parent.LoadFromKey(m_product, "Parent"));
    struct Case {
        const char* macro;
        const char* user;
        bool accepted;
        bool reportsError;
    } cases[] = {
        {"1", "anyone", true, false},
        {" \t\r\n ", "anyone", false, false},
        {"%username%", "Eve", true, false},           // sees the name as sent
        {"%password%", "eve", false, false},          // wrong password: blank output
        {"%throw%", "eve", false, true},              // an exception refuses
        {"ok [if error 3: bad argument]", "eve", false, true}, // an error outside try refuses
        {"[not an error report]", "eve", true, false},
    };
    for (const Case& c : cases) {
        SetMacro("Users", c.macro);
        CUserMap users;
        ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
        users.SetParent(&parent);
        std::string error;
        EXPECT_EQ(users.CheckPassword(c.user, "", &m_scope, &error), c.accepted) << c.macro;
        EXPECT_EQ(!error.empty(), c.reportsError) << c.macro;
        // Whatever the macro says, the parent still knows its own users.
        EXPECT_TRUE(users.CheckPassword("dave", "pw", &m_scope)) << c.macro;
    }
    SetMacro("Users", "   ");
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    EXPECT_FALSE(users.HasAuthenticateMacro());
    EXPECT_FALSE(users.CheckPassword("x", "", &m_scope));
}

TEST_F(UserMapTest, MacroRunsWithoutTheMapLock)
{
    SetMacro("Users", "yes");
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    bool lockFree = false;
    m_scope.during = [&] {
        lockFree = users.GetLock().Lock(0);
        if (lockFree)
            users.GetLock().Unlock();
    };
    EXPECT_TRUE(users.CheckPassword("x", "y", &m_scope));
    EXPECT_TRUE(lockFree);
}

TEST_F(UserMapTest, ChainAnswersFromTheNearestMap)
{
    RegSetString(Key("Global"), "shared", "global");
    RegSetString(Key("Global"), "onlyglobal", "g");
    RegSetString(m_users, "shared", "server");
    CUserMap global, server;
    ASSERT_TRUE(global.LoadFromKey(m_product, "Global"));
    ASSERT_TRUE(server.LoadFromKey(m_product, "Users"));
    server.SetParent(&global);
    std::string value = "unchanged";
    EXPECT_TRUE(server.LookupLocked("shared", value));
    EXPECT_EQ(value, "server");
    EXPECT_TRUE(server.LookupLocked("onlyglobal", value));
    EXPECT_EQ(value, "g");
    value = "unchanged";
    EXPECT_FALSE(server.LookupLocked("nobody", value));
    EXPECT_EQ(value, "unchanged");
    EXPECT_TRUE(server.CheckPassword("OnlyGlobal", "g", nullptr));
    // A chain made circular by mistake still ends.
    global.SetParent(&server);
    EXPECT_FALSE(server.LookupLocked("nobody", value));
}

TEST_F(UserMapTest, SaveWritesTheTableForm)
{
    CUserMap users;
    users.SetAt("ann", "a1");
    users.SetAt("ben", "");
    users.SetAuthenticateMacro("  %username%  ");
    RegSetString(Key("Saved"), "stale", "old");
    ASSERT_TRUE(users.Save(m_product, "Saved"));
    CUserMap loaded;
    ASSERT_TRUE(loaded.LoadFromKey(m_product, "Saved"));
    auto entries = loaded.GetEntries();
    EXPECT_EQ(entries, (CUserMap::Entries{{"ann", "a1"}, {"ben", ""}}));
    EXPECT_EQ(loaded.GetAuthenticateMacro(), "%username%");
}

TEST_F(UserMapTest, ChangesReloadSourceAndAssignedCopy)
{
    RegSetString(m_users, "old", "1");
    CUserMap source;
    ASSERT_TRUE(source.LoadFromKey(m_product, "Users"));
    CUserMap copy;
    copy = source;
    RegSetString(m_users, "new", "2");
    // No change reported yet: both keep what they loaded.
    EXPECT_FALSE(copy.CheckPassword("new", "2", nullptr));
    Touch();
    EXPECT_TRUE(source.CheckPassword("new", "2", nullptr));
    EXPECT_TRUE(copy.CheckPassword("new", "2", nullptr));
    EXPECT_TRUE(copy.HasKey());
}

TEST_F(UserMapTest, ReadersNeverSeeAHalfLoadedTable)
{
    constexpr int kUsers = 40;
    constexpr int kSaves = 30;
    auto table = [](int generation) {
        CUserMap::Entries users;
        for (int i = 0; i < kUsers; ++i)
            users["user" + std::to_string(i)] = "g" + std::to_string(generation);
        return users;
    };
    ASSERT_TRUE(CUserMap::WriteTable(m_product, "Users", table(0), ""));
    CUserMap users;
    ASSERT_TRUE(users.LoadFromKey(m_product, "Users"));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                CUserMap::Entries seen = users.GetEntries();
                std::set<std::string> generations;
                for (const auto& entry : seen)
                    generations.insert(entry.second);
                if (seen.size() != kUsers || generations.size() != 1)
                    ++torn;
                ++reads;
            }
        });
    }
    for (int generation = 1; generation <= kSaves; ++generation) {
        ASSERT_TRUE(CUserMap::WriteTable(m_product, "Users", table(generation), ""));
        Touch();
    }
    for (int wait = 0; reads.load() < 100 && wait < 5000; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    done = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(torn.load(), 0);
    std::string password;
    EXPECT_TRUE(users.LookupLocked("user7", password));
    EXPECT_EQ(password, "g" + std::to_string(kSaves));
}

} // namespace
