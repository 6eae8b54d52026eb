// Certificate requests checked by openssl: the signature verifies, the
// subject keeps its string types, and the attributes field is there.

#include "peer_helper.h"

#include "security/attributes_object.h"
#include "security/ber.h"
#include "security/byte_block.h"
#include "security/certificate_request.h"
#include "security/layer_chooser.h"
#include "security/md2.h"
#include "security/random_object.h"
#include "security/rsa.h"
#include "security/name_object.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Bytes ItemBytes(const ToolkitItem& item)
{
    return Bytes(reinterpret_cast<const char*>(item.data), item.length);
}

// The first element inside the outer SEQUENCE of der.
Bytes FirstMember(const Bytes& der)
{
    unsigned int h = 0, c = 0, t = 0, h2 = 0, c2 = 0, t2 = 0;
    EXPECT_EQ(BerReadElement(U(der), static_cast<unsigned int>(der.size()), &h, &c, &t, 0), 0);
    EXPECT_EQ(BerReadElement(U(der) + h, c, &h2, &c2, &t2, 0), 0);
    return der.substr(h, t2);
}

// The line of text that contains part.
std::string LineWith(const std::string& text, const std::string& part)
{
    std::size_t at = text.find(part);
    if (at == std::string::npos)
        return "";
    std::size_t start = text.rfind('\n', at);
    return text.substr(start == std::string::npos ? 0 : start, at - start);
}

class CertificateRequest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HavePeer(kOpenSSL))
            GTEST_SKIP() << "openssl is not installed";
        ASSERT_EQ(RunPeer(kOpenSSL, {"genpkey", "-quiet", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024",
                                     "-pkeyopt", "rsa_keygen_pubexp:3", "-out", m_folder.Path("key.pem")}),
                  0);
        ASSERT_EQ(RunPeer(kOpenSSL, {"pkcs8", "-topk8", "-nocrypt", "-in", m_folder.Path("key.pem"), "-outform", "DER",
                                     "-out", m_folder.Path("key.der")}),
                  0);
        int status = 0;
        m_key = LoadPrivateKey(m_folder.Read("key.der"), &status);
        ASSERT_EQ(status, 0);
        void* value = nullptr;
        ASSERT_EQ(GetKeyInfo(&value, m_key, PublicKeyEncodedInfoType), 0);
        m_public = *static_cast<ToolkitItem*>(value);
        ASSERT_EQ(CreateNameObject(&m_name), 0);
        Add(kOidCountryName, 19, "US");
        Add(kOidStateOrProvinceName, 19, "Some-State");
        Add(kOidLocalityName, 20, "Springfield");
        Add(kOidOrganizationName, 20, "Smith & Sons");
        Add(kOidOrganizationalUnitName, 19, "Web");
        Add(kOidCommonName, 19, "www.example.com");
    }
    void TearDown() override
    {
        DestroyNameObject(&m_name);
        DestroyKeyObject(&m_key);
    }
    template <std::size_t N>
    void Add(const unsigned char (&oid)[N], int tag, const std::string& value)
    {
        ASSERT_EQ(SetNameObjectFromText(nullptr, m_name, oid, N, tag, U(value), static_cast<unsigned int>(value.size()),
                                        1, nullptr),
                  0);
    }
    int Encode(Bytes* der, ToolkitHandle* attributes = nullptr, int selector = kSignatureMD5WithRSA, int version = 0,
               Bytes* digest = nullptr)
    {
        ToolkitItem request{};
        unsigned char made[kRequestMaxDigest];
        unsigned int length = 0;
        int status = EncodeCertificateRequest(&request, digest ? made : nullptr, digest ? &length : nullptr, m_name,
                                              &m_public, m_key, attributes, selector, version, nullptr, nullptr);
        if (!status)
            *der = ItemBytes(request);
        if (digest && !status)
            *digest = Bytes(reinterpret_cast<const char*>(made), length);
        ToolkitFree(request.data);
        return status;
    }
    // openssl's verdict and text for a DER request.
    int Verify(const Bytes& der, std::string* text)
    {
        m_folder.Write("req.der", der);
        return RunPeer(kOpenSSL, {"req", "-inform", "DER", "-in", m_folder.Path("req.der"), "-verify", "-noout",
                                  "-text"},
                       text);
    }

    PeerFolder m_folder;
    ToolkitKeyObject m_key = nullptr;
    ToolkitItem m_public{};
    ToolkitHandle* m_name = nullptr;
};

TEST_F(CertificateRequest, OpenSSLVerifiesTheRequestAndSeesTheSubjectsStringTypes)
{
    Bytes der, digest;
    ASSERT_EQ(Encode(&der, nullptr, kSignatureMD5WithRSA, 0, &digest), 0);
    std::string text;
    ASSERT_EQ(Verify(der, &text), 0) << text;
    EXPECT_NE(text.find("md5WithRSAEncryption"), std::string::npos) << text;
    EXPECT_NE(text.find("C = US, ST = Some-State, L = Springfield, O = Smith & Sons, OU = Web, CN = www.example.com"),
              std::string::npos)
        << text;
    EXPECT_EQ(digest, Md5(FirstMember(der))) << "the digest is of the signed part";

    std::string parsed;
    ASSERT_EQ(RunPeer(kOpenSSL, {"asn1parse", "-inform", "DER", "-in", m_folder.Path("req.der")}, &parsed), 0);
    const struct {
        const char* type;
        const char* value;
    } strings[] = {{"PRINTABLESTRING", "US"},          {"PRINTABLESTRING", "Some-State"},
                   {"T61STRING", "Springfield"},       {"T61STRING", "Smith & Sons"},
                   {"PRINTABLESTRING", "Web"},         {"PRINTABLESTRING", "www.example.com"}};
    for (const auto& s : strings)
        EXPECT_NE(LineWith(parsed, std::string(":") + s.value + "\n").find(s.type), std::string::npos)
            << s.value << "\n" << parsed;
    // No attributes given: the field is there, and empty.
    EXPECT_NE(parsed.find("cont [ 0 ]"), std::string::npos) << parsed;
    EXPECT_NE(FirstMember(der).find(std::string("\xA0\x00", 2)), std::string::npos);
}

TEST_F(CertificateRequest, PublicKeysAreReadUnderEitherRSAIdentifier)
{
    // The request's key with its algorithm identifier swapped.
    const Bytes spki = ItemBytes(m_public);
    unsigned int h = 0, c = 0, t = 0, ah = 0, ac = 0, at = 0;
    ASSERT_EQ(BerReadElement(U(spki), static_cast<unsigned int>(spki.size()), &h, &c, &t, 0), 0);
    ASSERT_EQ(BerReadElement(U(spki) + h, c, &ah, &ac, &at, 0), 0);
    const Bytes bits = spki.substr(h + at);
    const struct {
        const char* algorithm;
        int status;
    } cases[] = {
        {"300d06092a864886f70d0101010500", 0},
        {"300b06092a864886f70d010101", 0},     // parameters left out
        {"300a06045508010102020400", 0},       // 2.5.8.1.1 with its key size
        {"300d06092a864886f70d0101040500", kToolkitKeyForm}, // md5WithRSAEncryption
        {"3006060455080102", kToolkitKeyForm},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> wrapped;
        Bytes content = FromHex(c.algorithm) + bits;
        BerEncodeTLV(0x30, U(content), static_cast<unsigned int>(content.size()), &wrapped);
        ToolkitKeyObject key = nullptr;
        ASSERT_EQ(CreateKeyObject(&key), 0);
        ToolkitItem item{wrapped.data(), static_cast<unsigned int>(wrapped.size())};
        EXPECT_EQ(SetKeyInfo(key, PublicKeyEncodedInfoType, &item), c.status) << c.algorithm;
        void* value = nullptr;
        if (!c.status && GetKeyInfo(&value, key, RSAPublicKeyInfoType) == 0) {
            auto* numbers = static_cast<ToolkitRSAPublicKey*>(value);
            EXPECT_EQ(ToHex(ItemBytes(numbers->exponent)), "03") << c.algorithm;
            EXPECT_NE(spki.find(ItemBytes(numbers->modulus)), std::string::npos) << c.algorithm;
        }
        DestroyKeyObject(&key);
    }
    // A request is never made around a key that is not one whole element.
    for (unsigned int length : {m_public.length - 1, 0u}) {
        ToolkitItem cut{m_public.data, length};
        ToolkitItem request{};
        EXPECT_EQ(EncodeCertificateRequest(&request, nullptr, nullptr, m_name, &cut, m_key, nullptr,
                                           kSignatureMD5WithRSA, 0, nullptr, nullptr),
                  kAppDecoding);
        EXPECT_EQ(request.data, nullptr);
    }
}

TEST_F(CertificateRequest, AttributesAreCarriedAndSigned)
{
    ToolkitHandle* attributes = nullptr;
    ASSERT_EQ(CreateAttributesObject(&attributes), 0);
    ASSERT_EQ(SetChallengePassword(attributes, 19, U("open sesame"), 11), 0);
    Bytes der;
    ASSERT_EQ(Encode(&der, attributes), 0);
    DestroyAttributesObject(&attributes);
    std::string text;
    ASSERT_EQ(Verify(der, &text), 0) << text;
    EXPECT_NE(text.find("challengePassword"), std::string::npos) << text;
    EXPECT_NE(text.find("open sesame"), std::string::npos) << text;
}

} // namespace

namespace {

// A caller as the SSL page is: lines gathered with CR LF, keys kept.
struct Caller {
    std::string text;
    int lineAnswer = 0;
    int keyAnswer = 0;
    int keyCalls = 0;
    Bytes publicKey, privateKey;
};

int CallerLine(const char* line, void* data)
{
    auto* c = static_cast<Caller*>(data);
    c->text += std::string(line) + "\r\n";
    return c->lineAnswer;
}

int CallerKeys(const unsigned char* pub, unsigned int pubLength, const unsigned char* priv, unsigned int privLength,
               void* data)
{
    auto* c = static_cast<Caller*>(data);
    ++c->keyCalls;
    c->publicKey.assign(reinterpret_cast<const char*>(pub), pubLength);
    c->privateKey.assign(reinterpret_cast<const char*>(priv), privLength);
    return c->keyAnswer;
}

struct Seeded {
    ToolkitHandle* random = nullptr;
    explicit Seeded(bool seed = true)
    {
        EXPECT_EQ(CreateRandomObject(&random), 0);
        if (seed) {
            EXPECT_EQ(SeedRandomObjectFromSystem(random, nullptr), 0);
        }
    }
    ~Seeded() { DestroyRandomObject(&random); }
};

int Generate(Caller* caller, ToolkitHandle* name, ToolkitHandle* random, int selector = kSignatureMD5WithRSA,
             unsigned int bits = 1024, int version = 0, int largeExponent = 0, const std::string* password = nullptr,
             int passwordAlgorithm = 0)
{
    TextStreamCallbacks callbacks{nullptr, CallerLine, nullptr, nullptr, nullptr, caller};
    Base64TextStream stream;
    InitBase64TextStream(&stream, &callbacks);
    KeyOutputCallback keys{CallerKeys, caller};
    int status = GenerateCertificateRequest(
        &stream, nullptr, nullptr, name, version, selector, bits, largeExponent, nullptr,
        password ? U(*password) : nullptr, password ? static_cast<unsigned int>(password->size()) : 0,
        passwordAlgorithm, random, &keys, nullptr, nullptr);
    if (!status && FlushBase64TextStream(&stream))
        status = -stream.lastError;
    CloseBase64TextStream(&stream);
    return status;
}

TEST_F(CertificateRequest, TheSSLPagesCallMakesAKeyPairAndARequestOpenSSLAccepts)
{
    Seeded seeded;
    Caller caller;
    ASSERT_EQ(Generate(&caller, m_name, seeded.random), 0);
    ASSERT_EQ(caller.keyCalls, 1);
    EXPECT_LE(caller.privateKey.size(), 668u);
    EXPECT_LE(caller.publicKey.size(), 184u);
    int status = 0;
    Bytes der = Base64Decode(caller.text, &status);
    ASSERT_EQ(status, 0) << caller.text;
    std::string text;
    ASSERT_EQ(Verify(der, &text), 0) << text;
    EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos) << text;
    EXPECT_NE(text.find("Exponent: 3 (0x3)"), std::string::npos) << text;
    EXPECT_NE(der.find(caller.publicKey), std::string::npos) << "the request is for the key handed out";
    m_folder.Write("generated.der", caller.privateKey);
    std::string check;
    EXPECT_EQ(RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", m_folder.Path("generated.der"), "-check", "-noout"},
                      &check),
              0)
        << check;
}

TEST_F(CertificateRequest, APasswordDeliversThePrivateKeyEncrypted)
{
    Seeded seeded;
    Caller caller;
    const std::string password = "correct horse";
    // pbeWithMD5AndDES-CBC, and a large exponent.
    ASSERT_EQ(Generate(&caller, m_name, seeded.random, kSignatureMD5WithRSA, 1024, 0, 1, &password, 9), 0);
    EXPECT_LE(caller.privateKey.size(), kRequestEncryptedKeyRoom);
    m_folder.Write("encrypted.der", caller.privateKey);
    std::string text;
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkcs8", "-inform", "DER", "-in", m_folder.Path("encrypted.der"), "-passin",
                                 "pass:" + password, "-provider", "legacy", "-provider", "default", "-outform", "DER",
                                 "-out", m_folder.Path("opened.der")},
                      &text),
              0)
        << text;
    ASSERT_EQ(RunPeer(kOpenSSL, {"pkey", "-inform", "DER", "-in", m_folder.Path("opened.der"), "-check", "-text",
                                 "-noout"},
                      &text),
              0)
        << text;
    EXPECT_NE(text.find("publicExponent: 65537"), std::string::npos) << text;
    int status = 0;
    Bytes der = Base64Decode(caller.text, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(Verify(der, &text), 0) << text;
}

TEST_F(CertificateRequest, MD2SignaturesVerifyWithTheRSAPublicOperation)
{
    Seeded seeded;
    Caller caller;
    ASSERT_EQ(Generate(&caller, m_name, seeded.random, kSignatureMD2WithRSA, 512), 0);
    int status = 0;
    Bytes der = Base64Decode(caller.text, &status);
    ASSERT_EQ(status, 0);
    m_folder.Write("md2.der", der);
    // openssl no longer verifies MD2; its parser still shows the algorithm.
    std::string parsed;
    ASSERT_EQ(RunPeer(kOpenSSL, {"asn1parse", "-inform", "DER", "-in", m_folder.Path("md2.der")}, &parsed), 0);
    EXPECT_NE(parsed.find("md2WithRSAEncryption"), std::string::npos) << parsed;
    // The signature opens with the public key to DigestInfo { md2, MD2 of the signed part }.
    ToolkitKeyObject publicKey = nullptr;
    ASSERT_EQ(CreateKeyObject(&publicKey), 0);
    ToolkitItem item{reinterpret_cast<unsigned char*>(caller.publicKey.data()),
                     static_cast<unsigned int>(caller.publicKey.size())};
    ASSERT_EQ(SetKeyInfo(publicKey, PublicKeyEncodedInfoType, &item), 0);
    ToolkitAlgorithmObject rsa = nullptr;
    ASSERT_EQ(CreateAlgorithmObject(&rsa), 0);
    ASSERT_EQ(SetAlgorithmInfo(rsa, RSAPublicInfoType, nullptr), 0);
    ASSERT_EQ(DecryptInit(rsa, publicKey, LayerAlgorithmChooser, nullptr), 0);
    const Bytes signature = der.substr(der.size() - 64);
    unsigned char out[64];
    unsigned int made = 0, tail = 0;
    ASSERT_EQ(DecryptUpdate(rsa, out, &made, sizeof out, U(signature), 64, nullptr, nullptr), 0);
    ASSERT_EQ(DecryptFinal(rsa, out + made, &tail, sizeof out - made, nullptr, nullptr), 0);
    DestroyAlgorithmObject(&rsa);
    DestroyKeyObject(&publicKey);
    ToolkitAlgorithmObject md2 = nullptr;
    ASSERT_EQ(CreateAlgorithmObject(&md2), 0);
    ASSERT_EQ(SetAlgorithmInfo(md2, MD2InfoType, nullptr), 0);
    const Bytes info = FirstMember(der);
    unsigned char digest[16];
    unsigned int digestLength = 0;
    ASSERT_EQ(DigestInit(md2, nullptr, LayerAlgorithmChooser, nullptr), 0);
    ASSERT_EQ(DigestUpdate(md2, U(info), static_cast<unsigned int>(info.size()), nullptr), 0);
    ASSERT_EQ(DigestFinal(md2, digest, &digestLength, sizeof digest, nullptr), 0);
    DestroyAlgorithmObject(&md2);
    EXPECT_EQ(ToHex(Bytes(reinterpret_cast<const char*>(out), made + tail)),
              "3020300c06082a864886f70d020205000410" + ToHex(Bytes(reinterpret_cast<const char*>(digest), 16)));
}

TEST_F(CertificateRequest, AFailedGenerationHandsOutNothing)
{
    const struct {
        const char* what;
        bool seeded;
        int selector;
        unsigned int bits;
        int version;
        int lineAnswer;
        int keyAnswer;
        int status;
        bool keysOut;
    } cases[] = {
        {"random object not seeded", false, 7, 1024, 0, 0, 0, kAppNeedsSeed, false},
        {"modulus of 1025 bits", true, 7, 1025, 0, 0, 0, kAppKeyGenerationRefused, false},
        {"modulus of 255 bits", true, 7, 255, 0, 0, 0, kAppKeyGenerationRefused, false},
        {"version 1", true, 7, 256, 1, 0, 0, kAppRequestVersion, false},
        {"signature selector 5", true, 5, 256, 0, 0, 0, kAppUnknownSignature, false},
        {"request output refused", true, 7, 512, 0, 1, 0, kAppRequestOutputRefused, false},
        {"keys refused", true, 7, 512, 0, 0, 1, kAppKeyOutputRefused, true},
        {"name without components", true, 7, 512, 0, 0, 0, kAppBadName, false},
    };
    ToolkitHandle* empty = nullptr;
    ASSERT_EQ(CreateNameObject(&empty), 0);
    for (const auto& c : cases) {
        Seeded seeded(c.seeded);
        Caller caller;
        caller.lineAnswer = c.lineAnswer;
        caller.keyAnswer = c.keyAnswer;
        ToolkitHandle* name = c.status == kAppBadName ? empty : m_name;
        EXPECT_EQ(Generate(&caller, name, seeded.random, c.selector, c.bits, c.version), c.status) << c.what;
        EXPECT_EQ(caller.keyCalls, c.keysOut ? 1 : 0) << c.what;
        if (c.status != kAppRequestOutputRefused && c.status != kAppKeyOutputRefused) {
            EXPECT_EQ(caller.text, "") << c.what;
        }
    }
    DestroyNameObject(&empty);
    // An unknown password-based scheme: refused before anything leaves.
    {
        Seeded seeded;
        Caller caller;
        const std::string password = "secret";
        EXPECT_EQ(Generate(&caller, m_name, seeded.random, 7, 512, 0, 0, &password, 12), kAppUnknownPasswordAlgorithm);
        EXPECT_EQ(caller.keyCalls, 0);
        EXPECT_EQ(caller.text, "");
    }
    // A bad random handle.
    Caller caller;
    EXPECT_EQ(Generate(&caller, m_name, m_name), kAppRandom);
    EXPECT_EQ(caller.keyCalls, 0);
}

} // namespace
