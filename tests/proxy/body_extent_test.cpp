// The chunk-size line: leading zeros are valid (and add nothing), so only
// the digits after them count against the limit that keeps a size in 64 bits.

#include "proxy/body_extent.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BodyExtentTest, ChunkSizesCountOnlyTheDigitsAfterLeadingZeros)
{
    const std::string zeros(40, '0');
    const std::string fifteen(15, 'f');
    struct Case {
        std::string body;
        bool taken;
        std::string payload;
    };
    const Case cases[] = {
        {"0005\r\nhello\r\n0\r\n\r\n", true, "hello"},
        {zeros + "3\r\nabc\r\n" + zeros + "\r\n\r\n", true, "abc"},
        {"0" + fifteen + "\r\n", true, ""},
        {"1" + fifteen + "\r\n", false, ""},
    };
    for (const Case& c : cases) {
        CBodyExtent body(CBodyExtent::Kind::Chunked, 0);
        std::string payload;
        long taken = body.Take(c.body.data(), c.body.size(), &payload);
        EXPECT_EQ(taken >= 0, c.taken) << c.body;
        EXPECT_EQ(payload, c.payload) << c.body;
        if (c.taken && !c.payload.empty()) {
            EXPECT_TRUE(body.Done()) << c.body;
        }
    }
}

} // namespace
