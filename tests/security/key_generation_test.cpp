// RSA key-pair generation and MD2: published vectors, the properties of the
// primes found, and openssl's own check of the keys made.

#include "peer_helper.h"

#include "security/layer_chooser.h"
#include "security/md2.h"
#include "security/rsa_key_generation.h"

#include <gtest/gtest.h>

namespace {

using Generated = GeneratedKeyPair;

Bytes Md2(const Bytes& message, unsigned int pieces = 1)
{
    ToolkitAlgorithmObject md2 = nullptr;
    EXPECT_EQ(CreateAlgorithmObject(&md2), 0);
    EXPECT_EQ(SetAlgorithmInfo(md2, MD2InfoType, nullptr), 0);
    EXPECT_EQ(DigestInit(md2, nullptr, LayerAlgorithmChooser, nullptr), 0);
    std::size_t step = message.size() / pieces + 1;
    for (std::size_t at = 0; at < message.size(); at += step) {
        Bytes piece = message.substr(at, step);
        EXPECT_EQ(DigestUpdate(md2, U(piece), N(piece), nullptr), 0);
    }
    Bytes digest(16, '\0');
    unsigned int length = 0;
    EXPECT_EQ(DigestFinal(md2, reinterpret_cast<unsigned char*>(digest.data()), &length, 16, nullptr), 0);
    DestroyAlgorithmObject(&md2);
    return digest;
}

Generated Generate(unsigned int bits, const Bytes& exponent, const Bytes& seed)
{
    return GenerateKeyPairFromSeed(bits, exponent, seed);
}

const Bytes kThree("\x03", 1);
const Bytes kF4("\x01\x00\x01", 3);

} // namespace

TEST(Md2, PublishedDigests)
{
    const struct {
        const char* message;
        const char* digest;
    } kCases[] = {
        {"", "8350e5a3e24c153df2275c9f80692773"},
        {"a", "32ec01ec4a6dac72c0ab96fb34c0b5d1"},
        {"abc", "da853b0d3f88d99b30283a69e6ded6bb"},
        {"message digest", "ab4f496bfb2a530b219ff33031fe06b0"},
        {"abcdefghijklmnopqrstuvwxyz", "4e8ddff3650292ab5a4108c3aa47940b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "da33def2a42df13975352846c30338cd"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "d5976f79d83d3a0dc9806c3c66f3efd8"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(ToHex(Md2(c.message)), c.digest) << '"' << c.message << '"';
        // Fed in uneven pieces, and the object reused after its final.
        EXPECT_EQ(ToHex(Md2(c.message, 3)), c.digest) << '"' << c.message << "\" in pieces";
    }
}

TEST(Md2, FinalWithoutRoomForTheDigestIsRefused)
{
    ToolkitAlgorithmObject md2 = nullptr;
    ASSERT_EQ(CreateAlgorithmObject(&md2), 0);
    ASSERT_EQ(SetAlgorithmInfo(md2, MD2InfoType, nullptr), 0);
    ASSERT_EQ(DigestInit(md2, nullptr, LayerAlgorithmChooser, nullptr), 0);
    unsigned char out[16];
    unsigned int length = 99;
    EXPECT_EQ(DigestFinal(md2, out, &length, 15, nullptr), kToolkitOutputRoom);
    EXPECT_EQ(length, 0u);
    DestroyAlgorithmObject(&md2);
}

TEST(KeyGeneration, SizesAndExponentsAreCheckedAtStart)
{
    const struct {
        unsigned int bits;
        Bytes exponent;
        int status;
    } kCases[] = {
        {255, kThree, kToolkitKeyTooLong},
        {1025, kThree, kToolkitKeyTooLong},
        {0, kThree, kToolkitKeyTooLong},
        {512, Bytes("\x04", 1), kToolkitImplementation3},
        {512, Bytes("\x01", 1), kToolkitImplementation3},
        {512, Bytes(), kToolkitImplementation3},
        // As long as the modulus: no room for the primes' product.
        {256, Bytes(32, '\xff'), kToolkitImplementation4},
        {256, Bytes(1, '\x7f') + Bytes(31, '\xff'), 0},
        {256, kThree, 0},
        {1024, kF4, 0},
    };
    for (const auto& c : kCases) {
        Generated g = Generate(c.bits, c.exponent, "seed");
        EXPECT_EQ(g.status, c.status) << c.bits << " bits, exponent " << ToHex(c.exponent);
    }
}

TEST(KeyGeneration, PrimesAreLargeOrderedAndFreeOfSmallFactors)
{
    PeerFolder folder;
    Generated g = Generate(1024, kThree, "prime properties");
    ASSERT_EQ(g.status, 0);
    folder.Write("key.der", g.privateDer);
    if (!HavePeer(kPython))
        GTEST_SKIP() << "/usr/bin/python3 with cryptography is not installed";
    const char script[] = R"(
import sys, math
from cryptography.hazmat.primitives.serialization import load_der_private_key
k = load_der_private_key(open(sys.argv[1], "rb").read(), None).private_numbers()
assert k.public_numbers.e == 3
assert k.p > k.q and k.p.bit_length() == 512 and k.q.bit_length() == 512
assert k.public_numbers.n.bit_length() == 1024
for p in (k.p, k.q):
    assert math.gcd(3, p - 1) == 1
    assert all(p % m for m in range(3, 9000, 2))
print("ok")
)";
    folder.Write("check.py", script);
    std::string out;
    EXPECT_EQ(RunPeer(kPython, {folder.Path("check.py"), folder.Path("key.der")}, &out), 0);
    EXPECT_EQ(out, "ok\n");
}

TEST(KeyGeneration, SameRandomOctetsGiveTheSameKeyPair)
{
    Generated a = Generate(512, kF4, "one seed"), b = Generate(512, kF4, "one seed"),
              c = Generate(512, kF4, "another seed");
    ASSERT_EQ(a.status, 0);
    EXPECT_EQ(a.privateDer, b.privateDer);
    EXPECT_EQ(a.publicDer, b.publicDer);
    EXPECT_NE(a.privateDer, c.privateDer);
}

TEST(KeyGeneration, OpenSSLChecksTheKeysMade)
{
    if (!HavePeer(kOpenSSL))
        GTEST_SKIP() << "openssl is not installed";
    PeerFolder folder;
    const struct {
        unsigned int bits;
        Bytes exponent;
    } kCases[] = {{256, kThree}, {257, kF4}, {511, kThree}, {768, kF4}, {1023, kThree}, {1024, kThree}, {1024, kF4}};
    int i = 0;
    for (const auto& c : kCases) {
        Generated g = Generate(c.bits, c.exponent, "openssl check " + std::to_string(i));
        ASSERT_EQ(g.status, 0) << c.bits;
        std::string name = "key" + std::to_string(i++) + ".der";
        folder.Write(name, g.privateDer);
        std::string out;
        EXPECT_EQ(RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", folder.Path(name), "-check", "-noout"}, &out), 0)
            << c.bits << " bits: " << out;
        EXPECT_NE(out.find("Key is valid"), std::string::npos) << out;
        // The public half is the same key.
        folder.Write("pub.der", g.publicDer);
        std::string fromPrivate, fromPublic;
        RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", folder.Path(name), "-pubout", "-outform", "DER"},
                &fromPrivate);
        RunPeer(kOpenSSL, {"pkey", "-pubin", "-inform", "DER", "-in", folder.Path("pub.der"), "-outform", "DER"},
                &fromPublic);
        EXPECT_FALSE(fromPublic.empty());
        EXPECT_EQ(fromPublic, fromPrivate) << c.bits;
        EXPECT_EQ(fromPublic, g.publicDer) << c.bits;
    }
}

TEST(KeyGeneration, ASurrenderEndsItWithItsAnswerAndNoKeys)
{
    ToolkitAlgorithmObject random = nullptr, generator = nullptr;
    ToolkitKeyObject publicKey = nullptr, privateKey = nullptr;
    CreateAlgorithmObject(&random);
    CreateAlgorithmObject(&generator);
    CreateKeyObject(&publicKey);
    CreateKeyObject(&privateKey);
    SetAlgorithmInfo(random, RandomInfoType, nullptr);
    RandomInit(random, LayerAlgorithmChooser, nullptr);
    RandomUpdate(random, U("s"), 1, nullptr);
    ToolkitRSAKeyGenerationParameters p = {512, {const_cast<unsigned char*>(U(kThree)), 1}};
    ASSERT_EQ(SetAlgorithmInfo(generator, RSAKeyGenerationInfoType, &p), 0);
    ASSERT_EQ(GenerateInit(generator, LayerAlgorithmChooser, nullptr), 0);
    // Asked between the steps after the primes: the third call answers.
    int calls = 0;
    ToolkitSurrender surrender = {[](void* data) { return ++*static_cast<int*>(data) == 3 ? 77 : 0; }, &calls};
    EXPECT_EQ(GenerateKeyPair(generator, publicKey, privateKey, random, &surrender), 77);
    EXPECT_EQ(calls, 3);
    void* value = nullptr;
    EXPECT_EQ(GetKeyInfo(&value, privateKey, PrivateKeyEncodedInfoType), kToolkitKeyEmpty);
    EXPECT_EQ(GetKeyInfo(&value, publicKey, PublicKeyEncodedInfoType), kToolkitKeyEmpty);
    // Unhindered, the same objects then get their keys.
    EXPECT_EQ(GenerateKeyPair(generator, publicKey, privateKey, random, nullptr), 0);
    EXPECT_EQ(GetKeyInfo(&value, privateKey, PrivateKeyEncodedInfoType), 0);
    DestroyKeyObject(&publicKey);
    DestroyKeyObject(&privateKey);
    DestroyAlgorithmObject(&generator);
    DestroyAlgorithmObject(&random);
}
