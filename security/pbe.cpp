// The four PKCS #5 v1.5 schemes: key and IV derivation, and the CBC cipher
// they run.

#include "security/pbe.h"

#include "security/ber.h"
#include "security/byte_block.h"
#include "security/md2.h"
#include "security/md5.h"
#include "security/toolkit_internal.h"

#include <cstring>

namespace {

struct Scheme {
    ToolkitInfoType type;
    unsigned char oidLast; // 1.2.840.113549.1.5.n
    bool md5;
    bool rc2;
};

const unsigned char kPkcs5[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x05};

const Scheme kSchemes[] = {
    {PBEWithMD2AndDESCBCInfoType, 1, false, false},
    {PBEWithMD5AndDESCBCInfoType, 3, true, false},
    {PBEWithMD2AndRC2CBCInfoType, 4, false, true},
    {PBEWithMD5AndRC2CBCInfoType, 6, true, true},
};

struct PBEState {
    const Scheme* scheme;
    unsigned char salt[8];
    unsigned int iterations;
    ToolkitPBEParameters view;
};

// Digest of password and salt, then of each digest in turn: key, then IV.
void Derive(const Scheme* scheme, const ToolkitItem& password, const unsigned char salt[8], unsigned int iterations,
            unsigned char out[16])
{
    if (scheme->md5) {
        MD5Context c;
        MD5Start(&c);
        MD5Add(&c, password.data, password.length);
        MD5Add(&c, salt, 8);
        MD5Finish(&c, out);
        for (unsigned int i = 1; i < iterations; ++i) {
            MD5Add(&c, out, 16);
            MD5Finish(&c, out);
        }
        explicit_bzero(&c, sizeof c);
    } else {
        MD2Context c;
        MD2Start(&c);
        MD2Add(&c, password.data, password.length);
        MD2Add(&c, salt, 8);
        MD2Finish(&c, out);
        for (unsigned int i = 1; i < iterations; ++i) {
            MD2Add(&c, out, 16);
            MD2Finish(&c, out);
        }
        explicit_bzero(&c, sizeof c);
    }
}

int PBEInit(ToolkitMethod* method, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
            const ToolkitSurrender*)
{
    auto* state = static_cast<PBEState*>(method->state);
    if (state->iterations == 0)
        return kToolkitData;
    void* value = nullptr;
    if (int status = GetKeyInfo(&value, key, RawKeyInfoType))
        return status;
    unsigned char derived[20];
    Derive(state->scheme, *static_cast<ToolkitItem*>(value), state->salt, state->iterations, derived);
    ToolkitKeyObject cipherKey = nullptr;
    int status = CreateKeyObject(&cipherKey);
    ToolkitItem item = {derived, 8};
    if (!status)
        status = SetKeyInfo(cipherKey, RawKeyInfoType, &item);
    ToolkitCBCState cbc = {};
    cbc.padding = 1;
    cbc.effectiveBits = 64;
    CryptoMemCopy(cbc.iv, derived + 8, 8);
    if (!status)
        status = ChooseImplementation(&method->binding, method->type, direction, cipherKey, chooser, &cbc);
    DestroyKeyObject(&cipherKey);
    explicit_bzero(derived, sizeof derived);
    explicit_bzero(&cbc, sizeof cbc);
    return status;
}

void PBEDestroy(ToolkitMethod* method)
{
    kChosenMethodOps.destroy(method);
}

int PBEUpdate(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
              const unsigned char* in, unsigned int inLen, const ToolkitSurrender* surrender)
{
    return kChosenMethodOps.update(method, direction, out, outLen, maxOut, in, inLen, surrender);
}

int PBEFinal(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
             const ToolkitSurrender* surrender)
{
    return kChosenMethodOps.final(method, direction, out, outLen, maxOut, surrender);
}

const ToolkitMethodOps kPBEOps = {PBEDestroy, PBEInit, PBEUpdate, PBEFinal};

template <int Index>
int PBESet(ToolkitAlgorithmObject object, const void* parameters)
{
    auto* given = static_cast<const ToolkitPBEParameters*>(parameters);
    if (!given || !given->salt.data || given->salt.length != 8)
        return kToolkitData;
    PBEState* state = nullptr;
    if (int status = MemoryListAllocate(&object->memory, sizeof(PBEState), reinterpret_cast<void**>(&state)))
        return status;
    state->scheme = &kSchemes[Index];
    CryptoMemCopy(state->salt, given->salt.data, 8);
    state->iterations = given->iterations;
    return 0;
}

template <int Index>
int PBECreate(ToolkitAlgorithmObject object)
{
    const ToolkitAlgorithmType* cipher = kSchemes[Index].rc2 ? &kRC2CBCAlgorithm : &kDESCBCAlgorithm;
    if (int status = CreateChosenMethod(object, kMethodCipher, cipher))
        return status;
    object->method->ops = &kPBEOps;
    object->method->state = object->memory.entries[object->memory.count - 1].block;
    return 0;
}

int PBEGet(void** out, ToolkitAlgorithmObject object)
{
    auto* state = static_cast<PBEState*>(object->method->state);
    state->view = {{state->salt, 8}, state->iterations};
    *out = &state->view;
    return 0;
}

const ToolkitAlgorithmInfo kPBEInfo[] = {
    {PBESet<0>, PBECreate<0>, PBEGet},
    {PBESet<1>, PBECreate<1>, PBEGet},
    {PBESet<2>, PBECreate<2>, PBEGet},
    {PBESet<3>, PBECreate<3>, PBEGet},
};

// Slots: 0 salt, 1 iteration count (unsigned int).
const BerTemplateEntry kPBEParameterTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 0},
    {kBerInteger, BerDecodeInteger32, BerEncodeInteger32, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 algorithm, 1 parameters (already encoded).
const BerTemplateEntry kAlgorithmIdentifierTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerEncoded, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

} // namespace

int PBEWithMD2AndDESCBCInfoType(const void** out)
{
    *out = &kPBEInfo[0];
    return 0;
}

int PBEWithMD5AndDESCBCInfoType(const void** out)
{
    *out = &kPBEInfo[1];
    return 0;
}

int PBEWithMD2AndRC2CBCInfoType(const void** out)
{
    *out = &kPBEInfo[2];
    return 0;
}

int PBEWithMD5AndRC2CBCInfoType(const void** out)
{
    *out = &kPBEInfo[3];
    return 0;
}

ToolkitInfoType PBEInfoTypeOfIdentifier(const unsigned char* oid, unsigned int length)
{
    if (length != sizeof kPkcs5 + 1 || CryptoMemCompare(oid, kPkcs5, sizeof kPkcs5) != 0)
        return nullptr;
    for (const Scheme& s : kSchemes)
        if (oid[sizeof kPkcs5] == s.oidLast)
            return s.type;
    return nullptr;
}

int EncodePBEAlgorithmIdentifier(ToolkitAlgorithmObject object, ToolkitItem* out)
{
    *out = {nullptr, 0};
    if (int status = CheckAlgorithmObject(object))
        return status;
    if (!object->method || object->method->ops != &kPBEOps)
        return kToolkitWrongKind;
    auto* state = static_cast<PBEState*>(object->method->state);
    BerSlot salt = {state->salt, 8, 0};
    unsigned int iterations = state->iterations;
    void* parameterSlots[2] = {&salt, &iterations};
    ToolkitItem parameters = {};
    if (int status = BerEncode(kPBEParameterTemplate, parameterSlots, &parameters))
        return status;
    unsigned char oid[sizeof kPkcs5 + 1];
    CryptoMemCopy(oid, kPkcs5, sizeof kPkcs5);
    oid[sizeof kPkcs5] = state->scheme->oidLast;
    BerSlot algorithm = {oid, sizeof oid, 0}, encoded = {parameters.data, parameters.length, 0};
    void* slots[2] = {&algorithm, &encoded};
    int status = BerEncode(kAlgorithmIdentifierTemplate, slots, out);
    ToolkitFree(parameters.data);
    return status;
}

int DecodePBEParameters(ToolkitPBEParameters* parameters, const unsigned char* der, unsigned int length)
{
    BerSlot salt = {};
    unsigned int iterations = 0;
    void* slots[2] = {&salt, &iterations};
    unsigned int used = 0;
    if (BerDecode(kPBEParameterTemplate, slots, der, length, &used) || used != length)
        return kToolkitData;
    if (salt.length != 8 || iterations == 0 || iterations > kPBEMaxIterations)
        return kToolkitData;
    *parameters = {{const_cast<unsigned char*>(salt.data), 8}, iterations};
    return 0;
}
