#include "platform/registry.h"

#include "platform/registry_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

const RegistryKey& Hklm()
{
    return RegistryKey::LocalMachine();
}

std::vector<std::uint8_t> Bytes(std::string_view text)
{
    return {text.begin(), text.end()};
}

std::vector<std::string> ValueNames(const RegistryKey& key)
{
    std::vector<std::string> names;
    std::string name;
    RegistryValue value;
    for (std::uint32_t i = 0; key.EnumValue(i, name, value) == kErrorSuccess && i < 10000; ++i)
        names.push_back(name);
    return names;
}

std::vector<std::string> SubkeyNames(const RegistryKey& key)
{
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; key.EnumKey(i, name) == kErrorSuccess && i < 10000; ++i)
        names.push_back(name);
    return names;
}

mode_t FileMode(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

} // namespace

using RegistryKeyTest = RegistryFixture;

TEST_F(RegistryKeyTest, CreateOpensOrCreatesWithIntermediateKeys)
{
    RegistryKey key;
    RegistryDisposition disposition{};
    ASSERT_EQ(Hklm().Create("Software\\Tessaline\\Velmora", key, &disposition), kErrorSuccess);
    EXPECT_TRUE(key.IsOpen());
    EXPECT_EQ(disposition, RegistryDisposition::CreatedNewKey);

    RegistryKey again;
    ASSERT_EQ(Hklm().Create("software\\TESSALINE\\\\velmora\\", again, &disposition), kErrorSuccess);
    EXPECT_EQ(disposition, RegistryDisposition::OpenedExistingKey);
    ASSERT_EQ(key.SetDword("LastMod", 7), kErrorSuccess);
    std::uint32_t value = 0;
    EXPECT_EQ(again.QueryDword("lastmod", value), kErrorSuccess);
    EXPECT_EQ(value, 7u);

    RegistryKey middle;
    EXPECT_EQ(Hklm().Open("Software\\Tessaline", middle), kErrorSuccess);
    EXPECT_EQ(SubkeyNames(middle), std::vector<std::string>{"Velmora"});
    std::string path;
    ASSERT_EQ(again.QueryPath(path), kErrorSuccess);
    EXPECT_EQ(path, "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora");

    // '/' is part of a name, not a separator.
    RegistryKey slash;
    ASSERT_EQ(Hklm().Create("Software\\Tessaline\\a/b", slash), kErrorSuccess);
    ASSERT_EQ(slash.QueryPath(path), kErrorSuccess);
    EXPECT_EQ(path, "HKEY_LOCAL_MACHINE\\Software\\Tessaline\\a/b");
    EXPECT_EQ(SubkeyNames(middle), (std::vector<std::string>{"a/b", "Velmora"}));
    ASSERT_EQ(middle.DeleteKey("A/B"), kErrorSuccess);

    RegistryKey missing;
    EXPECT_EQ(Hklm().Open("Software\\Nothing", missing), kErrorFileNotFound);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(Hklm().Open(std::string_view("Soft\0ware", 9), missing), kErrorInvalidParameter);
    EXPECT_EQ(Hklm().Create(std::string_view("Bad\0Name", 8), missing), kErrorInvalidParameter);

    // The roots are separate trees.
    EXPECT_EQ(RegistryKey::CurrentUser().Open("Software\\Tessaline", missing), kErrorFileNotFound);
    EXPECT_EQ(RegistryKey::Users().Create("S-1\\Software", missing), kErrorSuccess);
    ASSERT_EQ(missing.QueryPath(path), kErrorSuccess);
    EXPECT_EQ(path, "HKEY_USERS\\S-1\\Software");
}

TEST_F(RegistryKeyTest, DuplicateMoveAndClose)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Dup", key), kErrorSuccess);
    RegistryKey copy;
    ASSERT_EQ(key.Duplicate(copy), kErrorSuccess);
    ASSERT_EQ(copy.SetString("Name", "x"), kErrorSuccess);
    key.Close();
    EXPECT_FALSE(key.IsOpen());
    EXPECT_EQ(key.SetString("Name", "y"), kErrorInvalidHandle);
    std::string text;
    EXPECT_EQ(copy.QueryString("Name", text), kErrorSuccess);
    EXPECT_EQ(text, "x");

    RegistryKey moved(std::move(copy));
    EXPECT_FALSE(copy.IsOpen());
    EXPECT_EQ(moved.QueryString("name", text), kErrorSuccess);
    RegistryKey assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.QueryString("NAME", text), kErrorSuccess);
    EXPECT_EQ(moved.QueryString("Name", text), kErrorInvalidHandle);

    RegistryKey root;
    ASSERT_EQ(Hklm().Duplicate(root), kErrorSuccess);
    EXPECT_FALSE(root.IsPredefined());
    EXPECT_TRUE(Hklm().IsPredefined());
    EXPECT_EQ(root.Open("Software\\Dup", key), kErrorSuccess);
}

TEST_F(RegistryKeyTest, EveryValueTypeRoundTripsWhole)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Types", key), kErrorSuccess);
    std::vector<std::uint8_t> large(3 << 20);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 7 + (i >> 11));
    struct Case {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    };
    const std::vector<Case> cases = {
        {"sz", kRegSz, Bytes(std::string_view("text\0", 5))},
        {"expand", kRegExpandSz, Bytes(std::string_view("%TEMP%\\x\0", 9))},
        {"binary", kRegBinary, {0x00, 0xFF, 0x10, 0x00}},
        {"empty binary", kRegBinary, {}},
        {"dword", kRegDword, {0x1E, 0x00, 0x00, 0x80}},
        {"multi", kRegMultiSz, Bytes(std::string_view("a\0bc\0\0", 6))},
        {"none", kRegNone, {1, 2, 3}},
        {"qword", 11, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"odd type", 0xFFFFFFFFu, {9}},
        {"sz without NUL", kRegSz, Bytes("abc")},
        {"large", kRegBinary, large},
        {"", kRegSz, Bytes(std::string_view("default\0", 8))},
    };
    for (const Case& c : cases)
        ASSERT_EQ(key.SetValue(c.name, c.type, c.data.data(), c.data.size()), kErrorSuccess) << c.name;
    CloseRegistryDatabase(); // read back from the file, not from a cache
    ASSERT_EQ(Hklm().Open("Software\\Types", key), kErrorSuccess);
    for (const Case& c : cases) {
        RegistryValue value;
        ASSERT_EQ(key.QueryValue(c.name, value), kErrorSuccess) << c.name;
        EXPECT_EQ(value.type, c.type) << c.name;
        EXPECT_EQ(value.data, c.data) << c.name;
    }

    std::string text;
    EXPECT_EQ(key.QueryString("sz", text), kErrorSuccess);
    EXPECT_EQ(text, "text");
    EXPECT_EQ(key.QueryString("multi", text), kErrorSuccess);
    EXPECT_EQ(text, "a");
    EXPECT_EQ(key.QueryString("sz without NUL", text), kErrorSuccess);
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(key.QueryString("", text), kErrorSuccess);
    EXPECT_EQ(text, "default");
    std::uint32_t number = 0;
    EXPECT_EQ(key.QueryDword("dword", number), kErrorSuccess);
    EXPECT_EQ(number, 0x8000001Eu);
    EXPECT_EQ(key.QueryDword("none", number), kErrorUnsupportedType);
    EXPECT_EQ(key.QueryDword("missing", number), kErrorFileNotFound);
    text = "kept";
    EXPECT_EQ(key.QueryString("missing", text), kErrorFileNotFound);
    EXPECT_EQ(text, "kept");

    ASSERT_EQ(key.SetMultiString("list", {"one", "two"}), kErrorSuccess);
    RegistryValue list;
    ASSERT_EQ(key.QueryValue("list", list), kErrorSuccess);
    EXPECT_EQ(list.type, kRegMultiSz);
    EXPECT_EQ(list.data, Bytes(std::string_view("one\0two\0\0", 9)));
    ASSERT_EQ(key.SetString("empty", ""), kErrorSuccess);
    EXPECT_EQ(key.QueryString("empty", text), kErrorSuccess);
    EXPECT_EQ(text, "");

    EXPECT_EQ(key.SetValue(std::string_view("a\0b", 3), kRegSz, "x", 2), kErrorInvalidParameter);
    EXPECT_EQ(key.SetValue("null data", kRegBinary, nullptr, 4), kErrorInvalidParameter);
}

TEST_F(RegistryKeyTest, SizeFirstQueryGivesTheWholeSize)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Sizes", key), kErrorSuccess);
    std::string long_text(100000, 'q');
    ASSERT_EQ(key.SetString("Long", long_text), kErrorSuccess);

    std::uint32_t type = 0;
    std::size_t size = 0;
    ASSERT_EQ(key.QueryValue("long", &type, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(size, long_text.size() + 1);
    EXPECT_EQ(key.QueryValue("long", nullptr, nullptr, nullptr), kErrorSuccess);

    std::vector<char> small(10, '#');
    size = small.size();
    type = 0;
    EXPECT_EQ(key.QueryValue("long", &type, small.data(), &size), kErrorMoreData);
    EXPECT_EQ(size, long_text.size() + 1);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(small, std::vector<char>(10, '#'));

    std::vector<char> exact(size);
    ASSERT_EQ(key.QueryValue("long", &type, exact.data(), &size), kErrorSuccess);
    EXPECT_EQ(std::string(exact.data()), long_text);
    EXPECT_EQ(key.QueryValue("long", &type, exact.data(), nullptr), kErrorInvalidParameter);
    EXPECT_EQ(key.QueryValue("missing", &type, nullptr, &size), kErrorFileNotFound);

    std::string name;
    size = 4;
    EXPECT_EQ(key.EnumValue(0, name, &type, small.data(), &size), kErrorMoreData);
    EXPECT_EQ(name, "Long");
    EXPECT_EQ(size, long_text.size() + 1);
    size = exact.size();
    EXPECT_EQ(key.EnumValue(0, name, &type, exact.data(), &size), kErrorSuccess);
    EXPECT_EQ(key.EnumValue(1, name, &type, nullptr, &size), kErrorNoMoreItems);

    // A name far past any fixed buffer comes back whole.
    std::string longName(5000, 'N');
    ASSERT_EQ(key.SetDword(longName, 1), kErrorSuccess);
    EXPECT_EQ(key.EnumValue(1, name, nullptr, nullptr, nullptr), kErrorSuccess);
    EXPECT_EQ(name, longName);
}

TEST_F(RegistryKeyTest, EnumerationOrders)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Order", key), kErrorSuccess);
    for (const char* name : {"zeta", "Alpha", "mid", "beta"})
        ASSERT_EQ(key.SetString(name, name), kErrorSuccess);
    // Overwriting keeps the place and the stored case; a deleted and
    // re-added value goes to the end.
    ASSERT_EQ(key.SetDword("ALPHA", 5), kErrorSuccess);
    ASSERT_EQ(key.DeleteValue("mid"), kErrorSuccess);
    ASSERT_EQ(key.SetString("Mid", "again"), kErrorSuccess);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"zeta", "Alpha", "beta", "Mid"}));
    RegistryValue value;
    std::string name;
    ASSERT_EQ(key.EnumValue(1, name, value), kErrorSuccess);
    EXPECT_EQ(value.type, kRegDword);
    EXPECT_EQ(key.EnumValue(4, name, value), kErrorNoMoreItems);
    EXPECT_EQ(key.EnumValue(400, name, value), kErrorNoMoreItems);

    for (const char* sub : {"beta", "Alpha", "gamma", "DELTA", "_under", "alpha2", "Zulu", "10"}) {
        RegistryKey child;
        ASSERT_EQ(key.Create(sub, child), kErrorSuccess);
    }
    EXPECT_EQ(SubkeyNames(key),
              (std::vector<std::string>{"10", "_under", "Alpha", "alpha2", "beta", "DELTA", "gamma", "Zulu"}));
    EXPECT_EQ(key.EnumKey(8, name), kErrorNoMoreItems);
    std::uint32_t subkeys = 0;
    std::uint32_t values = 0;
    ASSERT_EQ(key.QueryInfo(&subkeys, &values), kErrorSuccess);
    EXPECT_EQ(subkeys, 8u);
    EXPECT_EQ(values, 4u);
}

TEST_F(RegistryKeyTest, NamesAreAsciiCaseInsensitiveAndCasePreserving)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\MixedCase", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("ServerName", "one"), kErrorSuccess);
    ASSERT_EQ(key.SetString("SERVERNAME", "two"), kErrorSuccess);
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"ServerName"});
    std::string text;
    EXPECT_EQ(key.QueryString("servername", text), kErrorSuccess);
    EXPECT_EQ(text, "two");

    // Only A-Z fold: bytes above 127 are distinct names.
    ASSERT_EQ(key.SetString("\xC9t\xE9", "upper"), kErrorSuccess);
    ASSERT_EQ(key.SetString("\xE9t\xE9", "lower"), kErrorSuccess);
    EXPECT_EQ(ValueNames(key).size(), 3u);

    RegistryKey child;
    ASSERT_EQ(key.Create("SubKey", child), kErrorSuccess);
    RegistryDisposition disposition{};
    ASSERT_EQ(key.Create("SUBKEY", child, &disposition), kErrorSuccess);
    EXPECT_EQ(disposition, RegistryDisposition::OpenedExistingKey);
    EXPECT_EQ(SubkeyNames(key), std::vector<std::string>{"SubKey"});
    EXPECT_EQ(key.DeleteKey("subkey"), kErrorSuccess);
    EXPECT_TRUE(SubkeyNames(key).empty());
}

TEST_F(RegistryKeyTest, DeleteValueKeyAndTree)
{
    RegistryKey top;
    ASSERT_EQ(Hklm().Create("Software\\Tree\\A\\B\\C", top), kErrorSuccess);
    ASSERT_EQ(top.SetString("deep", "x"), kErrorSuccess);
    ASSERT_EQ(Hklm().Open("Software\\Tree", top), kErrorSuccess);
    ASSERT_EQ(top.SetString("v", "x"), kErrorSuccess);

    EXPECT_EQ(top.DeleteValue("V"), kErrorSuccess);
    EXPECT_EQ(top.DeleteValue("v"), kErrorFileNotFound);
    EXPECT_EQ(top.DeleteKey("A"), kErrorKeyHasChildren);
    EXPECT_EQ(top.DeleteKey("A\\B\\Missing"), kErrorFileNotFound);
    EXPECT_EQ(top.DeleteKey("a\\b\\c"), kErrorSuccess);
    RegistryKey probe;
    EXPECT_EQ(top.Open("A\\B\\C", probe), kErrorFileNotFound);
    EXPECT_EQ(top.Open("A\\B", probe), kErrorSuccess);

    ASSERT_EQ(top.Create("A\\B\\C\\D", probe), kErrorSuccess);
    ASSERT_EQ(probe.SetDword("n", 1), kErrorSuccess);
    ASSERT_EQ(top.Create("A2", probe), kErrorSuccess);
    EXPECT_EQ(top.DeleteTree("A"), kErrorSuccess);
    EXPECT_EQ(top.Open("A", probe), kErrorFileNotFound);
    EXPECT_EQ(SubkeyNames(top), std::vector<std::string>{"A2"});
    EXPECT_EQ(top.DeleteTree("A"), kErrorFileNotFound);

    EXPECT_EQ(Hklm().DeleteKey(""), kErrorAccessDenied);
    EXPECT_EQ(Hklm().DeleteTree(""), kErrorAccessDenied);
    RegistryKey root;
    ASSERT_EQ(Hklm().Duplicate(root), kErrorSuccess);
    EXPECT_EQ(root.DeleteTree("\\"), kErrorAccessDenied);
    EXPECT_EQ(Hklm().Open("Software", probe), kErrorSuccess);

    // An empty path deletes the key itself.
    ASSERT_EQ(top.Open("A2", probe), kErrorSuccess);
    EXPECT_EQ(probe.DeleteKey(""), kErrorSuccess);
    EXPECT_EQ(probe.QueryInfo(nullptr, nullptr), kErrorKeyDeleted);
}

TEST_F(RegistryKeyTest, DeletedKeyHandleAnswersKeyDeletedEvenAfterRecreation)
{
    RegistryKey stale;
    ASSERT_EQ(Hklm().Create("Software\\Gone\\Child", stale), kErrorSuccess);
    ASSERT_EQ(stale.SetString("a", "b"), kErrorSuccess);
    RegistryKey staleParent;
    ASSERT_EQ(Hklm().Open("Software\\Gone", staleParent), kErrorSuccess);
    ASSERT_EQ(Hklm().DeleteTree("Software\\Gone"), kErrorSuccess);
    RegistryKey fresh;
    ASSERT_EQ(Hklm().Create("Software\\Gone\\Child", fresh), kErrorSuccess);
    ASSERT_EQ(fresh.SetString("a", "new"), kErrorSuccess);

    std::string text;
    std::string name;
    RegistryValue value;
    RegistryKey out;
    std::uint32_t number = 0;
    std::size_t size = 0;
    for (const RegistryKey* key : {&stale, &staleParent}) {
        EXPECT_EQ(key->QueryString("a", text), kErrorKeyDeleted);
        EXPECT_EQ(key->QueryValue("a", nullptr, nullptr, &size), kErrorKeyDeleted);
        EXPECT_EQ(key->QueryDword("a", number), kErrorKeyDeleted);
        EXPECT_EQ(key->SetString("a", "c"), kErrorKeyDeleted);
        EXPECT_EQ(key->EnumValue(0, name, value), kErrorKeyDeleted);
        EXPECT_EQ(key->EnumKey(0, name), kErrorKeyDeleted);
        EXPECT_EQ(key->DeleteValue("a"), kErrorKeyDeleted);
        EXPECT_EQ(key->DeleteKey("x"), kErrorKeyDeleted);
        EXPECT_EQ(key->DeleteTree(""), kErrorKeyDeleted);
        EXPECT_EQ(key->Open("", out), kErrorKeyDeleted);
        EXPECT_EQ(key->Create("x", out), kErrorKeyDeleted);
        EXPECT_EQ(key->Duplicate(out), kErrorKeyDeleted);
        EXPECT_EQ(key->QueryInfo(nullptr, nullptr), kErrorKeyDeleted);
        EXPECT_EQ(key->QueryPath(text), kErrorKeyDeleted);
    }
    // The stale handles wrote nothing into the new key.
    EXPECT_EQ(fresh.QueryString("a", text), kErrorSuccess);
    EXPECT_EQ(text, "new");
    EXPECT_EQ(ValueNames(fresh), std::vector<std::string>{"a"});
}


TEST_F(RegistryKeyTest, KeyDeletedByAnotherProcess)
{
    RegistryKey held;
    ASSERT_EQ(Hklm().Create("Software\\Shared\\Config", held), kErrorSuccess);
    ASSERT_EQ(held.SetDword("n", 1), kErrorSuccess);
    // The other process deletes the key and creates one of the same name.
    pid_t child = SpawnRegistryHelper("delete Software\\Shared\\Config");
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitChildren({child}, 60000), std::vector<int>{0});
    std::uint32_t number = 0;
    EXPECT_EQ(held.QueryDword("n", number), kErrorKeyDeleted);
    EXPECT_EQ(held.SetDword("n", 2), kErrorKeyDeleted);
    RegistryKey fresh;
    ASSERT_EQ(Hklm().Open("Software\\Shared\\Config", fresh), kErrorSuccess);
    EXPECT_EQ(fresh.QueryDword("n", number), kErrorFileNotFound);
}

TEST_F(RegistryKeyTest, TwoProcessesRewritingOneKeyLoseNothingAndNeverShowHalfASave)
{
    constexpr int kRounds = 150;
    constexpr int kValues = 25;
    long long start = RegistryHelperStart(500);
    std::vector<pid_t> children;
    for (int writer = 1; writer <= 2; ++writer)
        children.push_back(SpawnRegistryHelper(
            "writer " + std::to_string(writer) + " " + std::to_string(kRounds) + " " + std::to_string(kValues), start));
    children.push_back(SpawnRegistryHelper("reader 400 " + std::to_string(kValues), start));
    for (pid_t child : children)
        ASSERT_GT(child, 0);

    // This process reads too, through its own connection.
    std::this_thread::sleep_until(std::chrono::system_clock::time_point(std::chrono::milliseconds(start)));
    int wholeReads = 0;
    auto readUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    for (int i = 0; i < 20000 && std::chrono::steady_clock::now() < readUntil; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        RegistrySnapshot snapshot;
        ASSERT_EQ(snapshot.Status(), kErrorSuccess);
        RegistryKey key;
        int code = Hklm().Open("Software\\Race\\Shared", key);
        if (code == kErrorFileNotFound)
            continue;
        ASSERT_EQ(code, kErrorSuccess);
        std::set<std::string> tags;
        std::string name;
        RegistryValue value;
        std::uint32_t count = 0;
        while ((code = key.EnumValue(count, name, value)) == kErrorSuccess && count < 1000) {
            tags.insert(std::string(value.data.begin(), value.data.end()));
            ++count;
        }
        ASSERT_EQ(code, kErrorNoMoreItems);
        ASSERT_TRUE(count == 0 || (count == kValues && tags.size() == 1)) << count << " values, " << tags.size()
                                                                          << " saves";
        wholeReads += count == kValues;
    }
    EXPECT_EQ(WaitChildren(children, 240000), (std::vector<int>{0, 0, 0}));

    RegistryKey log;
    ASSERT_EQ(Hklm().Open("Software\\Race\\Log", log), kErrorSuccess);
    std::vector<std::string> logged = ValueNames(log);
    EXPECT_EQ(logged.size(), 2u * kRounds);
    std::set<std::string> expected;
    for (int writer = 1; writer <= 2; ++writer)
        for (int round = 0; round < kRounds; ++round)
            expected.insert("w" + std::to_string(writer) + ":" + std::to_string(round));
    EXPECT_EQ(std::set<std::string>(logged.begin(), logged.end()), expected);

    RegistryKey shared;
    ASSERT_EQ(Hklm().Open("Software\\Race\\Shared", shared), kErrorSuccess);
    std::string last;
    ASSERT_EQ(shared.QueryString("v0", last), kErrorSuccess);
    EXPECT_TRUE(last == "1:" + std::to_string(kRounds - 1) || last == "2:" + std::to_string(kRounds - 1)) << last;
    EXPECT_EQ(ValueNames(shared).size(), static_cast<std::size_t>(kValues));
    // The reads did overlap the saves.
    EXPECT_GT(wholeReads, 0);
}

TEST_F(RegistryKeyTest, ReadsDoNotWaitForAnotherProcessWriterAndWritesWaitWithoutFailing)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Held", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("state", "old"), kErrorSuccess);
    constexpr int kHoldMs = 1500;
    std::string marker = HivePath("holding");
    pid_t child = SpawnRegistryHelper("hold " + marker + " " + std::to_string(kHoldMs));
    ASSERT_GT(child, 0);
    for (int i = 0; i < 1000 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(std::filesystem::exists(marker));

    auto started = std::chrono::steady_clock::now();
    std::string text;
    EXPECT_EQ(key.QueryString("state", text), kErrorSuccess);
    auto readMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_EQ(text, "old");
    EXPECT_LT(readMs.count(), kHoldMs / 2);

    // A write waits for the other writer and then goes through.
    EXPECT_EQ(key.SetString("mine", "x"), kErrorSuccess);
    EXPECT_EQ(WaitChildren({child}, 60000), std::vector<int>{0});
    EXPECT_EQ(key.QueryString("state", text), kErrorSuccess);
    EXPECT_EQ(text, "new");
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"state", "mine"}));
}

TEST_F(RegistryKeyTest, TransactionRollsBackUnlessCommitted)
{
    {
        RegistryTransaction transaction;
        ASSERT_EQ(transaction.Status(), kErrorSuccess);
        RegistryKey key;
        ASSERT_EQ(Hklm().Create("Software\\Rolled\\Back", key), kErrorSuccess);
        ASSERT_EQ(key.SetString("a", "1"), kErrorSuccess);
        // Inside, this thread sees its own writes.
        std::string text;
        EXPECT_EQ(key.QueryString("a", text), kErrorSuccess);
    }
    RegistryKey key;
    EXPECT_EQ(Hklm().Open("Software\\Rolled", key), kErrorFileNotFound);

    ASSERT_EQ(Hklm().Create("Software\\Kept", key), kErrorSuccess);
    ASSERT_EQ(key.SetString("old", "x"), kErrorSuccess);
    {
        RegistryTransaction transaction;
        ASSERT_EQ(key.DeleteValue("old"), kErrorSuccess);
        ASSERT_EQ(key.SetString("new", "y"), kErrorSuccess);
        EXPECT_EQ(transaction.Commit(), kErrorSuccess);
        EXPECT_EQ(transaction.Commit(), kErrorInvalidHandle);
    }
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"new"});

    // A nested part that gives up takes the whole transaction with it.
    {
        RegistryTransaction outer;
        ASSERT_EQ(key.SetString("outer", "1"), kErrorSuccess);
        {
            RegistryTransaction inner;
            EXPECT_EQ(inner.Status(), kErrorSuccess);
            ASSERT_EQ(key.SetString("inner", "2"), kErrorSuccess);
        }
        EXPECT_EQ(key.SetString("after", "3"), kErrorRequestAborted);
        EXPECT_EQ(outer.Commit(), kErrorRequestAborted);
    }
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"new"});

    // A nested part that commits joins the outer commit.
    {
        RegistryTransaction outer;
        {
            RegistryTransaction inner;
            ASSERT_EQ(key.SetString("inner", "2"), kErrorSuccess);
            EXPECT_EQ(inner.Commit(), kErrorSuccess);
        }
        ASSERT_EQ(key.SetString("outer", "1"), kErrorSuccess);
        EXPECT_EQ(outer.Commit(), kErrorSuccess);
    }
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"new", "inner", "outer"}));
}

TEST_F(RegistryKeyTest, SnapshotRefusesWritesAndOtherThreadsWaitForATransaction)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Threads", key), kErrorSuccess);
    {
        RegistrySnapshot snapshot;
        ASSERT_EQ(snapshot.Status(), kErrorSuccess);
        EXPECT_EQ(key.SetString("x", "y"), kErrorAccessDenied);
        RegistryTransaction inside;
        EXPECT_EQ(inside.Status(), kErrorAccessDenied);
        EXPECT_EQ(inside.Commit(), kErrorAccessDenied);
        std::string text;
        EXPECT_EQ(key.QueryString("x", text), kErrorFileNotFound);
    }
    EXPECT_EQ(key.SetString("x", "y"), kErrorSuccess);

    // Another thread's read waits for the transaction, so it never sees the
    // write that is then rolled back.
    std::atomic<bool> started{false};
    std::atomic<int> seen{-1};
    std::thread reader;
    {
        RegistryTransaction transaction;
        ASSERT_EQ(key.SetString("uncommitted", "z"), kErrorSuccess);
        reader = std::thread([&] {
            started = true;
            std::string text;
            seen = key.QueryString("uncommitted", text);
        });
        for (int i = 0; i < 1000 && !started; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(seen.load(), -1);
    }
    reader.join();
    EXPECT_EQ(seen.load(), kErrorFileNotFound);
}

TEST_F(RegistryKeyTest, HiveFilesArePrivateAndDirectoriesAreCreated)
{
    std::string path = HivePath("deep/er/hive.db");
    UseHive(path);
    mode_t previous = ::umask(0);
    RegistryKey key;
    int created = Hklm().Create("Software\\Secret", key);
    int written = created == kErrorSuccess ? key.SetString("Password", "x") : created;
    ::umask(previous);
    ASSERT_EQ(created, kErrorSuccess);
    ASSERT_EQ(written, kErrorSuccess);
    EXPECT_EQ(RegistryPath(), path);
    // While the connection is open the WAL and its index exist.
    EXPECT_EQ(FileMode(path), 0600u);
    EXPECT_EQ(FileMode(path + "-wal"), 0600u);
    EXPECT_EQ(FileMode(path + "-shm"), 0600u);

    // A hive left readable by others is narrowed when opened.
    CloseRegistryDatabase();
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    std::string text;
    EXPECT_EQ(Hklm().Open("Software\\Secret", key), kErrorSuccess);
    EXPECT_EQ(key.QueryString("password", text), kErrorSuccess);
    EXPECT_EQ(FileMode(path), 0600u);
}

TEST_F(RegistryKeyTest, DefaultPathIsInTheStateDirectory)
{
    std::string home = HivePath("state");
    platform::CloseRegistryDatabase();
    ::unsetenv("VELMORA_REGISTRY");
    ::setenv("VELMORA_HOME", home.c_str(), 1);
    RegistryKey key;
    int code = Hklm().Create("Software\\Default", key);
    std::string path = RegistryPath();
    CloseRegistryDatabase();
    ::unsetenv("VELMORA_HOME");
    EXPECT_EQ(code, kErrorSuccess);
    EXPECT_EQ(path, home + "/registry.db");
    EXPECT_EQ(FileMode(home + "/registry.db"), 0600u);
}

TEST_F(RegistryKeyTest, ClosingTheDatabaseInvalidatesHandlesButNotRoots)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Reopen", key), kErrorSuccess);
    CloseRegistryDatabase();
    std::string text;
    EXPECT_EQ(key.QueryString("x", text), kErrorInvalidHandle);
    EXPECT_EQ(Hklm().Open("Software\\Reopen", key), kErrorSuccess);
    EXPECT_EQ(key.SetString("x", "y"), kErrorSuccess);

    // A database that cannot be opened is a database failure, not a crash.
    UseHive(HivePath("hive.db/inside-a-file"));
    RegistryKey other;
    int code = Hklm().Open("Software", other);
    EXPECT_EQ(code, kErrorRegistryIoFailed);
    EXPECT_FALSE(RegistryDatabaseError().empty());
}

TEST(RegistryPathNames, SplitRegistryPathKnowsTheRootsAndTheirShortNames)
{
    struct Case {
        const char* path;
        const RegistryKey* root;
        const char* rest;
    };
    const Case cases[] = {
        {"HKEY_LOCAL_MACHINE\\Software\\X", &RegistryKey::LocalMachine(), "Software\\X"},
        {"hklm\\Software/X", &RegistryKey::LocalMachine(), "Software/X"},
        {"HKLM/Software", nullptr, ""},
        {"HKLM", &RegistryKey::LocalMachine(), ""},
        {"HKEY_CURRENT_USER\\a", &RegistryKey::CurrentUser(), "a"},
        {"HkCu\\a", &RegistryKey::CurrentUser(), "a"},
        {"HKEY_USERS\\S-1", &RegistryKey::Users(), "S-1"},
        {"HKU", &RegistryKey::Users(), ""},
        {"HKEY_CLASSES_ROOT\\x", nullptr, ""},
        {"HKLMX\\x", nullptr, ""},
        {"", nullptr, ""},
        {"\\HKLM", nullptr, ""},
    };
    for (const Case& c : cases) {
        std::string_view rest = "unset";
        const RegistryKey* root = SplitRegistryPath(c.path, &rest);
        EXPECT_EQ(root, c.root) << c.path;
        if (root) {
            EXPECT_EQ(rest, c.rest) << c.path;
        }
    }
}

// A reader may keep what it read while the count stands; every kind of
// change must move it.
TEST_F(RegistryKeyTest, HiveChangeCountMovesWithEveryWriteAndOnlyThen)
{
    RegistryKey key;
    ASSERT_EQ(Hklm().Create("Software\\Shared\\Stamp", key), kErrorSuccess);
    ASSERT_EQ(key.SetDword("LastMod", 1), kErrorSuccess);
    std::uint64_t before = HiveChangeCount();
    std::uint32_t number = 0;
    ASSERT_EQ(key.QueryDword("LastMod", number), kErrorSuccess);
    EXPECT_EQ(HiveChangeCount(), before) << "reading changes nothing";
    EXPECT_EQ(HiveChangeCount(), before);
    // Another file of the hive's folder (a log, say) is not the hive.
    std::string hive = RegistryPath();
    std::ofstream(hive.substr(0, hive.find_last_of('/') + 1) + "other.log") << "a line\n";
    EXPECT_EQ(HiveChangeCount(), before) << "a neighbour file";

    ASSERT_EQ(key.SetDword("LastMod", 2), kErrorSuccess);
    std::uint64_t afterOwn = HiveChangeCount();
    EXPECT_NE(afterOwn, before) << "a write of this process";
    EXPECT_EQ(HiveChangeCount(), afterOwn);

    // Another process's commit: seen as soon as its helper has exited.
    pid_t child = SpawnRegistryHelper("delete Software\\Shared\\Stamp");
    ASSERT_GT(child, 0);
    ASSERT_EQ(WaitChildren({child}, 60000), std::vector<int>{0});
    std::uint64_t afterOther = HiveChangeCount();
    EXPECT_NE(afterOther, afterOwn) << "a write of another process";

    // Closing and opening the hive again (a new path, say) is a change too.
    CloseRegistryDatabase();
    EXPECT_NE(HiveChangeCount(), afterOther);
}
