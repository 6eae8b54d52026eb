#include "security/toolkit.h"

#include "security/algorithm_object.h"
#include "security/big_number.h"
#include "security/rsa_exception.h"
#include "security/toolkit_internal.h"
#include "toolkit_helper.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace {

const Bytes kKey = "0123456789abcdef";

struct Handles {
    ToolkitAlgorithmObject md5 = nullptr, rc4 = nullptr, bare = nullptr, dead = nullptr;
    ToolkitKeyObject key = nullptr, empty = nullptr;
    Handles()
    {
        CreateAlgorithmObject(&md5);
        SetAlgorithmInfo(md5, MD5InfoType, nullptr);
        CreateAlgorithmObject(&rc4);
        SetAlgorithmInfo(rc4, RC4InfoType, nullptr);
        CreateAlgorithmObject(&bare);
        CreateKeyObject(&key);
        ToolkitItem item = {reinterpret_cast<unsigned char*>(const_cast<char*>(kKey.data())), 16};
        SetKeyInfo(key, RawKeyInfoType, &item);
        CreateKeyObject(&empty);
    }
    ~Handles()
    {
        DestroyAlgorithmObject(&md5);
        DestroyAlgorithmObject(&rc4);
        DestroyAlgorithmObject(&bare);
        DestroyKeyObject(&key);
        DestroyKeyObject(&empty);
    }
};

} // namespace

TEST(ToolkitObjects, FrontsCheckInTheirOrder)
{
    Handles h;
    alignas(8) unsigned char buffer[256] = {};
    unsigned int length = 0;
    ToolkitAlgorithmRecord* garbage = reinterpret_cast<ToolkitAlgorithmRecord*>(buffer + 8);
    ToolkitKeyRecord* badKey = reinterpret_cast<ToolkitKeyRecord*>(buffer + 8);
    const struct {
        const char* what;
        int status;
        int expected;
    } cases[] = {
        {"second info", SetAlgorithmInfo(h.md5, MD5InfoType, nullptr), 512},
        {"key info type on an algorithm", SetAlgorithmInfo(h.bare, RawKeyInfoType, nullptr), 531},
        {"update before init", DigestUpdate(h.md5, buffer, 1, nullptr), 514},
        {"final before init", DigestFinal(h.md5, buffer, &length, 16, nullptr), 514},
        {"digest on a cipher", DigestInit(h.rc4, nullptr, DefaultAlgorithmChooser, nullptr), 517},
        {"cipher on a digest", EncryptInit(h.md5, h.key, DefaultAlgorithmChooser, nullptr), 517},
        {"no info", DigestInit(h.bare, nullptr, DefaultAlgorithmChooser, nullptr), 515},
        {"get info of nothing", GetAlgorithmInfo(reinterpret_cast<void**>(&buffer), h.bare, MD5InfoType), 515},
        {"null object", DigestUpdate(h.dead, buffer, 1, nullptr), 516},
        {"foreign object", DigestInit(garbage, nullptr, DefaultAlgorithmChooser, nullptr), 516},
        {"bad key before kind", DigestInit(h.rc4, badKey, DefaultAlgorithmChooser, nullptr), 530},
        {"random front on null", RandomInit(nullptr, DefaultAlgorithmChooser, nullptr), 539},
        {"random front on a digest", RandomInit(h.md5, DefaultAlgorithmChooser, nullptr), 517},
        {"bad random argument", EncryptUpdate(h.rc4, buffer, &length, 8, buffer, 1, garbage, nullptr), 539},
        {"key info twice", SetKeyInfo(h.key, RawKeyInfoType, &buffer), 526},
        {"algorithm type on a key", SetKeyInfo(h.empty, MD5InfoType, nullptr), 517},
        {"empty key", GetKeyInfo(reinterpret_cast<void**>(&buffer), h.empty, RawKeyInfoType), 529},
        {"form not made", GetKeyInfo(reinterpret_cast<void**>(&buffer), h.key, RSAPrivateCRTKeyInfoType), 542},
        {"empty chooser", EncryptInit(h.rc4, h.key, nullptr, nullptr), 545},
        {"RC4 without a key", EncryptInit(h.rc4, nullptr, DefaultAlgorithmChooser, nullptr), 530},
        {"RC4 with a raw key", EncryptInit(h.rc4, h.key, DefaultAlgorithmChooser, nullptr), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.status, c.expected) << c.what;
}

TEST(ToolkitObjects, DestroyedHandlesAreRefusedAndDestroyedOnce)
{
    ToolkitAlgorithmObject object = nullptr;
    ASSERT_EQ(CreateAlgorithmObject(&object), 0);
    ASSERT_EQ(SetAlgorithmInfo(object, MD5InfoType, nullptr), 0);
    ToolkitAlgorithmObject copy = object;
    DestroyAlgorithmObject(&object);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(DigestInit(object, nullptr, DefaultAlgorithmChooser, nullptr), 516);
    DestroyAlgorithmObject(&object);
    (void)copy; // freed: never touched again
    ToolkitKeyObject key = nullptr;
    DestroyKeyObject(&key);
}

TEST(ToolkitObjects, OwnersThrowTheStatus)
{
    CAlgorithmObject owner;
    owner.SetInfo(MD5InfoType);
    try {
        owner.SetInfo(MD5InfoType);
        ADD_FAILURE() << "a second info must throw";
    } catch (const CRSAException& e) {
        EXPECT_EQ(e.GetCode(), 512);
    }
    CAlgorithmObject quiet(false);
    quiet.SetInfo(MD5InfoType);
    EXPECT_EQ(quiet.SetInfo(MD5InfoType), 512);
    CKeyObject key;
    EXPECT_THROW(key.SetInfo(MD5InfoType, nullptr), CRSAException);
}

TEST(ToolkitAlgorithms, PublishedVectors)
{
    const struct {
        const char* what;
        Bytes got;
        const char* expected;
    } cases[] = {
        {"md5 empty", Md5(""), "d41d8cd98f00b204e9800998ecf8427e"},
        {"md5 a", Md5("a"), "0cc175b9c0f1b6a831c399e269772661"},
        {"md5 abc", Md5("abc"), "900150983cd24fb0d6963f7d28e17f72"},
        {"md5 message digest", Md5("message digest"), "f96b697d7cb7938d525a2f31aaf161d0"},
        {"md5 alphabet", Md5("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b"},
        {"md5 62", Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"md5 80", Md5("1234567890123456789012345678901234567890"
                       "1234567890123456789012345678901234567890"),
         "57edf4a22be3c955ac49da2e2107b67a"},
        {"rc4 Key", Rc4("Key", "Plaintext"), "bbf316e8d940af0ad3"},
        {"rc4 Wiki", Rc4("Wiki", "pedia"), "1021bf0420"},
        {"rc4 Secret", Rc4("Secret", "Attack at dawn"), "45a01f645fc35b383552544b9bf5"},
        {"des ecb", DesEcb(FromHex("0123456789abcdef"), "Now is t", true), "3fa40e8a984d4815"},
        {"des ecb back", DesEcb(FromHex("0123456789abcdef"), FromHex("3fa40e8a984d4815"), false),
         "4e6f772069732074"},
        {"des ecb zero", DesEcb(FromHex("0000000000000000"), FromHex("0000000000000000"), true),
         "8ca64de9c1b123a7"},
        {"des cbc", DesCbcEncrypt(FromHex("0123456789abcdef"), FromHex("1234567890abcdef"), "Now is the time for all "),
         "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
        {"base64 3", Base64Encode("Man"), "TWFu"},
        {"base64 2", Base64Encode("Ma"), "TWE="},
        {"base64 1", Base64Encode("M"), "TQ=="},
    };
    for (const auto& c : cases) {
        if (std::string(c.what).rfind("base64", 0) == 0)
            EXPECT_EQ(c.got, c.expected) << c.what;
        else
            EXPECT_EQ(ToHex(c.got), c.expected) << c.what;
    }
}

TEST(ToolkitAlgorithms, Base64DecodeFailures)
{
    const struct {
        const char* text;
        int status;
        const char* bytes;
    } cases[] = {
        {"TW Fu", 0, "Man"},   {"TW=u", 524, ""},  {"T*Fu", 524, ""},   {"TWFuT", 525, ""},
        {"TQ==TWFu", 524, ""}, {"=AAA", 524, ""},   {"TWE=", 0, "Ma"},  {"", 0, ""},
    };
    for (const auto& c : cases) {
        int status = -1;
        Bytes out = Base64Decode(c.text, &status);
        EXPECT_EQ(status, c.status) << c.text;
        EXPECT_EQ(out, c.bytes) << c.text;
    }
}

TEST(ToolkitAlgorithms, OutputRoomAndStreamLimits)
{
    Handles h;
    ASSERT_EQ(EncryptInit(h.rc4, h.key, DefaultAlgorithmChooser, nullptr), 0);
    unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[8] = {};
    unsigned int length = 99;
    EXPECT_EQ(EncryptUpdate(h.rc4, out, &length, 7, in, 8, nullptr, nullptr), 536);
    EXPECT_EQ(out[0], 0) << "nothing is written when the room is short";
    EXPECT_EQ(EncryptFinal(h.rc4, out, &length, 8, nullptr, nullptr), 0);
    EXPECT_EQ(EncryptFinal(h.rc4, out, &length, 8, nullptr, nullptr), 534) << "a final stops the stream";
    EXPECT_EQ(EncryptUpdate(h.rc4, out, &length, 8, in, 8, nullptr, nullptr), 534);

    ToolkitKeyObject longKey = nullptr;
    CreateKeyObject(&longKey);
    Bytes tooLong(257, 'k');
    ToolkitItem item = {reinterpret_cast<unsigned char*>(tooLong.data()), 257};
    SetKeyInfo(longKey, RawKeyInfoType, &item);
    EXPECT_EQ(EncryptInit(h.rc4, longKey, DefaultAlgorithmChooser, nullptr), 528);
    DestroyKeyObject(&longKey);

    ASSERT_EQ(DigestInit(h.md5, nullptr, DefaultAlgorithmChooser, nullptr), 0);
    EXPECT_EQ(DigestFinal(h.md5, out, &length, 15, nullptr), 536);
}

TEST(ToolkitAlgorithms, Md5ObjectHashesTheNextMessageAfterAFinal)
{
    Handles h;
    ASSERT_EQ(DigestInit(h.md5, nullptr, DefaultAlgorithmChooser, nullptr), 0);
    unsigned char digest[16];
    unsigned int length = 0;
    // Pieces across the 64-byte block edge, then a second message.
    Bytes message(200, 'x');
    for (unsigned int cut : {0u, 1u, 63u, 64u, 65u, 130u}) {
        DigestUpdate(h.md5, reinterpret_cast<const unsigned char*>(message.data()), cut, nullptr);
        DigestUpdate(h.md5, reinterpret_cast<const unsigned char*>(message.data()) + cut, 200 - cut, nullptr);
        ASSERT_EQ(DigestFinal(h.md5, digest, &length, 16, nullptr), 0);
        EXPECT_EQ(Bytes(reinterpret_cast<char*>(digest), 16), Md5(message)) << cut;
    }
    DigestUpdate(h.md5, reinterpret_cast<const unsigned char*>("abc"), 3, nullptr);
    DigestFinal(h.md5, digest, &length, 16, nullptr);
    EXPECT_EQ(ToHex(Bytes(reinterpret_cast<char*>(digest), 16)), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(ToolkitAlgorithms, CbcKeepsTheResidueBetweenCalls)
{
    Bytes key = FromHex("0123456789abcdef"), iv = FromHex("1234567890abcdef");
    Bytes whole = DesCbcEncrypt(key, iv, "Now is the time for all ");
    for (unsigned int cut : {1u, 7u, 8u, 9u, 20u}) {
        // The same stream fed in two calls.
        Bytes first = DesCbcEncrypt(key, iv, Bytes("Now is the time for all ").substr(0, cut));
        EXPECT_EQ(first, whole.substr(0, cut / 8 * 8)) << cut;
    }
}

namespace {

int g_inits = 0;

int InitAnswering(int code)
{
    ++g_inits;
    return code;
}

template <int Code>
int FakeInit(void*, const void*, const void*, int)
{
    return InitAnswering(Code);
}

int FakeUpdate(void*, unsigned char*, unsigned int* outLen, unsigned int, const unsigned char*, unsigned int,
               const ToolkitSurrender*)
{
    *outLen = 0;
    return 0;
}

int FakeFinal(void*, unsigned char*, unsigned int* outLen, unsigned int)
{
    *outLen = 0;
    return 0;
}

template <int Code>
const ToolkitImplementation kFake = {8, FakeInit<Code>, FakeUpdate, FakeFinal, nullptr, nullptr};

template <int Code>
const ToolkitMethodRecord kFakeRC4 = {&kRC4Algorithm, 1, nullptr, &kFake<Code>};

const ToolkitMethodRecord kFakeMD5 = {&kMD5Algorithm, 1, nullptr, &kFake<0>};
const ToolkitMethodRecord kFakeRC4Decrypt = {&kRC4Algorithm, 0, nullptr, &kFake<0>};
const ToolkitMethodRecord kNeedsCRTKey = {&kRC4Algorithm, 1, RSAPrivateCRTKeyInfoType, &kFake<0>};

} // namespace

TEST(ToolkitChooser, TheWalkSkipsFailuresAndStopsOnGraveOnes)
{
    const struct {
        const char* what;
        std::vector<const ToolkitMethodRecord*> records;
        int status;
        int inits;
    } cases[] = {
        {"first fits", {&kFakeRC4<0>, &kFakeRC4<5>}, 0, 1},
        {"bad data skipped", {&kFakeRC4<5>, &kFakeRC4<0>}, 0, 2},
        {"last failure answered", {&kFakeRC4<5>, &kFakeRC4<12>}, 528, 2},
        {"out of memory stops", {&kFakeRC4<128>, &kFakeRC4<0>}, 518, 1},
        {"code 1 stops", {&kFakeRC4<1>, &kFakeRC4<0>}, 519, 1},
        {"unknown code is 520", {&kFakeRC4<99>}, 520, 1},
        {"other type or direction never tried", {&kFakeMD5, &kFakeRC4Decrypt}, 545, 0},
        {"key in another form skipped", {&kNeedsCRTKey, &kFakeRC4<0>}, 0, 1},
        {"key form failure answered", {&kNeedsCRTKey}, 542, 0},
    };
    for (const auto& c : cases) {
        Handles h;
        std::vector<const ToolkitMethodRecord*> chooser = c.records;
        chooser.push_back(nullptr);
        g_inits = 0;
        EXPECT_EQ(EncryptInit(h.rc4, h.key, chooser.data(), nullptr), c.status) << c.what;
        EXPECT_EQ(g_inits, c.inits) << c.what;
        unsigned char out[4];
        unsigned int length = 0;
        EXPECT_EQ(EncryptUpdate(h.rc4, out, &length, 4, out, 0, nullptr, nullptr), c.status ? 514 : 0) << c.what;
    }
}

TEST(BigNumber, ReciprocalIsTheFloorOfThePowerOverTheModulus)
{
    std::mt19937 random(16);
    // Moduli of 1 to 66 digits, with top digits from 1 to full.
    for (int k = 1; k <= 66; ++k) {
        for (BigDigit top : {BigDigit(1), BigDigit(0x8000), BigDigit(0xFFFF), BigDigit(random() | 1)}) {
            const int n = k + 1;
            BigDigit m[kBigMaxDigits] = {};
            // A top digit of 1 with every other digit 0 (for even k) makes
            // the modulus a power of the base, whose reciprocal is longest.
            for (int i = 0; i < k - 1; ++i)
                m[i] = top == 1 && k % 2 == 0 ? 0 : static_cast<BigDigit>(random());
            m[k - 1] = top;
            auto modulus = std::make_unique<BigModulus>();
            BigModulusSet(modulus.get(), m, n);
            BigDigit power[2 * kBigMaxDigits + 2] = {}, expected[2 * kBigMaxDigits + 2] = {};
            power[2 * k] = 1;
            BigDivide(expected, nullptr, power, 2 * k + 1, m, n);
            EXPECT_EQ(BigCompare(modulus->reciprocal, expected, k + 2), 0) << k << " digits, top " << top;
            // And reduction by it agrees with the division.
            BigDigit x[2 * kBigMaxDigits] = {}, reduced[kBigMaxDigits] = {}, remainder[kBigMaxDigits] = {};
            BigDigit a[kBigMaxDigits] = {}, b[kBigMaxDigits] = {};
            BigMod(a, m, n, m, n); // 0
            for (int i = 0; i < k; ++i) {
                a[i] = static_cast<BigDigit>(random());
                b[i] = static_cast<BigDigit>(random());
            }
            BigMod(a, a, n, m, n);
            BigMod(b, b, n, m, n);
            BigModMultiply(reduced, a, b, modulus.get());
            BigMultiply(x, a, b, n);
            BigMod(remainder, x, 2 * n, m, n);
            EXPECT_EQ(BigCompare(reduced, remainder, n), 0) << k << " digits, top " << top;
        }
    }
}
