// RSA and the key encodings against keys, signatures and encodings that
// openssl makes, and against python's cryptography and pyasn1.

#include "peer_helper.h"

#include "security/algorithm_object.h"
#include "security/byte_block.h"
#include "security/key_text.h"
#include "security/toolkit_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

namespace {

const char kNumbers[] = R"(
import sys
from cryptography.hazmat.primitives.serialization import load_der_private_key
k = load_der_private_key(open(sys.argv[1], "rb").read(), None).private_numbers()
for v in (k.public_numbers.n, k.public_numbers.e, k.d, k.p, k.q, k.dmp1, k.dmq1, k.iqmp):
    print(format(v, "x"))
)";

// DER in, the same DER out again after a generic decode: the encoding is
// well formed and canonical.
const char kCanonical[] = R"(
import sys
from pyasn1.codec.der import decoder, encoder
for name in sys.argv[1:]:
    data = open(name, "rb").read()
    value, rest = decoder.decode(data)
    assert not rest and encoder.encode(value) == data, name
print("canonical")
)";

std::string Stripped(const ToolkitItem& item)
{
    std::string hex = ToHex(Bytes(reinterpret_cast<const char*>(item.data), item.length));
    std::size_t first = hex.find_first_not_of('0');
    return first == std::string::npos ? "0" : hex.substr(first);
}

Bytes ItemBytes(const ToolkitItem& item)
{
    return Bytes(reinterpret_cast<const char*>(item.data), item.length);
}

// The bare private operation on one block.
int RawPrivate(ToolkitKeyObject key, const Bytes& block, Bytes* out)
{
    void* crt = nullptr;
    if (int status = GetKeyInfo(&crt, key, RSAPrivateCRTKeyInfoType))
        return status;
    std::vector<unsigned char> context(kRSAPrivateImplementation.contextSize);
    if (int code = kRSAPrivateImplementation.init(context.data(), crt, nullptr, 0))
        return code;
    out->assign(block.size(), '\0');
    unsigned int length = 0;
    int code = kRSAPrivateImplementation.update(context.data(), reinterpret_cast<unsigned char*>(out->data()),
                                                &length, static_cast<unsigned int>(out->size()),
                                                reinterpret_cast<const unsigned char*>(block.data()),
                                                static_cast<unsigned int>(block.size()), nullptr);
    out->resize(length);
    return code;
}

class RsaCrossCheck : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        if (!HavePeer(kOpenSSL) || !HavePeer(kPython))
            GTEST_SKIP() << "openssl or /usr/bin/python3 with cryptography and pyasn1 is not installed";
    }
    PeerFolder folder;
};

} // namespace

TEST_P(RsaCrossCheck, SignaturesDecryptionAndEncodingsAgreeWithOpenSSL)
{
    const int bits = GetParam();
    const unsigned int size = static_cast<unsigned int>(bits + 7) / 8;
    ASSERT_EQ(RunPeer(kOpenSSL, {"genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt",
                                 "rsa_keygen_bits:" + std::to_string(bits), "-out", folder.Path("key.pem")}),
              0);
    // PKCS #8 DER, the form PrivKey holds.
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkcs8", "-topk8", "-nocrypt", "-in", folder.Path("key.pem"), "-outform", "DER",
                                 "-out", folder.Path("key.der")}),
              0);
    const Bytes der = folder.Read("key.der");
    int status = -1;
    ToolkitKeyObject key = LoadPrivateKey(der, &status);
    ASSERT_EQ(status, 0);

    // The eight numbers as python reads them.
    folder.Write("numbers.py", kNumbers);
    std::string numbers;
    ASSERT_EQ(RunPeer(kPython, {folder.Path("numbers.py"), folder.Path("key.der")}, &numbers), 0);
    void* value = nullptr;
    ASSERT_EQ(GetKeyInfo(&value, key, RSAPrivateKeyInfoType), 0);
    auto* record = static_cast<ToolkitRSAPrivateKey*>(value);
    std::istringstream lines(numbers);
    std::string expected;
    for (int i = 0; i < 8; ++i) {
        ASSERT_TRUE(std::getline(lines, expected));
        EXPECT_EQ(Stripped((&record->modulus)[i]), expected) << "number " << i;
    }

    std::mt19937 random(static_cast<unsigned>(bits));
    // openssl signs at most 64 bytes without a digest.
    for (unsigned int length : {1u, 20u, 36u, std::min(64u, size - 11)}) {
        Bytes message(length, '\0');
        for (char& c : message)
            c = static_cast<char>(random());
        folder.Write("message", message);
        // Signing (block type 1) is deterministic: byte for byte.
        Bytes ours;
        ASSERT_EQ(RsaSign(key, message, &ours), 0) << length;
        std::string theirs;
        ASSERT_EQ(RunPeer(kOpenSSL, {"pkeyutl", "-sign", "-inkey", folder.Path("key.der"), "-keyform", "DER", "-in",
                                     folder.Path("message")},
                          &theirs),
                  0);
        EXPECT_EQ(ToHex(ours), ToHex(theirs)) << "signature of " << length << " bytes";
        folder.Write("ours.sig", ours);
        EXPECT_EQ(RunPeer(kOpenSSL, {"pkeyutl", "-verify", "-inkey", folder.Path("key.der"), "-keyform", "DER", "-in",
                                     folder.Path("message"), "-sigfile", folder.Path("ours.sig")}),
                  0);
        // Block type 2 made by openssl, removed by us.
        std::string encrypted;
        ASSERT_EQ(RunPeer(kOpenSSL, {"pkeyutl", "-encrypt", "-inkey", folder.Path("key.der"), "-keyform", "DER", "-in",
                                     folder.Path("message")},
                          &encrypted),
                  0);
        Bytes plain;
        EXPECT_EQ(RsaDecrypt(key, encrypted, &plain), 0);
        EXPECT_EQ(plain, message) << length;
    }

    // The bare operation: 0 and 1 are their own results; a random block
    // below the modulus agrees with openssl's unpadded decryption.
    Bytes zero(size, '\0'), one(size, '\0'), out;
    one.back() = 1;
    EXPECT_EQ(RawPrivate(key, zero, &out), 0);
    EXPECT_EQ(out, zero);
    EXPECT_EQ(RawPrivate(key, one, &out), 0);
    EXPECT_EQ(out, one);
    Bytes block(size, '\0');
    for (char& c : block)
        c = static_cast<char>(random());
    block[0] = 0;
    folder.Write("block", block);
    std::string theirs;
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkeyutl", "-decrypt", "-inkey", folder.Path("key.der"), "-keyform", "DER",
                                 "-pkeyopt", "rsa_padding_mode:none", "-in", folder.Path("block")},
                      &theirs),
              0);
    EXPECT_EQ(RawPrivate(key, block, &out), 0);
    EXPECT_EQ(ToHex(out), ToHex(theirs));
    Bytes modulus = ItemBytes(record->modulus);
    modulus = modulus.substr(modulus.size() - size);
    EXPECT_EQ(RawPrivate(key, modulus, &out), 5) << "the modulus itself is not below the modulus";

    // Encodings made from the numbers alone: openssl's bytes, accepted by
    // openssl's checks and canonical for pyasn1.
    ToolkitKeyObject rebuilt = nullptr;
    ASSERT_EQ(CreateKeyObject(&rebuilt), 0);
    ASSERT_EQ(SetKeyInfo(rebuilt, RSAPrivateKeyInfoType, record), 0);
    ASSERT_EQ(GetKeyInfo(&value, rebuilt, PrivateKeyEncodedInfoType), 0);
    Bytes ourDer = ItemBytes(*static_cast<ToolkitItem*>(value));
    EXPECT_EQ(ToHex(ourDer), ToHex(der));
    folder.Write("ours.der", ourDer);
    ASSERT_EQ(GetKeyInfo(&value, rebuilt, PublicKeyEncodedInfoType), 0);
    folder.Write("ourpub.der", ItemBytes(*static_cast<ToolkitItem*>(value)));
    std::string publicDer;
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", folder.Path("key.der"), "-pubout", "-outform", "DER"},
                      &publicDer),
              0);
    EXPECT_EQ(ToHex(folder.Read("ourpub.der")), ToHex(publicDer));
    EXPECT_EQ(RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", folder.Path("ours.der"), "-check", "-noout"}), 0);
    EXPECT_EQ(RunPeer(kOpenSSL, {"asn1parse", "-inform", "DER", "-in", folder.Path("ours.der")}), 0);
    folder.Write("canonical.py", kCanonical);
    std::string verdict;
    EXPECT_EQ(RunPeer(kPython, {folder.Path("canonical.py"), folder.Path("ours.der"), folder.Path("ourpub.der")},
                      &verdict),
              0);
    EXPECT_EQ(verdict, "canonical\n");
    DestroyKeyObject(&rebuilt);
    DestroyKeyObject(&key);
}

// 600 bits is not a whole number of digits; the others are.
INSTANTIATE_TEST_SUITE_P(KeySizes, RsaCrossCheck, ::testing::Values(512, 600, 768, 1024));

TEST(KeyTextCrossCheck, CertificateMadeByOpenSSLLoadsAsPastedOrStored)
{
    if (!HavePeer(kOpenSSL))
        GTEST_SKIP() << "openssl is not installed";
    PeerFolder folder;
    ASSERT_EQ(RunPeer(kOpenSSL, {"req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", folder.Path("key.pem"),
                                 "-out", folder.Path("cert.pem"), "-subj", "/CN=velmora.test", "-days", "2"}),
              0);
    std::string certificateDer, publicDer, privateDer;
    ASSERT_EQ(RunPeer(kOpenSSL, {"x509", "-in", folder.Path("cert.pem"), "-outform", "DER"}, &certificateDer), 0);
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkey", "-in", folder.Path("key.pem"), "-pubout", "-outform", "DER"}, &publicDer), 0);
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkcs8", "-topk8", "-nocrypt", "-in", folder.Path("key.pem"), "-outform", "DER"},
                      &privateDer),
              0);

    // The PEM text as pasted (armour lines and all), and the stored form
    // (base64 only, CR LF line ends).
    const Bytes pem = folder.Read("cert.pem");
    std::string stored;
    for (std::size_t at = 0; at < pem.size();) {
        std::size_t end = pem.find('\n', at);
        std::string line = pem.substr(at, end - at);
        if (line.rfind("-----", 0) != 0)
            stored += line + "\r\n";
        at = end == std::string::npos ? pem.size() : end + 1;
    }
    for (const std::string& text : {pem, stored}) {
        CByteBlock certificate;
        DecodeKeyText(text.c_str(), &certificate);
        ASSERT_EQ(ToHex(Bytes(certificate.GetData(), static_cast<std::size_t>(certificate.GetLength()))),
                  ToHex(certificateDer));
        CKeyObject key;
        BindCertificateKey(certificate, key);
        void* value = nullptr;
        ASSERT_EQ(GetKeyInfo(&value, key.Handle(), PublicKeyEncodedInfoType), 0);
        EXPECT_EQ(ToHex(ItemBytes(*static_cast<ToolkitItem*>(value))), ToHex(publicDer));
    }

    // The private key's PEM (PKCS #8) through DecodeKeyText and BindPrivateKey.
    CByteBlock privateKey;
    DecodeKeyText(folder.Read("key.pem").c_str(), &privateKey);
    ASSERT_EQ(ToHex(Bytes(privateKey.GetData(), static_cast<std::size_t>(privateKey.GetLength()))), ToHex(privateDer));
    CKeyObject key;
    BindPrivateKey(privateKey, key);
    privateKey.Free(); // the key keeps its own copy
    Bytes signature;
    EXPECT_EQ(RsaSign(key.Handle(), "reload", &signature), 0);
    EXPECT_EQ(signature.size(), 128u);
}
