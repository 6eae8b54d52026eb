#include "security/byte_block.h"

#include "security/rsa_exception.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

TEST(ToolkitAlloc, SizeZeroIsAOneByteBlock)
{
    void* block = ToolkitAlloc(0);
    ASSERT_NE(block, nullptr);
    static_cast<char*>(block)[0] = 'x'; // one byte is usable (ASan would object otherwise)
    ToolkitFree(block);
    ToolkitFree(nullptr);
}

TEST(CByteBlock, CopiesAreByteForByteAndIndependent)
{
    const char bytes[] = {'k', '\0', 'e', 'y'};
    CByteBlock original(bytes, 4);
    ASSERT_EQ(original.GetLength(), 4);
    CByteBlock copy(original);
    EXPECT_TRUE(copy == original);
    EXPECT_NE(copy.GetData(), original.GetData());
    copy.GetData()[0] = 'K';
    EXPECT_EQ(original.GetData()[0], 'k');
    EXPECT_FALSE(copy == original);

    CByteBlock assigned;
    assigned = original;
    EXPECT_TRUE(assigned == original);
    assigned = assigned; // self-assignment keeps the bytes
    EXPECT_TRUE(assigned == original);
    assigned.Assign(assigned.GetData() + 1, 3); // from its own bytes
    EXPECT_EQ(std::string(assigned.GetData(), 3), std::string("\0ey", 3));

    CByteBlock moved(std::move(original));
    EXPECT_EQ(moved.GetLength(), 4);
    EXPECT_TRUE(original.IsEmpty());
    EXPECT_EQ(original.GetData(), nullptr);
}

TEST(CByteBlock, EmptyBlocksHoldNoData)
{
    CByteBlock block;
    EXPECT_EQ(block.GetData(), nullptr);
    EXPECT_EQ(block.Allocate(0), nullptr);
    EXPECT_TRUE(block.IsEmpty());
    ASSERT_NE(block.Allocate(10), nullptr);
    EXPECT_EQ(block.GetLength(), 10);
    block.SetLength(4);
    EXPECT_EQ(block.GetLength(), 4);
    block.SetLength(99);
    EXPECT_EQ(block.GetLength(), 4);
    block.Assign("x", 0);
    EXPECT_EQ(block.GetData(), nullptr);
    EXPECT_TRUE(CByteBlock() == block);
}

TEST(CRSAException, CarriesTheToolkitCode)
{
    try {
        throw CRSAException(kToolkitBadData);
    } catch (const std::exception& e) {
        const auto* rsa = dynamic_cast<const CRSAException*>(&e);
        ASSERT_NE(rsa, nullptr);
        EXPECT_EQ(rsa->GetCode(), 524);
        EXPECT_NE(std::strstr(e.what(), "524"), nullptr);
    }
}
