// The random object: its seed count, its refusals and its generator.

#include "toolkit_helper.h"

#include "security/name_object.h"
#include "security/random_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Logged {
    std::string context;
    int code;
};

void Record(const char* context, int, int code, void* data)
{
    static_cast<std::vector<Logged>*>(data)->push_back({context, code});
}

struct RandomObject {
    ToolkitHandle* handle = nullptr;
    RandomObject() { EXPECT_EQ(CreateRandomObject(&handle), 0); }
    ~RandomObject() { DestroyRandomObject(&handle); }
    int Needed()
    {
        int needed = -1;
        EXPECT_EQ(GetRandomSeedNeeded(&needed, handle, nullptr), 0);
        return needed;
    }
    int Seed(const Bytes& bytes)
    {
        return SeedRandomObject(handle, reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<unsigned int>(bytes.size()), nullptr);
    }
    Bytes Generate(unsigned int n, int* status)
    {
        Bytes out(n, '\x5A');
        *status = GenerateFromRandomObject(reinterpret_cast<unsigned char*>(out.data()), n, handle, nullptr);
        return out;
    }
};

TEST(RandomObject, CountsSeedBytesDownToZero)
{
    RandomObject r;
    EXPECT_EQ(r.Needed(), 256);
    const struct {
        unsigned int length;
        int needed;
    } steps[] = {{0, 256}, {100, 156}, {155, 1}, {200, 0}, {10, 0}};
    for (const auto& s : steps) {
        ASSERT_EQ(r.Seed(Bytes(s.length, 'x')), 0);
        EXPECT_EQ(r.Needed(), s.needed) << "after " << s.length;
        if (s.needed) {
            int status = 0;
            EXPECT_EQ(r.Generate(8, &status), Bytes(8, '\x5A')) << "nothing is written while seed is missing";
            EXPECT_EQ(status, kAppNeedsSeed);
            ToolkitAlgorithmObject generator = nullptr;
            EXPECT_EQ(GetRandomAlgorithm(&generator, r.handle), kAppNeedsSeed);
        }
    }
}

TEST(RandomObject, GeneratesTheToolkitGeneratorsStream)
{
    // Seeds of 0, 100 and 156 bytes: a zero-length seed still reaches the
    // generator, and changes nothing there.
    const Bytes a(100, 'a'), b(156, 'b');
    RandomObject r;
    ASSERT_EQ(r.Seed(""), 0);
    ASSERT_EQ(r.Seed(a), 0);
    ASSERT_EQ(r.Seed(b), 0);
    int status = -1;
    Bytes out = r.Generate(40, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(out, RandomStream({"", a, b}, {40}));
    ToolkitAlgorithmObject generator = nullptr;
    ASSERT_EQ(GetRandomAlgorithm(&generator, r.handle), 0);
    EXPECT_EQ(CheckAlgorithmObject(generator), 0);
}

TEST(RandomObject, ForeignHandlesAreReportedAsRandomObjectErrors)
{
    ToolkitHandle* name = nullptr;
    ASSERT_EQ(CreateNameObject(&name), 0);
    std::vector<Logged> log;
    ToolkitLogCallback callback{Record, &log};
    unsigned char byte = 0;
    int needed = 0;
    EXPECT_EQ(SeedRandomObject(name, &byte, 1, &callback), kAppRandom);
    EXPECT_EQ(GenerateFromRandomObject(&byte, 1, name, &callback), kAppRandom);
    EXPECT_EQ(GetRandomSeedNeeded(&needed, name, &callback), kAppRandom);
    EXPECT_EQ(GetRandomSeedNeeded(&needed, nullptr, &callback), kAppRandom);
    ASSERT_EQ(log.size(), 4u);
    for (const Logged& l : log) {
        EXPECT_EQ(l.context, "reading random object");
        EXPECT_EQ(l.code, kAppBadHandle);
    }
    ToolkitAlgorithmObject generator = nullptr;
    EXPECT_EQ(GetRandomAlgorithm(&generator, name), kAppRandom);
    DestroyNameObject(&name);
}

TEST(RandomObject, SystemSeedingFillsTheNeedWithFreshBytes)
{
    RandomObject first, second;
    ASSERT_EQ(SeedRandomObjectFromSystem(first.handle, nullptr), 0);
    ASSERT_EQ(SeedRandomObjectFromSystem(second.handle, nullptr), 0);
    EXPECT_EQ(first.Needed(), 0);
    int s1 = -1, s2 = -1;
    Bytes a = first.Generate(32, &s1), b = second.Generate(32, &s2);
    ASSERT_EQ(s1, 0);
    ASSERT_EQ(s2, 0);
    EXPECT_NE(a, b) << "two objects seeded at once must not share a stream";
}

} // namespace
