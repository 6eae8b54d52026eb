#include "framework/host_name.h"

#include "framework/wsocket.h"
#include "loopback.h"

#include <gtest/gtest.h>

namespace {

const std::uint32_t kGate = htonl(0x0A000005); // 10.0.0.5

bool TestTable(std::uint32_t address, std::string& name)
{
    if (address == kGate) {
        name = "gate";
        return true;
    }
    if (address == LoopbackAddress()) {
        name = "qns-loopback";
        return true;
    }
    return false;
}

struct TableGuard {
    TableGuard() { SetQNSLookup(&TestTable); }
    ~TableGuard() { SetQNSLookup(nullptr); }
};

} // namespace

TEST(HostName, TheQNSTableAnswersBeforeTheDNS)
{
    std::string name = "stale";
    {
        TableGuard table;
        ResolveHostName(name, kGate);
        EXPECT_EQ(name, "gate");
        ResolveHostName(name, LoopbackAddress());
        EXPECT_EQ(name, "qns-loopback");
    }
    ResolveHostName(name, LoopbackAddress());
    EXPECT_EQ(name, "localhost");
}

TEST(HostName, LocalHostNameFromTableLookUpOrDottedAddress)
{
    LoopbackPair pair;
    std::string name;
    EXPECT_EQ(GetLocalHostName(name, pair.server, false), 0);
    EXPECT_EQ(name, "127.0.0.1");
    EXPECT_EQ(GetLocalHostName(name, pair.server, true), 0);
    EXPECT_EQ(name, "localhost");
    {
        TableGuard table;
        EXPECT_EQ(GetLocalHostName(name, pair.server, false), 0);
        EXPECT_EQ(name, "qns-loopback");
    }

    WSocket closed;
    name = "stale";
    EXPECT_EQ(GetLocalHostName(name, closed, true), -1);
    EXPECT_TRUE(name.empty());
    closed.SetThrowOnError(true);
    EXPECT_THROW(GetLocalHostName(name, closed, true), WSocketException);
}
