// Handles of the application layer, its error reports and the status map.

#include "security/random_object.h"
#include "security/name_object.h"
#include "security/toolkit_handle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Logged {
    std::string context;
    int warning;
    int code;
};

void Record(const char* context, int warning, int code, void* data)
{
    static_cast<std::vector<Logged>*>(data)->push_back({context, warning, code});
}

void KindA(void*) {}

TEST(ToolkitHandle, FreeSetsThePointerToNullAndLeavesOwnedChildrenToTheirParent)
{
    HandleFree(nullptr);
    ToolkitHandle* none = nullptr;
    HandleFree(&none);
    EXPECT_EQ(none, nullptr);

    ToolkitHandle* parent = nullptr;
    ToolkitHandle* child = nullptr;
    ASSERT_EQ(HandleAlloc(&parent, nullptr, 8, KindA), 0);
    ASSERT_EQ(HandleCreateChild(&child, nullptr, 8, parent, KindA), 0);
    ToolkitHandle* alias = child;
    HandleFree(&alias);
    EXPECT_EQ(alias, nullptr);
    void* payload = nullptr;
    EXPECT_EQ(HandleCheck(&payload, child, KindA), 0) << "a child is freed only with its parent";
    // A child already owned cannot be attached elsewhere.
    ToolkitHandle* other = nullptr;
    ASSERT_EQ(HandleAlloc(&other, nullptr, 8, KindA), 0);
    alias = child;
    EXPECT_EQ(HandleAttachChild(&alias, other), kAppBadHandle);
    EXPECT_EQ(HandleCheck(&payload, child, KindA), 0);
    HandleFree(&other);
    HandleFree(&parent);
    EXPECT_EQ(parent, nullptr);
}

TEST(ToolkitHandle, KindsAreToldApart)
{
    ToolkitHandle* random = nullptr;
    ToolkitHandle* name = nullptr;
    ASSERT_EQ(CreateRandomObject(&random), 0);
    ASSERT_EQ(CreateNameObject(&name), 0);
    unsigned int count = 0;
    EXPECT_EQ(GetNameAVACount(&count, random, nullptr), kAppBadName);
    int needed = 0;
    EXPECT_EQ(GetRandomSeedNeeded(&needed, name, nullptr), kAppRandom);
    void* payload = reinterpret_cast<void*>(1);
    EXPECT_EQ(HandleCheck(&payload, random, KindA), kAppBadHandle);
    EXPECT_EQ(payload, nullptr);
    DestroyRandomObject(&random);
    DestroyNameObject(&name);
}

TEST(ToolkitHandle, BlockListGrowsByTenSpareEntriesAndBlocksKeepTheirBytes)
{
    ToolkitHandle* h = nullptr;
    ASSERT_EQ(HandleAlloc(&h, nullptr, 4, KindA), 0);
    std::vector<void*> blocks;
    const unsigned int expected[] = {11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 11, 22};
    for (unsigned int capacity : expected) {
        void* block = nullptr;
        ASSERT_EQ(HandleCopyBlock(&block, "abcdef", 6, h), 0);
        blocks.push_back(block);
        EXPECT_EQ(h->blockCapacity, capacity) << "after block " << blocks.size();
    }
    void* grown = blocks[3];
    ASSERT_EQ(HandleResizeBlock(&grown, 12, h), 0);
    EXPECT_EQ(std::string(static_cast<char*>(grown), 6), "abcdef");
    ToolkitHandleBlock* entry = nullptr;
    ASSERT_EQ(HandleFindBlock(&entry, grown, h), 0);
    EXPECT_EQ(entry->size, 12u);
    EXPECT_EQ(HandleFindBlock(&entry, blocks[3], h), kAppBadHandle) << "the old block is gone";
    void* shrunk = blocks[5];
    ASSERT_EQ(HandleReplaceBlock(&shrunk, 3, h), 0);
    EXPECT_EQ(std::string(static_cast<char*>(shrunk), 3), "abc");
    int elsewhere = 0;
    void* foreign = &elsewhere;
    EXPECT_EQ(HandleFreeBlock(&foreign, h), kAppBadHandle);
    ASSERT_EQ(HandleFreeBlock(&shrunk, h), 0);
    EXPECT_EQ(shrunk, nullptr);
    EXPECT_EQ(h->blockCount, 11u);
    HandleKeepOnlyBlock(h, grown);
    EXPECT_EQ(h->blockCount, 1u);
    ASSERT_EQ(HandleFindBlock(&entry, grown, h), 0);
    HandleFree(&h);
}

TEST(ToolkitHandle, AlgorithmStatusesMapOntoTheLayersCodes)
{
    const struct {
        int algorithm;
        int application;
    } cases[] = {
        {300, 300}, {256, 256}, {511, 511}, {514, 290}, {517, 290}, {518, 256}, {519, 267}, {520, 274},
        {521, 281}, {522, 282},  {523, 283}, {524, 266}, {525, 286}, {526, 274}, {529, 274}, {530, 290},
        {531, 274}, {532, 290}, {533, 295}, {534, 274}, {535, 300}, {536, 301}, {537, 303}, {538, 315},
        {539, 315}, {540, 291}, {541, 274}, {600, 274}, {255, 274}, {0, 274},   {512, 274}, {513, 274},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MapAlgorithmError(c.algorithm), c.application) << c.algorithm;
}

TEST(ToolkitHandle, ErrorsReachTheLogOnlyWhenTheyAddToTheContextCode)
{
    const struct {
        int code;
        int contextCode;
        bool warning;
        int answer;
        bool logged;
    } cases[] = {
        {256, 274, false, 256, false}, {267, 274, false, 267, false}, {275, 274, false, 275, false},
        {283, 274, false, 283, false}, {274, 274, false, 274, false}, {290, 315, false, 315, true},
        {266, 258, false, 258, true},  {256, 0, true, 256, false},    {290, 0, true, 0, true},
    };
    for (const auto& c : cases) {
        std::vector<Logged> log;
        ToolkitLogCallback callback{Record, &log};
        int answer = c.warning ? ReportToolkitWarning("ctx", c.code, &callback)
                               : ReportToolkitError("ctx", c.code, c.contextCode, &callback);
        EXPECT_EQ(answer, c.answer) << c.code;
        ASSERT_EQ(log.size(), c.logged ? 1u : 0u) << c.code;
        if (c.logged) {
            EXPECT_EQ(log[0].context, "ctx");
            EXPECT_EQ(log[0].warning, c.warning ? 1 : 0);
            EXPECT_EQ(log[0].code, c.code);
        }
        // Without a log the answer is the same.
        EXPECT_EQ(c.warning ? ReportToolkitWarning("ctx", c.code, nullptr)
                            : ReportToolkitError("ctx", c.code, c.contextCode, nullptr),
                  c.answer);
    }
    std::vector<Logged> log;
    ToolkitLogCallback callback{Record, &log};
    EXPECT_EQ(ReportAlgorithmError("ctx", 524, 258, &callback), 258);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 266);
}

} // namespace
