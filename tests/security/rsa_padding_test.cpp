// The RSA public-key cipher: block type 2 encryption within its length
// limit, and signature verification that accepts only a strict block type
// 1 around a DER DigestInfo.

#include "peer_helper.h"

#include "security/layer_chooser.h"
#include "security/rsa.h"
#include "security/toolkit_internal.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A 512-bit key pair with e = 3, where a lax verification is forgeable,
// and a started random generator.
struct KeyPair {
    ToolkitKeyObject publicKey = nullptr, privateKey = nullptr;
    ToolkitAlgorithmObject random = nullptr;
    Bytes privateDer;

    KeyPair()
    {
        GeneratedKeyPair g = GenerateKeyPairFromSeed(512, Bytes(1, '\x03'), "padding tests");
        EXPECT_EQ(g.status, 0);
        privateDer = g.privateDer;
        int status = -1;
        privateKey = LoadPrivateKey(g.privateDer, &status);
        CreateKeyObject(&publicKey);
        ToolkitItem item = {U(g.publicDer), N(g.publicDer)};
        EXPECT_EQ(SetKeyInfo(publicKey, PublicKeyEncodedInfoType, &item), 0);
        CreateAlgorithmObject(&random);
        SetAlgorithmInfo(random, RandomInfoType, nullptr);
        RandomInit(random, LayerAlgorithmChooser, nullptr);
        RandomUpdate(random, item.data, item.length, nullptr);
    }
    ~KeyPair()
    {
        DestroyKeyObject(&publicKey);
        DestroyKeyObject(&privateKey);
        DestroyAlgorithmObject(&random);
    }
};

// The bare private operation on one 64-octet block: the signature whose
// public operation gives back exactly this block.
Bytes RawPrivate(ToolkitKeyObject key, const Bytes& block)
{
    void* crt = nullptr;
    EXPECT_EQ(GetKeyInfo(&crt, key, RSAPrivateCRTKeyInfoType), 0);
    std::vector<unsigned char> context(kRSAPrivateImplementation.contextSize);
    EXPECT_EQ(kRSAPrivateImplementation.init(context.data(), crt, nullptr, 0), 0);
    Bytes out(block.size(), '\0');
    unsigned int length = 0;
    EXPECT_EQ(kRSAPrivateImplementation.update(context.data(), U(out), &length, N(out), U(block), N(block), nullptr),
              0);
    return out;
}

// Runs the public cipher in one direction over in.
int Public(ToolkitKeyObject key, bool encrypt, const Bytes& in, Bytes* out, ToolkitAlgorithmObject random)
{
    ToolkitAlgorithmObject rsa = nullptr;
    CreateAlgorithmObject(&rsa);
    SetAlgorithmInfo(rsa, RSAPublicInfoType, nullptr);
    int status = encrypt ? EncryptInit(rsa, key, LayerAlgorithmChooser, nullptr)
                         : DecryptInit(rsa, key, LayerAlgorithmChooser, nullptr);
    out->assign(128, '\0');
    unsigned int a = 0, b = 0;
    if (!status)
        status = encrypt ? EncryptUpdate(rsa, U(*out), &a, 128, U(in), N(in), random, nullptr)
                         : DecryptUpdate(rsa, U(*out), &a, 128, U(in), N(in), random, nullptr);
    if (!status)
        status = encrypt ? EncryptFinal(rsa, U(*out) + a, &b, 128 - a, random, nullptr)
                         : DecryptFinal(rsa, U(*out) + a, &b, 128 - a, random, nullptr);
    out->resize(status ? 0 : a + b);
    DestroyAlgorithmObject(&rsa);
    return status;
}

// DigestInfo of an MD5 digest: SEQUENCE { SEQUENCE { md5, NULL }, OCTET STRING }.
const Bytes kMd5Prefix = FromHex("3020300c06082a864886f70d020505000410");
const Bytes kDigest(16, '\x5a');

Bytes Block(unsigned int ffs, const Bytes& info, const Bytes& type = Bytes("\x00\x01", 2))
{
    Bytes block = type + Bytes(ffs, '\xff') + Bytes(1, '\0') + info;
    return block;
}

} // namespace

TEST(RsaPadding, VerificationAcceptsOnlyAStrictBlockAroundTheDigestInfo)
{
    KeyPair keys;
    const Bytes info = kMd5Prefix + kDigest;
    const unsigned int full = 64 - 3 - N(info);
    const struct {
        const char* what;
        Bytes block;
        int status;
    } kCases[] = {
        {"well formed", Block(full, info), 0},
        {"octets after the DigestInfo", Block(full - 4, info + Bytes(4, '\x11')), kToolkitData},
        {"one octet after it", Block(full - 1, info + Bytes(1, '\0')), kToolkitData},
        {"block type 2", Block(full, info, Bytes("\x00\x02", 2)), kToolkitData},
        {"first octet not 0", Block(full, info, Bytes("\x01\x01", 2)), kToolkitData},
        {"no zero after the FF run", Bytes("\x00\x01", 2) + Bytes(full + 1, '\xff') + info, kToolkitData},
        {"parameters other than NULL",
         Block(full - 2, FromHex("3022300e06082a864886f70d0205040200000410") + kDigest), kToolkitData},
        {"parameters absent", Block(full + 2, FromHex("301e300a06082a864886f70d02050410") + kDigest), 0},
        {"a length not in DER form",
         Block(full - 1, FromHex("308120300c06082a864886f70d020505000410") + kDigest), kToolkitData},
        {"a DigestInfo that is not one", Block(full + N(info) - 4, FromHex("04020000")), kToolkitData},
    };
    for (const auto& c : kCases) {
        ASSERT_EQ(c.block.size(), 64u) << c.what;
        Bytes out;
        EXPECT_EQ(Public(keys.publicKey, false, RawPrivate(keys.privateKey, c.block), &out, nullptr), c.status)
            << c.what;
        if (c.status == 0) {
            EXPECT_EQ(out, c.block.substr(c.block.size() - out.size())) << c.what;
            EXPECT_EQ(out.substr(out.size() - 16), kDigest) << c.what;
        }
    }
    // A short FF run is refused whatever follows.
    Bytes shortRun = Bytes("\x00\x01", 2) + Bytes(7, '\xff') + Bytes(1, '\0') + Bytes(full - 7, '\x22') + info;
    Bytes out;
    EXPECT_EQ(Public(keys.publicKey, false, RawPrivate(keys.privateKey, shortRun), &out, nullptr), kToolkitData);
    // The signing side makes what verification accepts.
    Bytes signature;
    ASSERT_EQ(RsaSign(keys.privateKey, info, &signature), 0);
    EXPECT_EQ(Public(keys.publicKey, false, signature, &out, nullptr), 0);
    EXPECT_EQ(out, info);
}

TEST(RsaPadding, EncryptionLeavesRoomForEightRandomOctets)
{
    KeyPair keys;
    const struct {
        unsigned int length;
        int status;
    } kCases[] = {{0, 0}, {1, 0}, {53, 0}, {54, kToolkitLength}, {61, kToolkitLength}};
    for (const auto& c : kCases) {
        Bytes message(c.length, 'm'), block, back;
        EXPECT_EQ(Public(keys.publicKey, true, message, &block, keys.random), c.status) << c.length;
        if (c.status)
            continue;
        ASSERT_EQ(block.size(), 64u);
        ASSERT_EQ(RsaDecrypt(keys.privateKey, block, &back), 0) << c.length;
        EXPECT_EQ(back, message);
    }
    Bytes block;
    EXPECT_EQ(Public(keys.publicKey, true, "m", &block, nullptr), kToolkitBadRandomObject);
}

TEST(RsaPadding, OpenSSLDecryptsAndSignsWithOurKeys)
{
    if (!HavePeer(kOpenSSL))
        GTEST_SKIP() << "openssl is not installed";
    KeyPair keys;
    PeerFolder folder;
    folder.Write("key.der", keys.privateDer);
    for (unsigned int n : {1u, 20u, 53u}) {
        Bytes message(n, static_cast<char>('a' + n % 26)), block;
        ASSERT_EQ(Public(keys.publicKey, true, message, &block, keys.random), 0);
        folder.Write("block", block);
        std::string out;
        EXPECT_EQ(RunPeer(kOpenSSL, {"pkeyutl", "-decrypt", "-keyform", "DER", "-inkey", folder.Path("key.der"),
                                     "-in", folder.Path("block")},
                          &out),
                  0);
        EXPECT_EQ(out, message) << n;
    }
    folder.Write("message", "signed by openssl");
    std::string signature, out;
    ASSERT_EQ(RunPeer(kOpenSSL, {"dgst", "-md5", "-sign", folder.Path("key.der"), "-keyform", "DER",
                                 folder.Path("message")},
                      &signature),
              0);
    ASSERT_EQ(Public(keys.publicKey, false, signature, &out, nullptr), 0);
    EXPECT_EQ(out, kMd5Prefix + Md5("signed by openssl"));
}
