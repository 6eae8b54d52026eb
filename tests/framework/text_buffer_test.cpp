#include "framework/memory.h"
#include "framework/text_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(TextBuffer, ConstructionSharesTheEmptyTextUntilSomethingIsAppended)
{
    CTextBuffer none(0, -1);
    EXPECT_TRUE(none.UsesSharedEmpty());
    EXPECT_EQ(none.GetGrowStep(), 0);
    none.Empty(); // must not write into the shared text
    EXPECT_STREQ(none.c_str(), "");

    CTextBuffer negative(-5, 3);
    EXPECT_TRUE(negative.UsesSharedEmpty());
    EXPECT_EQ(negative.GetCapacity(), -5);

    CTextBuffer sized(16, -1);
    EXPECT_FALSE(sized.UsesSharedEmpty());
    EXPECT_EQ(sized.GetCapacity(), 16);
    EXPECT_EQ(sized.GetGrowStep(), 16);
    EXPECT_EQ(sized.GetLength(), 0);
    EXPECT_EQ(sized.GetData()[0], 0);
}

TEST(TextBuffer, GrowthFollowsTheGrowStepExactly)
{
    CTextBuffer exact(0, -1);
    exact.AppendChar('x');
    EXPECT_EQ(exact.GetCapacity(), 1);
    EXPECT_EQ(exact.GetLength(), 1);
    exact.Append("abc", 3);
    EXPECT_EQ(exact.GetCapacity(), 4);
    EXPECT_STREQ(exact.c_str(), "xabc");

    CTextBuffer stepped(4, 10);
    stepped.Append("12345", 5); // 0 + max(5, 10)
    EXPECT_EQ(stepped.GetCapacity(), 10);
    stepped.Append("123456789012", 12); // 5 + max(12, 10)
    EXPECT_EQ(stepped.GetCapacity(), 17);
    EXPECT_EQ(stepped.GetLength(), 17);
    EXPECT_EQ(stepped.GetData()[17], 0);
}

TEST(TextBuffer, SetLengthClampsToTheCapacity)
{
    CTextBuffer buffer(8, -1);
    buffer.Append("abcdef", 6);
    buffer.SetLength(-5);
    EXPECT_EQ(buffer.GetLength(), 0);
    EXPECT_STREQ(buffer.c_str(), "");
    std::memcpy(buffer.GetData(), "12345678", 8);
    buffer.SetLength(buffer.GetCapacity() + 10);
    EXPECT_EQ(buffer.GetLength(), 8);
    EXPECT_EQ(buffer.View(), "12345678");

    CTextBuffer negative(-3, 0);
    negative.SetLength(2);
    EXPECT_EQ(negative.GetLength(), 0);
}

// The bytes to append may be the buffer's own text: growth must not free
// them before they are copied.
TEST(TextBuffer, AppendOfItsOwnTextSurvivesGrowth)
{
    CTextBuffer buffer(0, -1);
    buffer.Append("hello", 5);
    ASSERT_EQ(buffer.GetCapacity(), 5);
    buffer.Append(buffer.GetData(), buffer.GetLength());
    EXPECT_EQ(buffer.View(), "hellohello");
    buffer.Append(buffer.GetData() + 2, 3); // a piece from the middle
    EXPECT_EQ(buffer.View(), "hellohellollo");

    CTextBuffer roomy(64, -1);
    roomy.Append("abc", 3);
    roomy.Append(roomy.GetData(), 3); // no growth: an overlapping copy
    EXPECT_EQ(roomy.View(), "abcabc");
}

TEST(TextBuffer, GrowthPastIntThrowsInsteadOfAllocatingShort)
{
    CTextBuffer buffer(0, -1);
    buffer.Append("abc", 3);
    EXPECT_THROW(buffer.Grow(INT_MAX), CMemoryException);
    EXPECT_THROW(buffer.Grow(INT_MAX - 2), CMemoryException);
    EXPECT_EQ(buffer.View(), "abc"); // unchanged after the refusal

    CTextBuffer stepped(4, INT_MAX - 1);
    stepped.Append("ab", 2);
    EXPECT_THROW(stepped.Append("xyz", 3), CMemoryException);
    EXPECT_EQ(stepped.View(), "ab");
    EXPECT_THROW(CTextBuffer(INT_MAX, -1), CMemoryException);
}

TEST(TextBuffer, MoveLeavesTheSourceEmptyAndUsable)
{
    CTextBuffer source(0, -1);
    source.Append(std::string_view("moved text"));
    CTextBuffer target(std::move(source));
    EXPECT_EQ(target.View(), "moved text");
    EXPECT_TRUE(source.UsesSharedEmpty());
    EXPECT_EQ(source.GetLength(), 0);
    source.Append("again", 5);
    EXPECT_EQ(source.View(), "again");
    target = std::move(source);
    EXPECT_EQ(target.View(), "again");
}

} // namespace
