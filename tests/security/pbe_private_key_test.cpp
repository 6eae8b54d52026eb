// Private keys under a password: our encryptions opened by openssl and by
// pycryptodome, openssl's opened by us, and the failures a caller sees.

#include "peer_helper.h"

#include "security/pbe_private_key.h"

#include <gtest/gtest.h>

namespace {

// A PKCS #8 key of 512 bits made by our generator.
Bytes MakeKey()
{
    GeneratedKeyPair g = GenerateKeyPairFromSeed(512, Bytes("\x01\x00\x01", 3), "pbe");
    EXPECT_EQ(g.status, 0);
    return g.privateDer;
}

int Encrypt(const Bytes& data, const std::string& password, int selector, Bytes* out, unsigned int capacity = 713)
{
    out->assign(capacity, '\0');
    unsigned int length = 0;
    int status = PbeEncryptPrivateKey(reinterpret_cast<unsigned char*>(out->data()), &length, capacity, U(data),
                                      N(data), U(password), N(password), selector, nullptr, nullptr);
    out->resize(length);
    return status;
}

int Decrypt(const Bytes& block, const std::string& password, Bytes* out, unsigned int capacity = 2048)
{
    out->assign(capacity, '\0');
    unsigned int length = 0;
    int status = PbeDecryptPrivateKey(reinterpret_cast<unsigned char*>(out->data()), &length, capacity, U(block),
                                      N(block), U(password), N(password), nullptr, nullptr);
    out->resize(length);
    return status;
}

// Opens an EncryptedPrivateKeyInfo by the standard's own steps.
const char kOpen[] = R"(
import sys, hashlib
from pyasn1.codec.der import decoder
from Cryptodome.Cipher import DES, ARC2
from Cryptodome.Hash import MD2
info, rest = decoder.decode(open(sys.argv[1], "rb").read())
assert not rest
oid = str(info[0][0])
params = info[0][1]
salt, count = bytes(params[0]), int(params[1])
digest = {"1": lambda b: MD2.new(b).digest(), "3": lambda b: hashlib.md5(b).digest(),
          "4": lambda b: MD2.new(b).digest(), "6": lambda b: hashlib.md5(b).digest()}[oid.split(".")[-1]]
d = digest(sys.argv[2].encode() + salt)
for i in range(count - 1):
    d = digest(d)
if oid.split(".")[-1] in ("1", "3"):
    c = DES.new(d[:8], DES.MODE_CBC, iv=d[8:16])
else:
    c = ARC2.new(d[:8], ARC2.MODE_CBC, iv=d[8:16], effective_keylen=64)
plain = c.decrypt(bytes(info[1]))
assert 1 <= plain[-1] <= 8 and plain.endswith(bytes([plain[-1]]) * plain[-1])
print(oid, count, plain[:-plain[-1]].hex())
)";

const std::vector<std::string> kLegacy = {"-provider", "legacy", "-provider", "default"};

} // namespace

TEST(PbePrivateKey, EveryScheme)
{
    const Bytes key = MakeKey();
    const struct {
        int selector;
        const char* oid;
        bool openssl; // openssl 3 has no MD2
    } kCases[] = {
        {8, "1.2.840.113549.1.5.1", false},
        {9, "1.2.840.113549.1.5.3", true},
        {10, "1.2.840.113549.1.5.4", false},
        {11, "1.2.840.113549.1.5.6", true},
        // Effective bits of 160 asked for: RC2 stays at 64 bits.
        {(160 - 32) << 4 | 10, "1.2.840.113549.1.5.4", false},
        {(160 - 32) << 4 | 11, "1.2.840.113549.1.5.6", true},
    };
    const bool python = HavePeer(kPython) &&
                        RunPeer(kPython, {"-c", "import Cryptodome.Cipher.ARC2, Cryptodome.Hash.MD2"}) == 0;
    const bool openssl = HavePeer(kOpenSSL);
    PeerFolder folder;
    folder.Write("open.py", kOpen);
    for (const auto& c : kCases) {
        Bytes block, again, back;
        ASSERT_EQ(Encrypt(key, "pass word", c.selector, &block), 0) << c.selector;
        // The salt comes from password and data: the same input, the same block.
        ASSERT_EQ(Encrypt(key, "pass word", c.selector, &again), 0);
        EXPECT_EQ(again, block);
        ASSERT_EQ(Decrypt(block, "pass word", &back), 0) << c.selector;
        EXPECT_EQ(back, key);
        folder.Write("block.der", block);
        if (python) {
            std::string out;
            EXPECT_EQ(RunPeer(kPython, {folder.Path("open.py"), folder.Path("block.der"), "pass word"}, &out), 0);
            EXPECT_EQ(out, std::string(c.oid) + " 1 " + ToHex(key) + "\n") << c.selector;
        }
        if (openssl && c.openssl) {
            std::vector<std::string> args = {"pkcs8", "-inform", "DER", "-in", folder.Path("block.der"),
                                             "-passin", "pass:pass word", "-outform", "DER"};
            args.insert(args.end(), kLegacy.begin(), kLegacy.end());
            std::string out;
            EXPECT_EQ(RunPeer(kOpenSSL, args, &out), 0) << c.selector;
            // openssl writes the RSAPrivateKey that ends the PrivateKeyInfo.
            ASSERT_GT(out.size(), 100u);
            EXPECT_EQ(out, key.substr(key.size() - out.size())) << c.selector;
        }
    }
    if (!python)
        GTEST_SKIP() << "/usr/bin/python3 with pycryptodome and pyasn1 is not installed";
}

TEST(PbePrivateKey, KeysOpenSSLEncryptsOpenWithOurs)
{
    if (!HavePeer(kOpenSSL))
        GTEST_SKIP() << "openssl is not installed";
    const Bytes key = MakeKey();
    PeerFolder folder;
    folder.Write("key.der", key);
    const struct {
        const char* scheme;
        const char* iterations;
        int status;
    } kCases[] = {
        {"PBE-MD5-DES", "2048", 0},
        {"PBE-MD5-RC2-64", "2048", 0},
        {"PBE-MD5-DES", "1", 0},
        {"PBE-MD5-RC2-64", "65536", 0},
        // A count from outside must not cost unbounded time.
        {"PBE-MD5-DES", "65537", kAppEncryptedDecoding},
    };
    for (const auto& c : kCases) {
        std::vector<std::string> args = {"pkcs8", "-topk8", "-v1", c.scheme, "-iter", c.iterations, "-inform", "DER",
                                         "-in", folder.Path("key.der"), "-outform", "DER", "-passout", "pass:secret"};
        args.insert(args.end(), kLegacy.begin(), kLegacy.end());
        std::string block;
        ASSERT_EQ(RunPeer(kOpenSSL, args, &block), 0) << c.scheme;
        Bytes back;
        EXPECT_EQ(Decrypt(block, "secret", &back), c.status) << c.scheme << " " << c.iterations;
        if (c.status == 0) {
            EXPECT_EQ(back, key) << c.scheme << " " << c.iterations;
            EXPECT_EQ(Decrypt(block, "not the secret", &back), kAppPasswordDecrypt);
        }
    }
}

TEST(PbePrivateKey, FailuresACallerSees)
{
    const Bytes key = MakeKey();
    Bytes block, out;
    ASSERT_EQ(Encrypt(key, "right", 9, &block), 0);
    EXPECT_EQ(Encrypt(key, "right", 12, &out), kAppUnknownPasswordAlgorithm);
    EXPECT_EQ(Encrypt(key, "right", 7, &out), kAppUnknownPasswordAlgorithm);
    EXPECT_EQ(Encrypt(key, "right", 9, &out, N(block) - 1), kAppOutputRoom);
    EXPECT_EQ(Decrypt(block, "right", &out, N(key) - 1), kAppOutputRoom);
    // Wrong passwords: bad padding mostly, a result that is no key otherwise.
    int refused = 0;
    for (int i = 0; i < 40; ++i)
        refused += Decrypt(block, "wrong " + std::to_string(i), &out) == kAppPasswordDecrypt;
    EXPECT_EQ(refused, 40);
    EXPECT_EQ(Decrypt(block.substr(0, block.size() - 1), "right", &out), kAppEncryptedDecoding);
    EXPECT_EQ(Decrypt(block + "x", "right", &out), kAppEncryptedDecoding);
    EXPECT_EQ(Decrypt("garbage", "right", &out), kAppEncryptedDecoding);
    // The scheme's OID is the 9 octets after 30 xx 30 xx 06 09 (all short forms
    // here, as the block is under 128 octets only for tiny keys: find it).
    Bytes other = block;
    std::size_t at = other.find(Bytes("\x2a\x86\x48\x86\xf7\x0d\x01\x05\x03", 9));
    ASSERT_NE(at, std::string::npos);
    other[at + 8] = '\x0a'; // pbeWithSHA1AndDES-CBC: not one of ours
    EXPECT_EQ(Decrypt(other, "right", &out), kAppUnknownPasswordAlgorithm);
    // An iteration count of 0 in the parameters.
    Bytes zero = block;
    std::size_t count = zero.find(Bytes("\x02\x01\x01", 3), at);
    ASSERT_NE(count, std::string::npos);
    zero[count + 2] = '\0';
    EXPECT_EQ(Decrypt(zero, "right", &out), kAppEncryptedDecoding);
}
