// RSA keys in their standard encodings: PKCS #1 RSAPrivateKey inside a
// PKCS #8 PrivateKeyInfo, RSAPublicKey inside a SubjectPublicKeyInfo, and
// the key info types built on them. Every value a key object keeps lives in
// the key's own memory, never in the caller's input.

#include "security/key_encoding.h"

#include "security/ber.h"
#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstring>

namespace {

// DER content of 1.2.840.113549.1.1.1, and the NULL parameters it takes.
const unsigned char kRSAEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const unsigned char kNullParameters[] = {0x05, 0x00};

constexpr unsigned int kSeq = kBerSequence;

const BerTemplateEntry kRSAPrivateKeyTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {kBerInteger, BerDecodeVersionZero, BerEncodeVersionZero, 0},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 0},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 1},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 2},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 3},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 4},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 5},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 6},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 7},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 algorithm, 1 parameters, 2 private key.
const BerTemplateEntry kPrivateKeyInfoTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {kBerInteger, BerDecodeVersionZero, BerEncodeVersionZero, 0},
    {kSeq, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny | kBerOptional, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 2},
    {kBerEnd, nullptr, nullptr, 0},
};

const BerTemplateEntry kRSAPublicKeyTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 0},
    {kBerInteger, BerDecodeUnsigned, BerEncodeUnsigned, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 algorithm, 1 parameters, 2 public key bits.
const BerTemplateEntry kSubjectPublicKeyInfoTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {kSeq, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny | kBerOptional, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
    {kBerBitString, BerDecodeBitString, BerEncodeBitString, 2},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 to-be-signed part, 1 signature algorithm, 2 signature.
const BerTemplateEntry kCertificateTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerBitString, BerDecodeBitString, nullptr, 2},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 version group, 1 version, 2 serial, 3 signature, 4 issuer,
// 5 validity, 6 subject, 7 subject public key info, 8-10 the optional tail.
const BerTemplateEntry kToBeSignedTemplate[] = {
    {kSeq, nullptr, nullptr, 0},
    {0xA0 | kBerGroup | kBerOptional, nullptr, nullptr, 0},
    {kBerInteger, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
    {kBerInteger, nullptr, nullptr, 2},
    {kBerAny, nullptr, nullptr, 3},
    {kBerAny, nullptr, nullptr, 4},
    {kBerAny, nullptr, nullptr, 5},
    {kBerAny, nullptr, nullptr, 6},
    {kBerAny, nullptr, nullptr, 7},
    {0x81 | kBerOptional, nullptr, nullptr, 8},
    {0x82 | kBerOptional, nullptr, nullptr, 9},
    {0xA3 | kBerOptional, nullptr, nullptr, 10},
    {kBerEnd, nullptr, nullptr, 0},
};

template <std::size_t N>
struct Slots {
    BerSlot slot[N] = {};
    void* pointers[N];
    Slots()
    {
        for (std::size_t i = 0; i < N; ++i)
            pointers[i] = &slot[i];
    }
};

BerSlot FromItem(const ToolkitItem& item)
{
    return {item.data, item.length, 0};
}

ToolkitItem ToItem(const BerSlot& slot)
{
    return {const_cast<unsigned char*>(slot.data), slot.length};
}

bool IsRSAEncryption(const BerSlot& algorithm)
{
    return algorithm.length == sizeof kRSAEncryption &&
           CryptoMemCompare(algorithm.data, kRSAEncryption, sizeof kRSAEncryption) == 0;
}

// 2.5.8.1.1, the X.500 name for an RSA key that older requests carry.
bool IsX500RSA(const BerSlot& algorithm)
{
    static const unsigned char kX500RSA[] = {0x55, 0x08, 0x01, 0x01};
    return algorithm.length == sizeof kX500RSA && CryptoMemCompare(algorithm.data, kX500RSA, sizeof kX500RSA) == 0;
}

// Allocates a value record of type T in the key's memory.
template <class T>
int NewRecord(ToolkitKeyObject key, T** out)
{
    return MemoryListAllocate(&key->memory, sizeof(T), reinterpret_cast<void**>(out));
}

// Keeps an encoding made by BerEncode in the key's memory.
int KeepEncoding(ToolkitKeyObject key, const ToolkitItem& encoding, ToolkitItem** out)
{
    if (int status = MemoryListAdd(&key->memory, encoding.data, encoding.length, nullptr)) {
        explicit_bzero(encoding.data, encoding.length);
        ToolkitFree(encoding.data);
        return status;
    }
    if (int status = NewRecord(key, out))
        return status;
    **out = encoding;
    return 0;
}

void FreeEncoding(ToolkitItem& encoding)
{
    if (encoding.data) {
        explicit_bzero(encoding.data, encoding.length);
        ToolkitFree(encoding.data);
    }
    encoding = {nullptr, 0};
}

// Wraps key bits in {algorithm rsaEncryption with NULL parameters, key}.
int EncodeWithAlgorithm(const BerTemplateEntry* wrapper, const ToolkitItem& inner, ToolkitItem* out)
{
    Slots<3> s;
    s.slot[0] = {kRSAEncryption, sizeof kRSAEncryption, 0};
    s.slot[1] = {kNullParameters, sizeof kNullParameters, 0};
    s.slot[2] = {inner.data, inner.length, 0};
    return BerEncode(wrapper, s.pointers, out);
}

// The RSA private record: eight numbers, copied into the key.
int RSAPrivateSet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitRSAPrivateKey*>(value);
    ToolkitRSAPrivateKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    const ToolkitItem* from = &given->modulus;
    ToolkitItem* to = &record->modulus;
    for (int i = 0; i < 8; ++i)
        if (int status = KeyCopyBytes(key, from[i].data, from[i].length, &to[i]))
            return status;
    return InfoListAdd(&key->info, RSAPrivateKeyInfoType, record);
}

int RSAPrivateGet(void**, ToolkitKeyObject)
{
    return kToolkitKeyForm;
}

const ToolkitKeyInfo kRSAPrivateKeyInfo = {RSAPrivateSet, RSAPrivateGet};

int PrivateKeyEncodedSet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitItem*>(value);
    // The key keeps its own copy: a configuration reload may free the
    // caller's bytes while this key is in use.
    ToolkitItem* copy = nullptr;
    if (int status = NewRecord(key, &copy))
        return status;
    if (int status = KeyCopyBytes(key, given->data, given->length, copy))
        return status;
    Slots<3> info;
    if (BerDecode(kPrivateKeyInfoTemplate, info.pointers, copy->data, copy->length, nullptr))
        return kToolkitData;
    if (!IsRSAEncryption(info.slot[0]))
        return kToolkitKeyForm;
    Slots<8> numbers;
    if (BerDecode(kRSAPrivateKeyTemplate, numbers.pointers, info.slot[2].data, info.slot[2].length, nullptr))
        return kToolkitData;
    ToolkitRSAPrivateKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    ToolkitItem* to = &record->modulus;
    for (int i = 0; i < 8; ++i)
        to[i] = ToItem(numbers.slot[i]);
    if (int status = InfoListAdd(&key->info, PrivateKeyEncodedInfoType, copy))
        return status;
    return InfoListAdd(&key->info, RSAPrivateKeyInfoType, record);
}

int PrivateKeyEncodedGet(void** out, ToolkitKeyObject key)
{
    auto* record = static_cast<ToolkitRSAPrivateKey*>(InfoListFind(&key->info, RSAPrivateKeyInfoType));
    if (!record)
        return kToolkitKeyForm;
    Slots<8> numbers;
    const ToolkitItem* from = &record->modulus;
    for (int i = 0; i < 8; ++i) {
        if (!from[i].data)
            return kToolkitKeyForm;
        numbers.slot[i] = FromItem(from[i]);
    }
    ToolkitItem inner{}, outer{};
    int status = BerEncode(kRSAPrivateKeyTemplate, numbers.pointers, &inner);
    if (!status)
        status = EncodeWithAlgorithm(kPrivateKeyInfoTemplate, inner, &outer);
    FreeEncoding(inner);
    if (status)
        return status;
    return KeepEncoding(key, outer, reinterpret_cast<ToolkitItem**>(out));
}

const ToolkitKeyInfo kPrivateKeyEncodedInfo = {PrivateKeyEncodedSet, PrivateKeyEncodedGet};

int RSAPrivateCRTSet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitRSAPrivateCRTKey*>(value);
    ToolkitRSAPrivateCRTKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    const ToolkitItem* from = &given->modulus;
    ToolkitItem* to = &record->modulus;
    for (int i = 0; i < 6; ++i)
        if (int status = KeyCopyBytes(key, from[i].data, from[i].length, &to[i]))
            return status;
    return InfoListAdd(&key->info, RSAPrivateCRTKeyInfoType, record);
}

int RSAPrivateCRTGet(void** out, ToolkitKeyObject key)
{
    auto* full = static_cast<ToolkitRSAPrivateKey*>(InfoListFind(&key->info, RSAPrivateKeyInfoType));
    if (!full)
        return kToolkitKeyForm;
    ToolkitRSAPrivateCRTKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    *record = {full->modulus, {full->prime[0], full->prime[1]}, {full->primeExponent[0], full->primeExponent[1]},
               full->coefficient};
    *out = record;
    return 0;
}

const ToolkitKeyInfo kRSAPrivateCRTKeyInfo = {RSAPrivateCRTSet, RSAPrivateCRTGet};

int RSAPublicSet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitRSAPublicKey*>(value);
    ToolkitRSAPublicKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    if (int status = KeyCopyBytes(key, given->modulus.data, given->modulus.length, &record->modulus))
        return status;
    if (int status = KeyCopyBytes(key, given->exponent.data, given->exponent.length, &record->exponent))
        return status;
    return InfoListAdd(&key->info, RSAPublicKeyInfoType, record);
}

int RSAPublicGet(void** out, ToolkitKeyObject key)
{
    auto* full = static_cast<ToolkitRSAPrivateKey*>(InfoListFind(&key->info, RSAPrivateKeyInfoType));
    if (!full)
        return kToolkitKeyForm;
    ToolkitRSAPublicKey* record = nullptr;
    if (int status = NewRecord(key, &record))
        return status;
    *record = {full->modulus, full->publicExponent};
    *out = record;
    return 0;
}

const ToolkitKeyInfo kRSAPublicKeyInfo = {RSAPublicSet, RSAPublicGet};

// Decodes a SubjectPublicKeyInfo lying in the key's memory into a public
// record pointing into it.
int DecodePublicKeyInfo(ToolkitKeyObject key, const ToolkitItem& der, ToolkitRSAPublicKey** out)
{
    Slots<3> info;
    if (BerDecode(kSubjectPublicKeyInfoTemplate, info.pointers, der.data, der.length, nullptr))
        return kToolkitData;
    if (!IsRSAEncryption(info.slot[0]) && !IsX500RSA(info.slot[0]))
        return kToolkitKeyForm;
    if (info.slot[2].unusedBits)
        return kToolkitData;
    Slots<2> numbers;
    if (BerDecode(kRSAPublicKeyTemplate, numbers.pointers, info.slot[2].data, info.slot[2].length, nullptr))
        return kToolkitData;
    if (int status = NewRecord(key, out))
        return status;
    **out = {ToItem(numbers.slot[0]), ToItem(numbers.slot[1])};
    return 0;
}

int PublicKeyEncodedSet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitItem*>(value);
    ToolkitItem* copy = nullptr;
    if (int status = NewRecord(key, &copy))
        return status;
    if (int status = KeyCopyBytes(key, given->data, given->length, copy))
        return status;
    ToolkitRSAPublicKey* record = nullptr;
    if (int status = DecodePublicKeyInfo(key, *copy, &record))
        return status;
    if (int status = InfoListAdd(&key->info, PublicKeyEncodedInfoType, copy))
        return status;
    return InfoListAdd(&key->info, RSAPublicKeyInfoType, record);
}

int PublicKeyEncodedGet(void** out, ToolkitKeyObject key)
{
    void* value = nullptr;
    if (int status = GetKeyInfo(&value, key, RSAPublicKeyInfoType))
        return status;
    auto* record = static_cast<ToolkitRSAPublicKey*>(value);
    Slots<2> numbers;
    numbers.slot[0] = FromItem(record->modulus);
    numbers.slot[1] = FromItem(record->exponent);
    ToolkitItem inner{}, outer{};
    int status = BerEncode(kRSAPublicKeyTemplate, numbers.pointers, &inner);
    if (!status)
        status = EncodeWithAlgorithm(kSubjectPublicKeyInfoTemplate, inner, &outer);
    FreeEncoding(inner);
    if (status)
        return status;
    return KeepEncoding(key, outer, reinterpret_cast<ToolkitItem**>(out));
}

const ToolkitKeyInfo kPublicKeyEncodedInfo = {PublicKeyEncodedSet, PublicKeyEncodedGet};

} // namespace

int RSAPrivateKeyInfoType(const void** out)
{
    *out = &kRSAPrivateKeyInfo;
    return 1;
}

int PrivateKeyEncodedInfoType(const void** out)
{
    *out = &kPrivateKeyEncodedInfo;
    return 1;
}

int RSAPrivateCRTKeyInfoType(const void** out)
{
    *out = &kRSAPrivateCRTKeyInfo;
    return 1;
}

int RSAPublicKeyInfoType(const void** out)
{
    *out = &kRSAPublicKeyInfo;
    return 1;
}

int PublicKeyEncodedInfoType(const void** out)
{
    *out = &kPublicKeyEncodedInfo;
    return 1;
}

int SetCertificateKeyInfo(ToolkitKeyObject key, const unsigned char* certificate, unsigned int length)
{
    if (!key)
        return kToolkitBadKeyObject;
    if (int status = CheckKeyObject(key))
        return status;
    Slots<3> outer;
    if (BerDecode(kCertificateTemplate, outer.pointers, certificate, length, nullptr))
        return kToolkitData;
    Slots<11> tbs;
    if (BerDecode(kToBeSignedTemplate, tbs.pointers, outer.slot[0].data, outer.slot[0].length, nullptr))
        return kToolkitData;
    ToolkitItem publicKey = ToItem(tbs.slot[7]);
    return SetKeyInfo(key, PublicKeyEncodedInfoType, &publicKey);
}
