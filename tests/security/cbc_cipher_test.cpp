// RC2 and the CBC contexts: published RC2 vectors, the holding back of
// blocks on decryption, PKCS #5 padding, the RC2 parameter encoding, DES
// parity, and the RSA public-key cipher's padding checks.

#include "toolkit_helper.h"

#include "security/byte_block.h"
#include "security/cbc_cipher.h"
#include "security/des.h"
#include "security/layer_chooser.h"
#include "security/rc2.h"
#include "security/rsa.h"
#include "security/rsa_key_generation.h"

#include <gtest/gtest.h>

namespace {

// An RC2-CBC or DES-CBC object started on key in one direction.
struct Cipher {
    ToolkitAlgorithmObject object = nullptr;
    ToolkitKeyObject key = nullptr;
    int status = 0;

    Cipher(ToolkitInfoType type, const void* parameters, const Bytes& keyBytes, bool encrypt)
    {
        CreateAlgorithmObject(&object);
        CreateKeyObject(&key);
        ToolkitItem item = {const_cast<unsigned char*>(U(keyBytes)), N(keyBytes)};
        status = SetKeyInfo(key, RawKeyInfoType, &item);
        if (!status)
            status = SetAlgorithmInfo(object, type, parameters);
        if (!status)
            status = encrypt ? EncryptInit(object, key, LayerAlgorithmChooser, nullptr)
                             : DecryptInit(object, key, LayerAlgorithmChooser, nullptr);
    }
    ~Cipher()
    {
        DestroyAlgorithmObject(&object);
        DestroyKeyObject(&key);
    }
    int Update(bool encrypt, const Bytes& in, Bytes* out, unsigned int room = 64)
    {
        Bytes buffer(room, '\0');
        unsigned int length = 0;
        int s = encrypt ? EncryptUpdate(object, U(buffer), &length, room, U(in), N(in), nullptr, nullptr)
                        : DecryptUpdate(object, U(buffer), &length, room, U(in), N(in), nullptr, nullptr);
        *out = buffer.substr(0, length);
        return s;
    }
    int Final(bool encrypt, Bytes* out, unsigned int room = 64)
    {
        Bytes buffer(room, '\0');
        unsigned int length = 0;
        int s = encrypt ? EncryptFinal(object, U(buffer), &length, room, nullptr, nullptr)
                        : DecryptFinal(object, U(buffer), &length, room, nullptr, nullptr);
        *out = buffer.substr(0, length);
        return s;
    }
};

ToolkitRC2CBCParameters Rc2Parameters(unsigned int bits, const Bytes& iv)
{
    return {bits, {const_cast<unsigned char*>(U(iv)), N(iv)}};
}

const Bytes kZeroIV(8, '\0');

} // namespace

TEST(Rc2, PublishedVectors)
{
    const struct {
        const char* key;
        unsigned int bits;
        const char* plain;
        const char* cipher;
    } kCases[] = {
        {"0000000000000000", 63, "0000000000000000", "ebb773f993278eff"},
        {"ffffffffffffffff", 64, "ffffffffffffffff", "278b27e42e2f0d49"},
        {"3000000000000000", 64, "1000000000000001", "30649edf9be7d2c2"},
        {"88", 64, "0000000000000000", "61a8a244adacccf0"},
        {"88bca90e90875a", 64, "0000000000000000", "6ccf4308974c267f"},
        {"88bca90e90875a7f0f79c384627bafb2", 64, "0000000000000000", "1a807d272bbe5db1"},
        {"88bca90e90875a7f0f79c384627bafb2", 128, "0000000000000000", "2269552ab0f85ca6"},
        {"88bca90e90875a7f0f79c384627bafb216f80a6f85920584c42fceb0be255daf1e", 129, "0000000000000000",
         "5b78d3a43dfff1f1"},
    };
    for (const auto& c : kCases) {
        Bytes key = FromHex(c.key), plain = FromHex(c.plain), cipher(8, '\0'), back(8, '\0');
        RC2KeySchedule schedule;
        ASSERT_EQ(RC2ExpandKey(&schedule, U(key), N(key), c.bits), 0);
        RC2EncryptBlock(&schedule, U(cipher), U(plain));
        EXPECT_EQ(ToHex(cipher), c.cipher) << c.key << " / " << c.bits;
        RC2DecryptBlock(&schedule, U(back), U(cipher));
        EXPECT_EQ(back, plain) << c.key << " / " << c.bits;
        // One block through the CBC context with a zero IV is the same.
        ToolkitRC2CBCParameters p = Rc2Parameters(c.bits, kZeroIV);
        Cipher rc2(RC2CBCInfoType, &p, key, true);
        ASSERT_EQ(rc2.status, 0);
        Bytes out, tail;
        EXPECT_EQ(rc2.Update(true, plain, &out), 0);
        EXPECT_EQ(rc2.Final(true, &tail), 0);
        EXPECT_EQ(ToHex(out + tail), c.cipher);
    }
}

TEST(Rc2, KeysAndEffectiveBitsOutOfRangeAreRefused)
{
    const struct {
        std::size_t keyLength;
        unsigned int bits;
        int status;
    } kCases[] = {
        {0, 64, kToolkitLookup},   {129, 64, kToolkitLookup}, {8, 0, kToolkitLookup},
        {8, 1025, kToolkitLookup}, {1, 1, 0},                 {128, 1024, 0},
    };
    for (const auto& c : kCases) {
        ToolkitRC2CBCParameters p = Rc2Parameters(c.bits, kZeroIV);
        Cipher rc2(RC2CBCPadInfoType, &p, Bytes(c.keyLength, 'k'), true);
        EXPECT_EQ(rc2.status, c.status) << c.keyLength << " octets, " << c.bits << " bits";
    }
}

TEST(CbcCipher, DecryptionHoldsBackTheLastBlocksUntilFinal)
{
    // Chunks fed in turn, and the octets each update must output.
    const struct {
        std::vector<unsigned int> chunks;
        std::vector<unsigned int> outputs;
        int final;
        unsigned int finalOutput;
    } kCases[] = {
        {{16}, {0}, 0, 16},
        {{24}, {8}, 0, 16},
        {{8, 8, 8}, {0, 0, 8}, 0, 16},
        {{17}, {8}, kToolkitLength, 0},
        {{1, 15, 1, 7}, {0, 0, 8, 0}, 0, 16},
        {{40}, {24}, 0, 16},
        {{0}, {0}, 0, 0},
    };
    const Bytes key = FromHex("0123456789abcdef"), iv = FromHex("f0e1d2c3b4a59687");
    Bytes plain;
    for (int i = 0; i < 40; ++i)
        plain += static_cast<char>(i * 7);
    Cipher encrypt(DESCBCInfoType, &iv, key, true);
    Bytes cipher, tail;
    ASSERT_EQ(encrypt.Update(true, plain, &cipher), 0);
    ASSERT_EQ(encrypt.Final(true, &tail), 0);
    ASSERT_EQ(cipher, DesCbcEncrypt(key, iv, plain));
    ToolkitItem ivItem = {const_cast<unsigned char*>(U(iv)), 8};
    for (const auto& c : kCases) {
        Cipher decrypt(DESCBCInfoType, &ivItem, key, false);
        ASSERT_EQ(decrypt.status, 0);
        unsigned int at = 0;
        Bytes got;
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            Bytes out;
            ASSERT_EQ(decrypt.Update(false, cipher.substr(at, c.chunks[i]), &out), 0);
            EXPECT_EQ(out.size(), c.outputs[i]) << "chunk " << i;
            got += out;
            at += c.chunks[i];
        }
        Bytes out;
        EXPECT_EQ(decrypt.Final(false, &out), c.final);
        EXPECT_EQ(out.size(), c.finalOutput);
        if (c.final == 0) {
            EXPECT_EQ(got + out, plain.substr(0, at));
        }
    }
}

TEST(CbcCipher, PaddingIsAddedCheckedAndRemoved)
{
    const Bytes key = FromHex("0123456789abcdef"), iv = FromHex("1122334455667788");
    ToolkitItem ivItem = {const_cast<unsigned char*>(U(iv)), 8};
    // Every length across two blocks round-trips, the object reused after
    // each final.
    Cipher encrypt(DESCBCPadInfoType, &ivItem, key, true);
    Cipher decrypt(DESCBCPadInfoType, &ivItem, key, false);
    for (unsigned int n = 0; n <= 17; ++n) {
        Bytes plain(n, 'p'), a, b, c, d;
        ASSERT_EQ(encrypt.Update(true, plain, &a), 0);
        ASSERT_EQ(encrypt.Final(true, &b), 0);
        EXPECT_EQ((a + b).size(), (n / 8 + 1) * 8) << n;
        ASSERT_EQ(decrypt.Update(false, a + b, &c), 0);
        ASSERT_EQ(decrypt.Final(false, &d), 0) << n;
        EXPECT_EQ(c + d, plain) << n;
    }
    // Blocks whose decrypted last octets are not valid padding.
    const struct {
        Bytes lastPlainBlock;
        int status;
    } kBad[] = {
        {Bytes("\x01\x02\x03\x04\x05\x06\x07\x00", 8), kToolkitData},
        {Bytes("\x01\x02\x03\x04\x05\x06\x07\x09", 8), kToolkitData},
        {Bytes("\x01\x02\x03\x04\x05\x03\x02\x03", 8), kToolkitData},
        {Bytes("\x08\x08\x08\x08\x08\x08\x08\x08", 8), 0},
    };
    for (const auto& c : kBad) {
        Cipher raw(DESCBCInfoType, &ivItem, key, true);
        Bytes block, ignored, plain;
        ASSERT_EQ(raw.Update(true, c.lastPlainBlock, &block), 0);
        Cipher check(DESCBCPadInfoType, &ivItem, key, false);
        ASSERT_EQ(check.Update(false, block, &ignored), 0);
        EXPECT_EQ(check.Final(false, &plain), c.status) << ToHex(c.lastPlainBlock);
    }
    // Room for the unpadded octets only.
    Bytes a, b, out;
    ASSERT_EQ(encrypt.Update(true, Bytes(5, 'x'), &a), 0);
    ASSERT_EQ(encrypt.Final(true, &b), 0);
    ASSERT_EQ(decrypt.Update(false, a + b, &out), 0);
    EXPECT_EQ(decrypt.Final(false, &out, 4), kToolkitOutputRoom);
}

TEST(CbcCipher, Rc2ParametersEncodeTheEffectiveBitsAsAVersion)
{
    const Bytes iv = FromHex("0102030405060708");
    const struct {
        unsigned int bits;
        int status;
        const char* der;
    } kCases[] = {
        {32, 0, "30"
                "0a"
                "04080102030405060708"},
        {40, 0, "300e020200a004080102030405060708"},
        {64, 0, "300d02017804080102030405060708"},
        {128, 0, "300d02013a04080102030405060708"},
        {256, kToolkitImplementation15, ""},
    };
    for (const auto& c : kCases) {
        ToolkitRC2CBCParameters p = Rc2Parameters(c.bits, iv);
        ToolkitItem der = {};
        EXPECT_EQ(EncodeRC2CBCParameters(&p, &der), c.status) << c.bits;
        Bytes encoded(reinterpret_cast<char*>(der.data), der.length);
        ToolkitFree(der.data);
        EXPECT_EQ(ToHex(encoded), c.der) << c.bits;
        if (c.status)
            continue;
        ToolkitRC2CBCParameters back = {};
        ASSERT_EQ(DecodeRC2CBCParameters(&back, U(encoded), N(encoded)), 0);
        EXPECT_EQ(back.effectiveBits, c.bits);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(back.iv.data), back.iv.length), iv);
    }
    const char* kRefused[] = {
        "300d0201780408010203040506",       // truncated
        "300c020178040701020304050607",     // IV of 7 octets
        "300e0202010004080102030405060708", // version 256
        "300d02017804080102030405060708ff", // trailing octet
        "300d0201f804080102030405060708",   // negative version
    };
    for (const char* hex : kRefused) {
        Bytes der = FromHex(hex);
        ToolkitRC2CBCParameters back = {};
        EXPECT_EQ(DecodeRC2CBCParameters(&back, U(der), N(der)), kToolkitData) << hex;
    }
}

TEST(CbcCipher, DesKeysCarryOddParity)
{
    Bytes raw = FromHex("0023456789abcdef");
    Bytes adjusted = raw;
    DESSetOddParity(U(adjusted));
    EXPECT_EQ(ToHex(adjusted), "0123456789abcdef");
    EXPECT_TRUE(DESHasOddParity(U(adjusted)));
    EXPECT_FALSE(DESHasOddParity(U(raw)));
    // Set directly, a key without odd parity is refused; made from a raw
    // key, the parity is set.
    ToolkitKeyObject key = nullptr;
    ASSERT_EQ(CreateKeyObject(&key), 0);
    ToolkitItem item = {U(raw), 8};
    EXPECT_EQ(SetKeyInfo(key, DESKeyInfoType, &item), kToolkitKeyForm);
    ASSERT_EQ(SetKeyInfo(key, RawKeyInfoType, &item), 0);
    void* value = nullptr;
    ASSERT_EQ(GetKeyInfo(&value, key, DESKeyInfoType), 0);
    auto* des = static_cast<ToolkitItem*>(value);
    EXPECT_EQ(Bytes(reinterpret_cast<char*>(des->data), des->length), adjusted);
    DestroyKeyObject(&key);
}
