// The init/update/final fronts, the chooser walk and the method objects of
// the chooser kinds (cipher, digest, random generator).

#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstring>

const ToolkitAlgorithmType kRC4Algorithm = {"RC4"};
const ToolkitAlgorithmType kMD5Algorithm = {"MD5"};
const ToolkitAlgorithmType kRandomAlgorithm = {"MD5 random"};
const ToolkitAlgorithmType kRSAPrivateAlgorithm = {"RSA private"};

namespace {

const ToolkitMethodRecord kRC4Decrypt = {&kRC4Algorithm, 0, RawKeyInfoType, &kRC4Implementation};
const ToolkitMethodRecord kRC4Encrypt = {&kRC4Algorithm, 1, RawKeyInfoType, &kRC4Implementation};
const ToolkitMethodRecord kMD5Record = {&kMD5Algorithm, 0, nullptr, &kMD5Implementation};
const ToolkitMethodRecord kRandomRecord = {&kRandomAlgorithm, 0, nullptr, &kRandomImplementation};
const ToolkitMethodRecord kRSAPrivateRecord = {&kRSAPrivateAlgorithm, 0, RSAPrivateCRTKeyInfoType,
                                               &kRSAPrivateImplementation};

} // namespace

const ToolkitMethodRecord* const DefaultAlgorithmChooser[] = {
    &kRC4Decrypt, &kRC4Encrypt, &kMD5Record, &kRandomRecord, &kRSAPrivateRecord, nullptr,
};

int TranslateImplementationCode(int code)
{
    switch (code) {
    case 0: return 0;
    case 1: return kToolkitImplementation1;
    case 3: return kToolkitImplementation3;
    case 4: return kToolkitImplementation4;
    case 5: return kToolkitData;
    case 6: return kToolkitLength;
    case 7: return kToolkitKeyTooLong;
    case 9: return kToolkitLookup;
    case 10: return kToolkitOutputRoom;
    case 11: return kToolkitNotStarted;
    case 12: return kToolkitBadKeyLength;
    case 13: return kToolkitKeyDoesNotFit;
    case 15: return kToolkitImplementation15;
    case 128: return kToolkitNoMemory;
    default: return kToolkitFailure;
    }
}

void ReleaseBinding(ToolkitBinding* binding)
{
    if (binding->context) {
        if (binding->implementation->clear)
            binding->implementation->clear(binding->context);
        explicit_bzero(binding->context, binding->implementation->contextSize);
        ToolkitFree(binding->context);
    }
    *binding = {};
}

// Out of memory and the two statuses kept for failures no other record can
// mend end the walk at once.
static bool StopsTheWalk(int status)
{
    return status == kToolkitNoMemory || status == kToolkitImplementation1 || status == kToolkitFatal;
}

int ChooseImplementation(ToolkitBinding* binding, const ToolkitAlgorithmType* type, int encrypt,
                         ToolkitKeyObject key, ToolkitAlgorithmChooser chooser, const void* parameters)
{
    ReleaseBinding(binding);
    int last = kToolkitNoImplementation;
    for (ToolkitAlgorithmChooser record = chooser; record && *record; ++record) {
        const ToolkitMethodRecord& r = **record;
        if (r.type != type || r.encrypt != encrypt)
            continue;
        const void* keyValue = nullptr;
        if (r.keyInfo) {
            void* value = nullptr;
            int status = GetKeyInfo(&value, key, r.keyInfo);
            if (status) {
                if (StopsTheWalk(status))
                    return status;
                last = status;
                continue;
            }
            keyValue = value;
        }
        const ToolkitImplementation* implementation = r.implementation;
        void* context = ToolkitAlloc(implementation->contextSize);
        if (!context)
            return kToolkitNoMemory;
        CryptoMemSet(context, 0, implementation->contextSize);
        ToolkitBinding candidate = {implementation, context};
        int status = TranslateImplementationCode(implementation->init(context, keyValue, parameters, encrypt));
        if (status == 0) {
            *binding = candidate;
            return 0;
        }
        ReleaseBinding(&candidate);
        if (StopsTheWalk(status))
            return status;
        last = status;
    }
    return last;
}

namespace {

void ChosenDestroy(ToolkitMethod* method)
{
    ReleaseBinding(&method->binding);
}

int ChosenInit(ToolkitMethod* method, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
               const ToolkitSurrender*)
{
    // Digests and random generators are listed with direction 0.
    int encrypt = method->kind == kMethodCipher ? direction : 0;
    return ChooseImplementation(&method->binding, method->type, encrypt, key, chooser, method->state);
}

int ChosenUpdate(ToolkitMethod* method, int, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen, const ToolkitSurrender* surrender)
{
    unsigned int ignored = 0;
    const ToolkitBinding& b = method->binding;
    return TranslateImplementationCode(
        b.implementation->update(b.context, out, outLen ? outLen : &ignored, maxOut, in, inLen, surrender));
}

int ChosenFinal(ToolkitMethod* method, int, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                const ToolkitSurrender*)
{
    const ToolkitBinding& b = method->binding;
    return TranslateImplementationCode(b.implementation->final(b.context, out, outLen, maxOut));
}

} // namespace

const ToolkitMethodOps kChosenMethodOps = {ChosenDestroy, ChosenInit, ChosenUpdate, ChosenFinal};

int CreateChosenMethod(ToolkitAlgorithmObject object, int kind, const ToolkitAlgorithmType* type)
{
    auto* method = static_cast<ToolkitMethod*>(ToolkitAlloc(sizeof(ToolkitMethod)));
    if (!method)
        return kToolkitNoMemory;
    *method = {};
    method->kind = kind;
    method->ops = &kChosenMethodOps;
    method->type = type;
    object->method = method;
    return 0;
}

namespace {

// Check order: the object (bad), the method (515) of the front's kind (517),
// then, for update and final, the init (notStarted).
int CheckMethod(ToolkitAlgorithmObject object, int kind, int kind2, bool needsInit, int bad, int notStarted)
{
    if (CheckAlgorithmObject(object))
        return bad;
    if (!object->method)
        return kToolkitNoMethod;
    if (object->method->kind != kind && object->method->kind != kind2)
        return kToolkitWrongKind;
    if (needsInit && !object->initialised)
        return notStarted;
    return 0;
}

int CheckFront(ToolkitAlgorithmObject object, int kind, int kind2, bool needsInit)
{
    return CheckMethod(object, kind, kind2, needsInit, kToolkitBadAlgorithmObject, kToolkitNotInitialised);
}

int CheckRandomArgument(ToolkitAlgorithmObject random)
{
    return random && CheckAlgorithmObject(random) ? kToolkitBadRandomObject : 0;
}

int RunInit(ToolkitAlgorithmObject object, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
            const ToolkitSurrender* surrender)
{
    object->initialised = 0;
    int status = object->method->ops->init(object->method, direction, key, chooser, surrender);
    if (status == 0)
        object->initialised = 1;
    return status;
}

int CodeInit(ToolkitAlgorithmObject object, int direction)
{
    if (int status = CheckFront(object, kMethodTextCoder, kMethodTextCoder, false))
        return status;
    return RunInit(object, direction, nullptr, nullptr, nullptr);
}

int CodeUpdate(ToolkitAlgorithmObject object, int direction, unsigned char* out, unsigned int* outLen,
               unsigned int maxOut, const unsigned char* in, unsigned int inLen)
{
    if (int status = CheckFront(object, kMethodTextCoder, kMethodTextCoder, true))
        return status;
    return object->method->ops->update(object->method, direction, out, outLen, maxOut, in, inLen, nullptr);
}

int CodeFinal(ToolkitAlgorithmObject object, int direction, unsigned char* out, unsigned int* outLen,
              unsigned int maxOut)
{
    if (int status = CheckFront(object, kMethodTextCoder, kMethodTextCoder, true))
        return status;
    return object->method->ops->final(object->method, direction, out, outLen, maxOut, nullptr);
}

int CipherInit(ToolkitAlgorithmObject object, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
               const ToolkitSurrender* surrender)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (int status = CheckKeyObject(key))
        return status;
    if (int status = CheckFront(object, kMethodCipher, kMethodPaddingCipher, false))
        return status;
    return RunInit(object, direction, key, chooser, surrender);
}

int CipherUpdate(ToolkitAlgorithmObject object, int direction, unsigned char* out, unsigned int* outLen,
                 unsigned int maxOut, const unsigned char* in, unsigned int inLen, ToolkitAlgorithmObject random,
                 const ToolkitSurrender* surrender)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (int status = CheckRandomArgument(random))
        return status;
    if (int status = CheckFront(object, kMethodCipher, kMethodPaddingCipher, true))
        return status;
    object->method->random = random;
    int status = object->method->ops->update(object->method, direction, out, outLen, maxOut, in, inLen, surrender);
    object->method->random = nullptr;
    return status;
}

int CipherFinal(ToolkitAlgorithmObject object, int direction, unsigned char* out, unsigned int* outLen,
                unsigned int maxOut, ToolkitAlgorithmObject random, const ToolkitSurrender* surrender)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (int status = CheckRandomArgument(random))
        return status;
    if (int status = CheckFront(object, kMethodCipher, kMethodPaddingCipher, true))
        return status;
    object->method->random = random;
    int status = object->method->ops->final(object->method, direction, out, outLen, maxOut, surrender);
    object->method->random = nullptr;
    return status;
}

} // namespace

int EncodeInit(ToolkitAlgorithmObject object)
{
    return CodeInit(object, 1);
}

int EncodeUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen)
{
    return CodeUpdate(object, 1, out, outLen, maxOut, in, inLen);
}

int EncodeFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    return CodeFinal(object, 1, out, outLen, maxOut);
}

int DecodeInit(ToolkitAlgorithmObject object)
{
    return CodeInit(object, 0);
}

int DecodeUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen)
{
    return CodeUpdate(object, 0, out, outLen, maxOut, in, inLen);
}

int DecodeFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    return CodeFinal(object, 0, out, outLen, maxOut);
}

int EncryptInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender* surrender)
{
    return CipherInit(object, 1, key, chooser, surrender);
}

int EncryptUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                  const unsigned char* in, unsigned int inLen, ToolkitAlgorithmObject random,
                  const ToolkitSurrender* surrender)
{
    return CipherUpdate(object, 1, out, outLen, maxOut, in, inLen, random, surrender);
}

int EncryptFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 ToolkitAlgorithmObject random, const ToolkitSurrender* surrender)
{
    return CipherFinal(object, 1, out, outLen, maxOut, random, surrender);
}

int DecryptInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender* surrender)
{
    return CipherInit(object, 0, key, chooser, surrender);
}

int DecryptUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                  const unsigned char* in, unsigned int inLen, ToolkitAlgorithmObject random,
                  const ToolkitSurrender* surrender)
{
    return CipherUpdate(object, 0, out, outLen, maxOut, in, inLen, random, surrender);
}

int DecryptFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 ToolkitAlgorithmObject random, const ToolkitSurrender* surrender)
{
    return CipherFinal(object, 0, out, outLen, maxOut, random, surrender);
}

int DigestInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
               const ToolkitSurrender* surrender)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (int status = CheckKeyObject(key))
        return status;
    if (int status = CheckFront(object, kMethodDigest, kMethodDigest, false))
        return status;
    return RunInit(object, 0, key, chooser, surrender);
}

int DigestUpdate(ToolkitAlgorithmObject object, const unsigned char* in, unsigned int inLen,
                 const ToolkitSurrender* surrender)
{
    if (int status = CheckFront(object, kMethodDigest, kMethodDigest, true))
        return status;
    return object->method->ops->update(object->method, 0, nullptr, nullptr, 0, in, inLen, surrender);
}

int DigestFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                const ToolkitSurrender* surrender)
{
    if (int status = CheckFront(object, kMethodDigest, kMethodDigest, true))
        return status;
    return object->method->ops->final(object->method, 0, out, outLen, maxOut, surrender);
}

int RandomInit(ToolkitAlgorithmObject object, ToolkitAlgorithmChooser chooser, const ToolkitSurrender* surrender)
{
    if (int status = CheckMethod(object, kMethodRandom, kMethodRandom, false, kToolkitBadRandomObject,
                                 kToolkitRandomNotStarted))
        return status;
    return RunInit(object, 0, nullptr, chooser, surrender);
}

int RandomUpdate(ToolkitAlgorithmObject object, const unsigned char* seed, unsigned int seedLen,
                 const ToolkitSurrender* surrender)
{
    if (int status = CheckMethod(object, kMethodRandom, kMethodRandom, true, kToolkitBadRandomObject,
                                 kToolkitRandomNotStarted))
        return status;
    return object->method->ops->update(object->method, 0, nullptr, nullptr, 0, seed, seedLen, surrender);
}

int GenerateRandomBytes(ToolkitAlgorithmObject object, unsigned char* out, unsigned int outLen,
                        const ToolkitSurrender* surrender)
{
    if (int status = CheckMethod(object, kMethodRandom, kMethodRandom, true, kToolkitBadRandomObject,
                                 kToolkitRandomNotStarted))
        return status;
    unsigned int written = 0;
    return object->method->ops->final(object->method, 0, out, &written, outLen, surrender);
}
