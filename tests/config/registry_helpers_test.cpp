#include "config/registry_helpers.h"

#include "config_fixture.h"

namespace {

using platform::kErrorSuccess;
using platform::RegistryKey;

class RegistryHelpersTest : public ConfigTest {};

TEST_F(RegistryHelpersTest, QueryStringReadsWholeTextUpToTheNul)
{
    RegistryKey key = Key("Strings");
    std::string longText(100000, 'x');
    ASSERT_EQ(RegSetString(key, "long", longText), kErrorSuccess);
    ASSERT_EQ(RegSetString(key, "empty", ""), kErrorSuccess);
    const char withNul[] = {'a', 'b', 0, 'c', 0};
    ASSERT_EQ(key.SetValue("nul", platform::kRegBinary, withNul, sizeof withNul), kErrorSuccess);

    std::string out = "before";
    EXPECT_EQ(RegQueryString(key, "missing", out), platform::kErrorFileNotFound);
    EXPECT_EQ(out, "before");
    EXPECT_EQ(RegQueryString(key, "empty", out), kErrorSuccess);
    EXPECT_EQ(out, "");
    EXPECT_EQ(RegQueryString(key, "long", out), kErrorSuccess);
    EXPECT_EQ(out, longText);
    EXPECT_EQ(RegQueryString(key, "nul", out), kErrorSuccess);
    EXPECT_EQ(out, "ab");
}

TEST_F(RegistryHelpersTest, EnumValueStringReadsLongNamesAndDataWhole)
{
    RegistryKey key = Key("Users");
    std::string longName(300, 'n');
    std::string longData(5000, 'd');
    ASSERT_EQ(RegSetString(key, "first", "1"), kErrorSuccess);
    ASSERT_EQ(RegSetString(key, longName, longData), kErrorSuccess);
    ASSERT_EQ(RegSetString(key, "last", "3"), kErrorSuccess);
    std::vector<std::pair<std::string, std::string>> seen;
    std::string name, data;
    std::uint32_t index = 0;
    for (; index < 10 && RegEnumValueString(key, index, name, data) == kErrorSuccess; ++index)
        seen.emplace_back(name, data);
    EXPECT_EQ(RegEnumValueString(key, index, name, data), platform::kErrorNoMoreItems);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].first, longName);
    EXPECT_EQ(seen[1].second, longData);
    EXPECT_EQ(seen[2], std::make_pair(std::string("last"), std::string("3")));
}

TEST_F(RegistryHelpersTest, NumbersComeOnlyFromFourByteDwords)
{
    RegistryKey key = Key("Numbers");
    std::uint32_t four = 1234;
    std::uint16_t two = 9;
    key.SetDword("dword", 77);
    key.SetString("text", "55");
    key.SetValue("binary", platform::kRegBinary, &four, 4);
    key.SetValue("short", platform::kRegDword, &two, 2);
    std::uint32_t value = 5;
    EXPECT_EQ(RegQueryDword(key, "dword", value), kErrorSuccess);
    EXPECT_EQ(value, 77u);
    for (const char* name : {"text", "binary", "short"}) {
        value = 5;
        EXPECT_EQ(RegQueryDword(key, name, value), platform::kErrorUnsupportedType) << name;
        EXPECT_EQ(value, 5u) << name;
    }
    EXPECT_EQ(RegQueryDword(key, "missing", value), platform::kErrorFileNotFound);
}

TEST_F(RegistryHelpersTest, DuplicateKeyOutlivesTheOriginal)
{
    EXPECT_FALSE(RegDuplicateKey(RegistryKey()).IsOpen());
    RegistryKey copy;
    {
        RegistryKey key = Key("Dup");
        copy = RegDuplicateKey(key);
    }
    ASSERT_TRUE(copy.IsOpen());
    EXPECT_EQ(RegSetString(copy, "v", "x"), kErrorSuccess);
    std::string out;
    EXPECT_EQ(RegQueryString(Key("Dup"), "v", out), kErrorSuccess);
    EXPECT_EQ(out, "x");
}

TEST_F(RegistryHelpersTest, DeleteAllValuesKeepsSubkeys)
{
    RegistryKey key = Key("List");
    for (int i = 0; i < 25; ++i)
        RegSetString(key, std::to_string(i), "line");
    Key("List\\Sub");
    EXPECT_TRUE(RegDeleteAllValues(key));
    std::uint32_t subkeys = 0, values = 0;
    ASSERT_EQ(key.QueryInfo(&subkeys, &values), kErrorSuccess);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(subkeys, 1u);
}

TEST_F(RegistryHelpersTest, DeleteKeyTreeRemovesEveryLevel)
{
    RegistryKey deep = Key("Tree\\A\\B\\C");
    RegSetString(deep, "v", "x");
    Key("Tree\\A2");
    EXPECT_TRUE(RegDeleteKeyTree(m_product, "Tree"));
    RegistryKey gone;
    EXPECT_EQ(m_product.Open("Tree", gone), platform::kErrorFileNotFound);
    EXPECT_FALSE(RegDeleteKeyTree(m_product, "Tree"));
}

TEST_F(RegistryHelpersTest, CopyKeyTreeKeepsTypesDataAndSubkeys)
{
    RegistryKey source = Key("Source");
    source.SetDword("Port", 8080);
    RegSetString(source, "Name", "main");
    RegSetString(Key("Source\\Users"), "bob", "pw");
    RegistryKey destination = Key("Copy");
    RegSetString(destination, "Other", "kept");
    EXPECT_EQ(RegCopyKeyTree(m_product, "Source", m_product, "Copy"), 0);

    platform::RegistryValue value;
    ASSERT_EQ(destination.QueryValue("Port", value), kErrorSuccess);
    EXPECT_EQ(value.type, platform::kRegDword);
    std::uint32_t port = 0;
    EXPECT_EQ(RegQueryDword(destination, "Port", port), kErrorSuccess);
    EXPECT_EQ(port, 8080u);
    ASSERT_EQ(destination.QueryValue("Name", value), kErrorSuccess);
    EXPECT_EQ(value.type, platform::kRegSz);
    std::string text;
    EXPECT_EQ(RegQueryString(Key("Copy\\Users"), "bob", text), kErrorSuccess);
    EXPECT_EQ(text, "pw");
    EXPECT_EQ(RegQueryString(destination, "Other", text), kErrorSuccess);
    EXPECT_EQ(text, "kept");
    // A missing source copies nothing and creates nothing.
    EXPECT_EQ(RegCopyKeyTree(m_product, "Nothing", m_product, "NoCopy"), 0);
    RegistryKey none;
    EXPECT_EQ(m_product.Open("NoCopy", none), platform::kErrorFileNotFound);
}

TEST_F(RegistryHelpersTest, CopyIntoItsOwnSubtreeEnds)
{
    RegSetString(Key("Loop"), "v", "x");
    EXPECT_EQ(RegCopyKeyTree(m_product, "Loop", m_product, "Loop\\Inner"), 0);
    std::string text;
    EXPECT_EQ(RegQueryString(Key("Loop\\Inner"), "v", text), kErrorSuccess);
    EXPECT_EQ(text, "x");
    // One copy of what the source held: Inner has no Inner of its own.
    RegistryKey nested;
    EXPECT_EQ(Key("Loop\\Inner").Open("Inner", nested), platform::kErrorFileNotFound);
}

} // namespace
