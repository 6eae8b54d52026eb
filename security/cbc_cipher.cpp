// DES-CBC and RC2-CBC: the contexts, the decryption that holds back the last
// blocks until final (where the padding is), PKCS #5 padding, and the RC2
// parameter encoding.

#include "security/cbc_cipher.h"

#include "security/ber.h"
#include "security/byte_block.h"
#include "security/des.h"
#include "security/rc2.h"
#include "security/toolkit_internal.h"

#include <cstring>

const ToolkitAlgorithmType kDESCBCAlgorithm = {"DES-CBC"};
const ToolkitAlgorithmType kRC2CBCAlgorithm = {"RC2-CBC"};

namespace {

struct CBCContext {
    unsigned char iv[8];
    unsigned char chain[8];
    unsigned char pending[16];
    unsigned int pendingCount;
    int encrypt;
    int padding;
    CBCBlockFunction block;
    union {
        DESKeySchedule des;
        RC2KeySchedule rc2;
    } schedule;
};

void DESBlock(const void* schedule, unsigned char* out, const unsigned char* in)
{
    DESBlockTransform(static_cast<const DESKeySchedule*>(schedule), out, in);
}

void Start(CBCContext* c, const ToolkitCBCState* p, int encrypt)
{
    CryptoMemCopy(c->iv, p->iv, 8);
    CryptoMemCopy(c->chain, p->iv, 8);
    c->pendingCount = 0;
    c->encrypt = encrypt;
    c->padding = p->padding;
}

int DESCBCInit(void* context, const void* keyValue, const void* parameters, int encrypt)
{
    auto* c = static_cast<CBCContext*>(context);
    auto* key = static_cast<const ToolkitItem*>(keyValue);
    if (!key || key->length != 8 || !parameters)
        return 12;
    if (encrypt)
        DESKeyScheduleForward(&c->schedule.des, key->data);
    else
        DESKeyScheduleReverse(&c->schedule.des, key->data);
    c->block = DESBlock;
    Start(c, static_cast<const ToolkitCBCState*>(parameters), encrypt);
    return 0;
}

int RC2CBCInit(void* context, const void* keyValue, const void* parameters, int encrypt)
{
    auto* c = static_cast<CBCContext*>(context);
    auto* key = static_cast<const ToolkitItem*>(keyValue);
    auto* p = static_cast<const ToolkitCBCState*>(parameters);
    if (!key || !p)
        return 9;
    if (int code = RC2ExpandKey(&c->schedule.rc2, key->data, key->length, p->effectiveBits))
        return code;
    c->block = encrypt ? RC2EncryptBlock : RC2DecryptBlock;
    Start(c, p, encrypt);
    return 0;
}

// One block of decryption: out = D(in) xor chain, chain = in.
void DecryptBlock(CBCContext* c, unsigned char* out, const unsigned char* in)
{
    unsigned char cipher[8];
    CryptoMemCopy(cipher, in, 8);
    c->block(&c->schedule, out, cipher);
    for (int i = 0; i < 8; ++i)
        out[i] ^= c->chain[i];
    CryptoMemCopy(c->chain, cipher, 8);
}

int CBCUpdate(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut, const unsigned char* in,
              unsigned int inLen, const ToolkitSurrender*)
{
    auto* c = static_cast<CBCContext*>(context);
    *outLen = 0;
    if (c->encrypt)
        return CBCTransform(&c->schedule, c->chain, c->pending, &c->pendingCount, c->block, out, outLen, maxOut, in,
                            inLen);
    // Decryption keeps 9 to 16 octets back: the last block, which holds the
    // padding, is only known at final.
    unsigned long long total = static_cast<unsigned long long>(c->pendingCount) + inLen;
    if (total <= 16) {
        CryptoMemCopy(c->pending + c->pendingCount, in, inLen);
        c->pendingCount += inLen;
        return 0;
    }
    unsigned long long produce = (total - 9) / 8 * 8;
    if (produce > maxOut)
        return 10;
    unsigned char block[8];
    auto at = [&](unsigned long long i) { return i < c->pendingCount ? c->pending[i] : in[i - c->pendingCount]; };
    for (unsigned long long done = 0; done < produce; done += 8) {
        for (int i = 0; i < 8; ++i)
            block[i] = at(done + i);
        DecryptBlock(c, out + done, block);
    }
    unsigned char rest[16];
    unsigned int keep = static_cast<unsigned int>(total - produce);
    for (unsigned int i = 0; i < keep; ++i)
        rest[i] = at(produce + i);
    CryptoMemCopy(c->pending, rest, keep);
    c->pendingCount = keep;
    *outLen = static_cast<unsigned int>(produce);
    explicit_bzero(rest, sizeof rest);
    explicit_bzero(block, sizeof block);
    return 0;
}

int EncryptFinal(CBCContext* c, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    if (!c->padding)
        return CBCFinalCheck(c->pendingCount);
    if (maxOut < 8)
        return 10;
    unsigned int pad = 8 - c->pendingCount;
    CryptoMemSet(c->pending + c->pendingCount, static_cast<int>(pad), pad);
    for (int i = 0; i < 8; ++i)
        c->pending[i] ^= c->chain[i];
    c->block(&c->schedule, out, c->pending);
    *outLen = 8;
    return 0;
}

int DecryptFinal(CBCContext* c, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    unsigned int held = c->pendingCount;
    if (held != 0 && held != 8 && held != 16)
        return 6;
    if (!c->padding) {
        if (maxOut < held)
            return 10;
        for (unsigned int i = 0; i < held; i += 8)
            DecryptBlock(c, out + i, c->pending + i);
        *outLen = held;
        return 0;
    }
    if (held == 0)
        return 6;
    unsigned char plain[16];
    for (unsigned int i = 0; i < held; i += 8)
        DecryptBlock(c, plain + i, c->pending + i);
    unsigned int pad = plain[held - 1];
    int code = 0;
    if (pad < 1 || pad > 8) {
        code = 5;
    } else {
        for (unsigned int i = held - pad; i < held; ++i)
            if (plain[i] != pad)
                code = 5;
    }
    if (!code && maxOut < held - pad)
        code = 10;
    if (!code) {
        CryptoMemCopy(out, plain, held - pad);
        *outLen = held - pad;
    }
    explicit_bzero(plain, sizeof plain);
    return code;
}

int CBCFinal(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    auto* c = static_cast<CBCContext*>(context);
    *outLen = 0;
    int code = c->encrypt ? EncryptFinal(c, out, outLen, maxOut) : DecryptFinal(c, out, outLen, maxOut);
    // Ready for the next message under the same key and IV.
    CryptoMemCopy(c->chain, c->iv, 8);
    explicit_bzero(c->pending, sizeof c->pending);
    c->pendingCount = 0;
    return code;
}

unsigned int CBCBlockLength(const void*)
{
    return 8;
}

int SetIV(ToolkitCBCState* p, const ToolkitItem* iv)
{
    if (!iv || iv->length != 8 || !iv->data)
        return kToolkitData;
    CryptoMemCopy(p->iv, iv->data, 8);
    return 0;
}

// The parameters block is the object's last memory block when create runs.
int NewParameters(ToolkitAlgorithmObject object, ToolkitCBCState** out)
{
    return MemoryListAllocate(&object->memory, sizeof(ToolkitCBCState), reinterpret_cast<void**>(out));
}

int CreateCBC(ToolkitAlgorithmObject object, const ToolkitAlgorithmType* type)
{
    if (int status = CreateChosenMethod(object, kMethodCipher, type))
        return status;
    object->method->state = object->memory.entries[object->memory.count - 1].block;
    return 0;
}

template <int Padding>
int DESSet(ToolkitAlgorithmObject object, const void* parameters)
{
    ToolkitCBCState* p = nullptr;
    if (int status = NewParameters(object, &p))
        return status;
    p->padding = Padding;
    return SetIV(p, static_cast<const ToolkitItem*>(parameters));
}

template <int Padding>
int RC2Set(ToolkitAlgorithmObject object, const void* parameters)
{
    auto* given = static_cast<const ToolkitRC2CBCParameters*>(parameters);
    ToolkitCBCState* p = nullptr;
    if (int status = NewParameters(object, &p))
        return status;
    p->padding = Padding;
    if (!given)
        return kToolkitData;
    p->effectiveBits = given->effectiveBits;
    return SetIV(p, &given->iv);
}

int DESCreate(ToolkitAlgorithmObject object)
{
    return CreateCBC(object, &kDESCBCAlgorithm);
}

int RC2Create(ToolkitAlgorithmObject object)
{
    return CreateCBC(object, &kRC2CBCAlgorithm);
}

int DESGet(void** out, ToolkitAlgorithmObject object)
{
    auto* p = static_cast<ToolkitCBCState*>(object->method->state);
    p->ivItem = {p->iv, 8};
    *out = &p->ivItem;
    return 0;
}

int RC2Get(void** out, ToolkitAlgorithmObject object)
{
    auto* p = static_cast<ToolkitCBCState*>(object->method->state);
    p->rc2 = {p->effectiveBits, {p->iv, 8}};
    *out = &p->rc2;
    return 0;
}

const ToolkitAlgorithmInfo kDESCBCInfo = {DESSet<0>, DESCreate, DESGet};
const ToolkitAlgorithmInfo kDESCBCPadInfo = {DESSet<1>, DESCreate, DESGet};
const ToolkitAlgorithmInfo kRC2CBCInfo = {RC2Set<0>, RC2Create, RC2Get};
const ToolkitAlgorithmInfo kRC2CBCPadInfo = {RC2Set<1>, RC2Create, RC2Get};

const unsigned int kOptionalInteger = kBerInteger | kBerOptional;

const BerTemplateEntry kRC2ParametersTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kOptionalInteger, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

} // namespace

const ToolkitImplementation kDESCBCImplementation = {sizeof(CBCContext), DESCBCInit,     CBCUpdate,
                                                     CBCFinal,           CBCBlockLength, nullptr};
const ToolkitImplementation kRC2CBCImplementation = {sizeof(CBCContext), RC2CBCInit,     CBCUpdate,
                                                     CBCFinal,           CBCBlockLength, nullptr};

int DESCBCInfoType(const void** out)
{
    *out = &kDESCBCInfo;
    return 0;
}

int DESCBCPadInfoType(const void** out)
{
    *out = &kDESCBCPadInfo;
    return 0;
}

int RC2CBCInfoType(const void** out)
{
    *out = &kRC2CBCInfo;
    return 0;
}

int RC2CBCPadInfoType(const void** out)
{
    *out = &kRC2CBCPadInfo;
    return 0;
}

int EncodeRC2CBCParameters(const ToolkitRC2CBCParameters* parameters, ToolkitItem* out)
{
    *out = {nullptr, 0};
    if (parameters->effectiveBits > 255)
        return kToolkitImplementation15;
    if (parameters->iv.length != 8 || !parameters->iv.data)
        return kToolkitData;
    // The INTEGER's content: a 0x00 in front keeps a set top bit positive.
    unsigned char version[2] = {0, static_cast<unsigned char>(RC2VersionOfBits(parameters->effectiveBits))};
    BerSlot versionSlot = {version[1] & 0x80 ? version : version + 1, version[1] & 0x80 ? 2u : 1u, 0};
    if (parameters->effectiveBits == 32)
        versionSlot = {};
    BerSlot iv = {parameters->iv.data, 8, 0};
    void* slots[2] = {&versionSlot, &iv};
    return BerEncode(kRC2ParametersTemplate, slots, out);
}

int DecodeRC2CBCParameters(ToolkitRC2CBCParameters* out, const unsigned char* der, unsigned int length)
{
    BerSlot version = {}, iv = {};
    void* slots[2] = {&version, &iv};
    unsigned int used = 0;
    if (BerDecode(kRC2ParametersTemplate, slots, der, length, &used) || used != length)
        return kToolkitData;
    int bits = 32;
    if (version.data) {
        BerSlot value = {};
        if (BerDecodeUnsigned(&value, version.data, version.length) || value.length > 1)
            return kToolkitData;
        bits = RC2BitsOfVersion(value.length ? value.data[0] : 0);
    }
    if (iv.length != 8)
        return kToolkitData;
    *out = {static_cast<unsigned int>(bits), {const_cast<unsigned char*>(iv.data), 8}};
    return 0;
}
