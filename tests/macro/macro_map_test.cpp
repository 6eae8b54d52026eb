#include "macro/macro_map.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Counts its own destruction, so tests see when the map deletes an object.
class CCountedMacro : public CMacro {
public:
    explicit CCountedMacro(int* deaths) : m_deaths(deaths) {}
    ~CCountedMacro() override { ++*m_deaths; }
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override {}

private:
    int* m_deaths;
};

std::vector<std::string> Keys(const CMacroMap& map)
{
    std::vector<std::string> keys;
    for (CMacroMap::Entry entry : map)
        keys.emplace_back(entry.key);
    return keys;
}

void Insert(CMacroMap& map, const std::string& key, std::string text = "")
{
    auto macro = std::make_unique<CStringMacro>(text.empty() ? key : text);
    map.InsertHead(key, macro.get());
    macro.release();
}

TEST(MacroMapHash, MultipliesBy33AndAddsSignedBytes)
{
    EXPECT_EQ(CMacroMap::Hash(""), 0u);
    EXPECT_EQ(CMacroMap::Hash("a"), 97u);
    EXPECT_EQ(CMacroMap::Hash("ab"), 97u * 33u + 98u);
    EXPECT_EQ(CMacroMap::Hash("abc"), (97u * 33u + 98u) * 33u + 99u);
    // Bytes above 127 count as negative: 0xFF is -1.
    EXPECT_EQ(CMacroMap::Hash("\xff"), 0xFFFFFFFFu);
    EXPECT_EQ(CMacroMap::Hash("a\xff"), 97u * 33u - 1u);
    EXPECT_EQ(CMacroMap::Hash("\x80"), static_cast<std::uint32_t>(-128));
    // 32-bit wrap-around.
    std::string longKey(40, 'z');
    std::uint32_t h = 0;
    for (char c : longKey)
        h = h * 33u + static_cast<std::uint32_t>(c);
    EXPECT_EQ(CMacroMap::Hash(longKey), h);
}

// Enumeration runs bucket by bucket, each chain from its newest entry.
TEST(MacroMapOrder, BucketByBucketNewestFirst)
{
    // "a" (97) and "r" (114) share bucket 12 of 17; "b" (98) is in 13;
    // "" is in 0; "q" (113) is in 11.
    CMacroMap map;
    for (const char* key : {"a", "b", "r", "", "q"})
        Insert(map, key);
    EXPECT_EQ(Keys(map), (std::vector<std::string>{"", "q", "r", "a", "b"}));
    EXPECT_EQ(map.GetCount(), 5);

    // With 511 buckets every one of these has its own bucket, in hash order.
    CMacroMap big;
    big.InitHashTable(511);
    for (const char* key : {"b", "a", "q", "r"})
        Insert(big, key);
    EXPECT_EQ(Keys(big), (std::vector<std::string>{"a", "b", "q", "r"}));
}

TEST(MacroMapOrder, ReinitialisingKeepsEveryEntry)
{
    CMacroMap map;
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i)
        keys.push_back("name" + std::to_string(i));
    for (const auto& key : keys)
        Insert(map, key);
    map.InitHashTable(511);
    EXPECT_EQ(map.GetBucketCount(), 511u);
    std::vector<std::string> seen = Keys(map);
    // Bucket indices never decrease along the enumeration.
    for (std::size_t i = 1; i < seen.size(); ++i)
        EXPECT_LE(CMacroMap::Hash(seen[i - 1]) % 511, CMacroMap::Hash(seen[i]) % 511);
    std::sort(seen.begin(), seen.end());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(seen, keys);
    for (const auto& key : keys)
        EXPECT_NE(map.Lookup(key), nullptr) << key;
}

TEST(MacroMap, LookupIsExactAndRemoveDeletes)
{
    int deaths = 0;
    CMacroMap map(3); // small blocks: nodes come from several blocks and the free list
    std::vector<CMacro*> objects;
    for (int i = 0; i < 20; ++i) {
        auto macro = std::make_unique<CCountedMacro>(&deaths);
        objects.push_back(macro.get());
        map.InsertHead("k" + std::to_string(i), macro.release());
    }
    EXPECT_EQ(map.Lookup("k7"), objects[7]);
    EXPECT_EQ(map.Lookup("K7"), nullptr);
    EXPECT_EQ(map.Lookup(std::string_view("k7\0", 3)), nullptr);
    EXPECT_TRUE(map.Remove("k7"));
    EXPECT_EQ(deaths, 1);
    EXPECT_FALSE(map.Remove("k7"));
    EXPECT_EQ(map.Lookup("k7"), nullptr);
    EXPECT_EQ(map.GetCount(), 19);
    // Freed nodes are reused.
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(map.Remove("k" + std::to_string(i)));
    for (int i = 100; i < 110; ++i)
        map.InsertHead("k" + std::to_string(i), new CCountedMacro(&deaths));
    EXPECT_EQ(map.GetCount(), 22);
    EXPECT_EQ(map.Lookup("k19"), objects[19]);
    map.DeleteAll();
    EXPECT_EQ(deaths, 30);
    EXPECT_EQ(map.GetCount(), 0);
    EXPECT_TRUE(map.begin() == map.end());
    EXPECT_EQ(map.GetBucketCount(), CMacroMap::kDefaultBuckets);
    // Usable again after DeleteAll; destruction deletes what is left.
    map.InsertHead("again", new CCountedMacro(&deaths));
    EXPECT_NE(map.Lookup("again"), nullptr);
    {
        CMacroMap scoped;
        scoped.InsertHead("x", new CCountedMacro(&deaths));
    }
    EXPECT_EQ(deaths, 31);
}

TEST(MacroMap, EmptyMapEnumeratesNothing)
{
    CMacroMap map;
    EXPECT_TRUE(map.begin() == map.end());
    EXPECT_EQ(map.Lookup("x"), nullptr);
    EXPECT_FALSE(map.Remove("x"));
    int visits = 0;
    map.ForEach([&](std::string_view, CMacro*) { ++visits; });
    EXPECT_EQ(visits, 0);
}

TEST(MacroMapCopy, KeepsStringTextsEmptiesOtherKindsAndLowerCasesKeys)
{
    CMacroMap source;
    Insert(source, "page", "<b>%title%</b>");
    source.InsertHead("value", new CValueMacro("not kept"));
    Insert(source, "Mixed", "m");

    int deaths = 0;
    CMacroMap copy;
    copy.InsertHead("old", new CCountedMacro(&deaths));
    copy.CopyFrom(source);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(copy.GetCount(), 3);
    EXPECT_EQ(copy.Lookup("old"), nullptr);

    std::string text;
    ASSERT_NE(copy.Lookup("page"), nullptr);
    copy.Lookup("page")->GetText(text);
    EXPECT_EQ(text, "<b>%title%</b>");
    ASSERT_NE(copy.Lookup("value"), nullptr);
    copy.Lookup("value")->GetText(text);
    EXPECT_EQ(text, "");
    CTextBuffer out;
    CMacroContext scope;
    copy.Lookup("value")->Evaluate(&scope, &out, nullptr, 0);
    EXPECT_EQ(out.ToString(), ""); // a string macro with an empty text
    EXPECT_EQ(copy.Lookup("Mixed"), nullptr);
    ASSERT_NE(copy.Lookup("mixed"), nullptr);
    // The source is untouched and the objects are new ones.
    EXPECT_EQ(source.GetCount(), 3);
    EXPECT_NE(copy.Lookup("page"), source.Lookup("page"));
}

TEST(MacroMapCopy, InsertsInSourceOrderAndCopiesOntoItself)
{
    CMacroMap source;
    for (const char* key : {"a", "r", "b"})
        Insert(source, key);
    std::vector<std::string> sourceOrder = Keys(source); // r, a, b
    CMacroMap copy;
    copy.CopyFrom(source);
    // Head insertion in source order reverses each chain.
    EXPECT_EQ(sourceOrder, (std::vector<std::string>{"r", "a", "b"}));
    EXPECT_EQ(Keys(copy), (std::vector<std::string>{"a", "r", "b"}));

    copy.CopyFrom(copy);
    EXPECT_EQ(copy.GetCount(), 3);
    std::string text;
    copy.Lookup("r")->GetText(text);
    EXPECT_EQ(text, "r");
}

TEST(MacroMapCopy, KeysFoldingToOneKeepOneEntry)
{
    CMacroMap source;
    Insert(source, "name", "lower");
    Insert(source, "NAME", "upper");
    CMacroMap copy;
    copy.CopyFrom(source);
    EXPECT_EQ(copy.GetCount(), 1);
    std::string text;
    copy.Lookup("name")->GetText(text);
    // The later one in the source's order wins.
    std::vector<std::string> order = Keys(source);
    EXPECT_EQ(text, order.back() == "NAME" ? "upper" : "lower");
}

} // namespace
