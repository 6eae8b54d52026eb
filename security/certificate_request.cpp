// Certificate requests: the request encoding and its signature.

#include "security/certificate_request.h"

#include "security/attributes_object.h"
#include "security/ber.h"
#include "security/byte_block.h"
#include "security/layer_chooser.h"
#include "security/md2.h"
#include "security/name_object.h"
#include "security/pbe_private_key.h"
#include "security/random_object.h"
#include "security/rsa_key_generation.h"

#include <cstring>
#include <vector>

namespace {

struct SignatureScheme {
    int selector;
    ToolkitInfoType digest;
    unsigned char algorithm[9]; // the signature algorithm's OID content
    unsigned char digestAlgorithm[8];
};

const SignatureScheme kSchemes[] = {
    {kSignatureMD2WithRSA,
     MD2InfoType,
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x02},
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x02}},
    {kSignatureMD5WithRSA,
     MD5InfoType,
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x04},
     {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x02, 0x05}},
};

const SignatureScheme* FindScheme(int selector)
{
    for (const SignatureScheme& scheme : kSchemes)
        if (scheme.selector == selector)
            return &scheme;
    return nullptr;
}

const unsigned char kNullParameters[] = {0x05, 0x00};
// An empty attributes field: [0] IMPLICIT SET OF with no members.
const unsigned char kNoAttributes[] = {0xA0, 0x00};

// Slots: 1 subject, 2 subject public key info, 3 attributes ([0], raw).
const BerTemplateEntry kRequestInfoTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerInteger, BerDecodeVersionZero, BerEncodeVersionZero, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerAny, nullptr, nullptr, 2},
    {kBerAny, nullptr, nullptr, 3},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 algorithm, 1 parameters.
const BerTemplateEntry kAlgorithmIdentifierTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny | kBerOptional, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 digest algorithm identifier, 1 digest.
const BerTemplateEntry kDigestInfoTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 request info, 1 signature algorithm, 2 signature.
const BerTemplateEntry kRequestTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerBitString, BerDecodeBitString, BerEncodeBitString, 2},
    {kBerEnd, nullptr, nullptr, 0},
};

struct Encoding {
    ToolkitItem item{};
    ~Encoding()
    {
        if (item.data) {
            explicit_bzero(item.data, item.length);
            ToolkitFree(item.data);
        }
    }
};

int EncodeAlgorithmIdentifier(const unsigned char* oid, unsigned int length, Encoding* out)
{
    BerSlot algorithm{oid, length, 0}, parameters{kNullParameters, sizeof kNullParameters, 0};
    void* slots[] = {&algorithm, &parameters};
    return BerEncode(kAlgorithmIdentifierTemplate, slots, &out->item);
}

int Digest(const SignatureScheme& scheme, const ToolkitItem& data, unsigned char* out, unsigned int* length,
           const ToolkitSurrender* surrender)
{
    ToolkitAlgorithmObject digest = nullptr;
    int status = CreateAlgorithmObject(&digest);
    if (!status)
        status = SetAlgorithmInfo(digest, scheme.digest, nullptr);
    if (!status)
        status = DigestInit(digest, nullptr, LayerAlgorithmChooser, surrender);
    if (!status)
        status = DigestUpdate(digest, data.data, data.length, surrender);
    if (!status)
        status = DigestFinal(digest, out, length, kRequestMaxDigest, surrender);
    DestroyAlgorithmObject(&digest);
    return status;
}

// PKCS #1 block type 1 over DigestInfo { digest algorithm, digest } with
// the private key. Answers algorithm-layer statuses.
int Sign(const SignatureScheme& scheme, const ToolkitItem& data, ToolkitKeyObject key, unsigned char* signature,
         unsigned int* signatureLength, const ToolkitSurrender* surrender)
{
    unsigned char digest[kRequestMaxDigest];
    unsigned int digestLength = 0;
    if (int status = Digest(scheme, data, digest, &digestLength, surrender))
        return status;
    Encoding algorithm, digestInfo;
    if (int status = EncodeAlgorithmIdentifier(scheme.digestAlgorithm, sizeof scheme.digestAlgorithm, &algorithm))
        return status;
    BerSlot a{algorithm.item.data, algorithm.item.length, 0}, d{digest, digestLength, 0};
    void* slots[] = {&a, &d};
    if (int status = BerEncode(kDigestInfoTemplate, slots, &digestInfo.item))
        return status;
    ToolkitAlgorithmObject rsa = nullptr;
    unsigned int made = 0, tail = 0;
    int status = CreateAlgorithmObject(&rsa);
    if (!status)
        status = SetAlgorithmInfo(rsa, RSAPrivateDecryptInfoType, nullptr);
    if (!status)
        status = EncryptInit(rsa, key, LayerAlgorithmChooser, surrender);
    if (!status)
        status = EncryptUpdate(rsa, signature, &made, kRequestMaxSignature, digestInfo.item.data,
                               digestInfo.item.length, nullptr, surrender);
    if (!status)
        status = EncryptFinal(rsa, signature + made, &tail, kRequestMaxSignature - made, nullptr, surrender);
    DestroyAlgorithmObject(&rsa);
    *signatureLength = made + tail;
    return status;
}

} // namespace

int EncodeCertificateRequest(ToolkitItem* request, unsigned char* digest, unsigned int* digestLength,
                             ToolkitHandle* subject, const ToolkitItem* publicKey, ToolkitKeyObject privateKey,
                             ToolkitHandle* attributes, int selector, int version, const ToolkitLogCallback* log,
                             const ToolkitSurrender* surrender)
{
    *request = {nullptr, 0};
    if (version != 0)
        return kAppRequestVersion;
    // The public key goes in as it stands: it must be one whole element.
    unsigned int h = 0, c = 0, t = 0;
    if (!publicKey || !publicKey->data ||
        BerReadElement(publicKey->data, publicKey->length, &h, &c, &t, 0) || t != publicKey->length)
        return ReportToolkitError(kContextSettingPublicKey, kAppDecoding, kAppDecoding, log);
    const unsigned char* name = nullptr;
    unsigned int nameLength = 0;
    if (int status = GetNameObjectDER(&name, &nameLength, subject, log))
        return status;
    // The attributes field is always present, empty when there are none:
    // PKCS #10 does not make it optional.
    std::vector<unsigned char> field(kNoAttributes, kNoAttributes + sizeof kNoAttributes);
    if (attributes) {
        const unsigned char* der = nullptr;
        unsigned int length = 0;
        if (int status = GetAttributesObjectDER(&der, &length, attributes, log))
            return status;
        field.assign(der, der + length);
        field[0] = 0xA0;
    }
    const SignatureScheme* scheme = FindScheme(selector);
    if (!scheme)
        return kAppUnknownSignature;
    BerSlot s1{name, nameLength, 0}, s2{publicKey->data, publicKey->length, 0},
        s3{field.data(), static_cast<unsigned int>(field.size()), 0};
    void* infoSlots[] = {nullptr, &s1, &s2, &s3};
    Encoding info;
    if (int status = BerEncode(kRequestInfoTemplate, infoSlots, &info.item))
        return ReportAlgorithmError(kContextEncodingRequest, status, kAppAlgorithm, log);
    unsigned char signature[kRequestMaxSignature];
    unsigned int signatureLength = 0;
    if (int status = Sign(*scheme, info.item, privateKey, signature, &signatureLength, surrender))
        return ReportAlgorithmError(kContextAsnSignature, status, kAppAlgorithm, log);
    if (digest || digestLength) {
        unsigned char made[kRequestMaxDigest];
        unsigned int length = 0;
        if (int status = Digest(*scheme, info.item, made, &length, surrender))
            return ReportAlgorithmError(kContextDigest, status, kAppDigest, log);
        if (digest)
            CryptoMemCopy(digest, made, length);
        if (digestLength)
            *digestLength = length;
    }
    Encoding algorithm;
    if (int status = EncodeAlgorithmIdentifier(scheme->algorithm, sizeof scheme->algorithm, &algorithm))
        return ReportAlgorithmError(kContextEncodingAlgorithmId, status, kAppBadHandle, log);
    BerSlot r0{info.item.data, info.item.length, 0}, r1{algorithm.item.data, algorithm.item.length, 0},
        r2{signature, signatureLength, 0};
    void* slots[] = {&r0, &r1, &r2};
    if (int status = BerEncode(kRequestTemplate, slots, request))
        return ReportAlgorithmError(kContextEncodingRequest, status, kAppAlgorithm, log);
    return 0;
}

namespace {

const unsigned char kSmallExponent[] = {0x03};
const unsigned char kLargeExponent[] = {0x01, 0x00, 0x01};

// What one generation owns until it returns.
struct Generation {
    ToolkitKeyObject publicKey = nullptr;
    ToolkitKeyObject privateKey = nullptr;
    ToolkitAlgorithmObject generator = nullptr;
    Encoding request;
    ~Generation()
    {
        DestroyKeyObject(&publicKey);
        DestroyKeyObject(&privateKey);
        DestroyAlgorithmObject(&generator);
    }
};

int MakeKeyPair(Generation* g, unsigned int modulusBits, int largeExponent, ToolkitAlgorithmObject randomAlgorithm,
                const ToolkitLogCallback* log, const ToolkitSurrender* surrender)
{
    ToolkitRSAKeyGenerationParameters parameters{modulusBits, {}};
    if (largeExponent)
        parameters.publicExponent = {const_cast<unsigned char*>(kLargeExponent), sizeof kLargeExponent};
    else
        parameters.publicExponent = {const_cast<unsigned char*>(kSmallExponent), sizeof kSmallExponent};
    int status = CreateKeyObject(&g->publicKey);
    if (!status)
        status = CreateKeyObject(&g->privateKey);
    if (!status)
        status = CreateAlgorithmObject(&g->generator);
    if (!status)
        status = SetAlgorithmInfo(g->generator, RSAKeyGenerationInfoType, &parameters);
    if (status)
        return ReportAlgorithmError(kContextGeneratingRequest, status, kAppAlgorithm, log);
    status = GenerateInit(g->generator, LayerAlgorithmChooser, surrender);
    if (status == kToolkitKeyTooLong)
        return kAppKeyGenerationRefused;
    if (!status)
        status = GenerateKeyPair(g->generator, g->publicKey, g->privateKey, randomAlgorithm, surrender);
    return status ? ReportAlgorithmError(kContextGeneratingRequest, status, kAppAlgorithm, log) : 0;
}

} // namespace

int GenerateCertificateRequest(Base64TextStream* stream, unsigned char* digest, unsigned int* digestLength,
                               ToolkitHandle* subject, int version, int selector, unsigned int modulusBits,
                               int largeExponent, ToolkitHandle* attributes, const unsigned char* password,
                               unsigned int passwordLength, int passwordAlgorithm, ToolkitHandle* random,
                               const KeyOutputCallback* keyOutput, const ToolkitLogCallback* log,
                               const ToolkitSurrender* surrender)
{
    if (!stream || !stream->write || !keyOutput || !keyOutput->function)
        return kAppBadHandle;
    ToolkitAlgorithmObject randomAlgorithm = nullptr;
    if (int status = GetRandomAlgorithm(&randomAlgorithm, random))
        return status;
    Generation g;
    if (int status = MakeKeyPair(&g, modulusBits, largeExponent, randomAlgorithm, log, surrender))
        return status;
    void* value = nullptr;
    if (int status = GetKeyInfo(&value, g.publicKey, PublicKeyEncodedInfoType))
        return ReportAlgorithmError(kContextGeneratingRequest, status, kAppAlgorithm, log);
    const ToolkitItem publicKey = *static_cast<ToolkitItem*>(value);
    if (int status = EncodeCertificateRequest(&g.request.item, digest, digestLength, subject, &publicKey,
                                              g.privateKey, attributes, selector, version, log, surrender))
        return status;
    if (int status = GetKeyInfo(&value, g.privateKey, PrivateKeyEncodedInfoType))
        return ReportAlgorithmError(kContextGeneratingRequest, status, kAppAlgorithm, log);
    ToolkitItem privateKey = *static_cast<ToolkitItem*>(value);
    unsigned char encrypted[kRequestEncryptedKeyRoom];
    if (password) {
        unsigned int length = 0;
        if (int status = PbeEncryptPrivateKey(encrypted, &length, sizeof encrypted, privateKey.data, privateKey.length,
                                              password, passwordLength, passwordAlgorithm, log, surrender))
            return status;
        privateKey = {encrypted, length};
    }
    int status = stream->write(g.request.item.data, g.request.item.length, stream->context) ? kAppRequestOutputRefused
                                                                                            : 0;
    if (!status && keyOutput->function(publicKey.data, publicKey.length, privateKey.data, privateKey.length,
                                       keyOutput->data))
        status = kAppKeyOutputRefused;
    explicit_bzero(encrypted, sizeof encrypted);
    return status;
}
