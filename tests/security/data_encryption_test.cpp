// Data-encryption keys drawn from a random object, and their selectors.

#include "toolkit_helper.h"

#include "security/data_encryption.h"
#include "security/des.h"
#include "security/layer_chooser.h"
#include "security/random_object.h"

#include <gtest/gtest.h>

namespace {

struct Bound {
    ToolkitAlgorithmObject algorithm = nullptr;
    ToolkitKeyObject key = nullptr;
    Bound()
    {
        CreateAlgorithmObject(&algorithm);
        CreateKeyObject(&key);
    }
    ~Bound()
    {
        DestroyAlgorithmObject(&algorithm);
        DestroyKeyObject(&key);
    }
};

ToolkitHandle* SeededRandom(unsigned int seedBytes)
{
    ToolkitHandle* random = nullptr;
    EXPECT_EQ(CreateRandomObject(&random), 0);
    Bytes seed(seedBytes, 's');
    if (seedBytes) {
        EXPECT_EQ(SeedRandomObject(random, reinterpret_cast<const unsigned char*>(seed.data()), seedBytes, nullptr),
                  0);
    }
    return random;
}

} // namespace

TEST(DataEncryption, SelectorsRoundTripAndKeysWork)
{
    const struct {
        int selector;
        int status;
        int back;
    } kCases[] = {
        {1, 0, 1},
        {2, 0, 2},
        {(40 - 32) << 4 | 2, 0, (40 - 32) << 4 | 2},
        {(128 - 32) << 4 | 2, 0, (128 - 32) << 4 | 2},
        // Bits past 255 wrap around.
        {(300 - 32) << 4 | 2, 0, (44 - 32) << 4 | 2},
        {3, kAppUnknownDataEncryption, 0},
        {0, kAppUnknownDataEncryption, 0},
        {9, kAppUnknownDataEncryption, 0},
    };
    ToolkitHandle* random = SeededRandom(256);
    for (const auto& c : kCases) {
        Bound b;
        ASSERT_EQ(SetDataEncryptionAlgorithm(b.algorithm, b.key, c.selector, random, nullptr, nullptr), c.status)
            << c.selector;
        if (c.status)
            continue;
        int selector = -1;
        EXPECT_EQ(GetDataEncryptionSelector(&selector, b.algorithm, nullptr), 0);
        EXPECT_EQ(selector, c.back) << c.selector;
        // The key encrypts and decrypts; a DES key has odd parity.
        const Bytes plain = "seventeen octets.";
        unsigned char out[32], back[32];
        unsigned int a = 0, f = 0, d = 0, g = 0;
        ASSERT_EQ(EncryptInit(b.algorithm, b.key, LayerAlgorithmChooser, nullptr), 0);
        ASSERT_EQ(EncryptUpdate(b.algorithm, out, &a, 32, reinterpret_cast<const unsigned char*>(plain.data()), 17,
                                nullptr, nullptr),
                  0);
        ASSERT_EQ(EncryptFinal(b.algorithm, out + a, &f, 32 - a, nullptr, nullptr), 0);
        EXPECT_EQ(a + f, 24u);
        ASSERT_EQ(DecryptInit(b.algorithm, b.key, LayerAlgorithmChooser, nullptr), 0);
        ASSERT_EQ(DecryptUpdate(b.algorithm, back, &d, 32, out, a + f, nullptr, nullptr), 0);
        ASSERT_EQ(DecryptFinal(b.algorithm, back + d, &g, 32 - d, nullptr, nullptr), 0);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(back), d + g), plain);
        if ((c.selector & 15) == 1) {
            void* value = nullptr;
            ASSERT_EQ(GetKeyInfo(&value, b.key, DESKeyInfoType), 0);
            EXPECT_TRUE(DESHasOddParity(static_cast<ToolkitItem*>(value)->data));
        }
    }
    // Two draws give two different keys.
    Bound one, two;
    ASSERT_EQ(SetDataEncryptionAlgorithm(one.algorithm, one.key, 2, random, nullptr, nullptr), 0);
    ASSERT_EQ(SetDataEncryptionAlgorithm(two.algorithm, two.key, 2, random, nullptr, nullptr), 0);
    void *k1 = nullptr, *k2 = nullptr;
    ASSERT_EQ(GetKeyInfo(&k1, one.key, RawKeyInfoType), 0);
    ASSERT_EQ(GetKeyInfo(&k2, two.key, RawKeyInfoType), 0);
    EXPECT_NE(Bytes(reinterpret_cast<char*>(static_cast<ToolkitItem*>(k1)->data), 8),
              Bytes(reinterpret_cast<char*>(static_cast<ToolkitItem*>(k2)->data), 8));
    DestroyRandomObject(&random);
}

TEST(DataEncryption, RandomObjectAndForeignAlgorithmsAreRefused)
{
    ToolkitHandle* unseeded = SeededRandom(0);
    Bound b;
    EXPECT_EQ(SetDataEncryptionAlgorithm(b.algorithm, b.key, 1, unseeded, nullptr, nullptr), kAppNeedsSeed);
    EXPECT_EQ(SetDataEncryptionAlgorithm(b.algorithm, b.key, 1, nullptr, nullptr, nullptr), kAppRandom);
    DestroyRandomObject(&unseeded);
    Bound md5;
    ASSERT_EQ(SetAlgorithmInfo(md5.algorithm, MD5InfoType, nullptr), 0);
    int selector = -1;
    EXPECT_EQ(GetDataEncryptionSelector(&selector, md5.algorithm, nullptr), kAppUnknownDataEncryption);
    Bound empty;
    EXPECT_EQ(GetDataEncryptionSelector(&selector, empty.algorithm, nullptr), kAppUnknownDataEncryption);
}
