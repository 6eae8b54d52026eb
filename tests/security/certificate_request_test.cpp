// Certificate requests checked by openssl: the signature verifies, the
// subject keeps its string types, and the attributes field is there.

#include "peer_helper.h"

#include "security/attributes_object.h"
#include "security/ber.h"
#include "security/byte_block.h"
#include "security/certificate_request.h"
#include "security/name_object.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const unsigned char* U(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

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

TEST_F(CertificateRequest, RefusalsLeaveNoRequest)
{
    ToolkitHandle* empty = nullptr;
    ASSERT_EQ(CreateNameObject(&empty), 0);
    const struct {
        const char* what;
        int selector;
        int version;
        bool emptyName;
        int status;
    } cases[] = {
        {"version 1", kSignatureMD5WithRSA, 1, false, kAppRequestVersion},
        {"selector 5", 5, 0, false, kAppUnknownSignature},
        {"selector 8", 8, 0, false, kAppUnknownSignature},
        {"name without components", kSignatureMD5WithRSA, 0, true, kAppBadName},
    };
    for (const auto& c : cases) {
        ToolkitItem request{reinterpret_cast<unsigned char*>(1), 1};
        int status = EncodeCertificateRequest(&request, nullptr, nullptr, c.emptyName ? empty : m_name, &m_public,
                                              m_key, nullptr, c.selector, c.version, nullptr, nullptr);
        EXPECT_EQ(status, c.status) << c.what;
        EXPECT_EQ(request.data, nullptr) << c.what;
    }
    DestroyNameObject(&empty);
}

} // namespace
