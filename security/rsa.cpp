// RSA: the private-key operation by the Chinese remainder theorem, the
// public-key operation, and the PKCS #1 v1.5 block-padding ciphers around
// them.

#include "security/rsa.h"

#include "security/ber.h"
#include "security/big_number.h"
#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstring>

const ToolkitAlgorithmType kRSAPublicAlgorithm = {"RSA public"};

namespace {

constexpr unsigned int kMaxModulusBits = 1024;
constexpr int kMaxPrimeDigits = 33;
constexpr unsigned int kMaxBlock = kMaxModulusBits / 8;
constexpr unsigned int kMinPaddedBlock = 12;

struct RSAContext {
    unsigned int blockLength;
    unsigned char block[kMaxBlock];
    unsigned int held;
    int primeDigits;
    BigDigit modulus[2 * kMaxPrimeDigits];
    BigDigit p[kMaxPrimeDigits];
    BigDigit q[kMaxPrimeDigits];
    BigDigit dP[kMaxPrimeDigits];
    BigDigit dQ[kMaxPrimeDigits];
    BigDigit qInv[kMaxPrimeDigits];
};

unsigned int OctetBits(const ToolkitItem& item)
{
    unsigned int i = 0;
    while (i < item.length && item.data[i] == 0)
        ++i;
    if (i == item.length)
        return 0;
    unsigned int bits = 8 * (item.length - i);
    for (unsigned char top = item.data[i]; !(top & 0x80); top = static_cast<unsigned char>(top << 1))
        --bits;
    return bits;
}

int RSAInit(void* context, const void* keyValue, const void*, int)
{
    auto* c = static_cast<RSAContext*>(context);
    auto* key = static_cast<const ToolkitRSAPrivateCRTKey*>(keyValue);
    unsigned int bits = OctetBits(key->modulus);
    if (bits > kMaxModulusBits)
        return 7;
    if (bits == 0)
        return 13;
    c->blockLength = (bits + 7) / 8;
    if (BigFromOctets(c->p, kMaxPrimeDigits, key->prime[0].data, key->prime[0].length))
        return 13;
    int dp = BigBits(c->p, kMaxPrimeDigits) / 16 + 1;
    if (dp > kMaxPrimeDigits || BigSign(c->p, kMaxPrimeDigits) == 0)
        return 13;
    c->primeDigits = dp;
    if (BigFromOctets(c->q, dp, key->prime[1].data, key->prime[1].length) ||
        BigFromOctets(c->dP, dp, key->primeExponent[0].data, key->primeExponent[0].length) ||
        BigFromOctets(c->dQ, dp, key->primeExponent[1].data, key->primeExponent[1].length) ||
        BigFromOctets(c->qInv, dp, key->coefficient.data, key->coefficient.length) ||
        BigFromOctets(c->modulus, 2 * dp, key->modulus.data, key->modulus.length) ||
        BigSign(c->q, dp) == 0)
        return 13;
    c->held = 0;
    return 0;
}

int Surrendered(const ToolkitSurrender* surrender)
{
    return surrender && surrender->function ? surrender->function(surrender->data) : 0;
}

// One block: m = m2 + q * ((m1 - m2) * qInv mod p).
int Transform(RSAContext* c, unsigned char* out, const ToolkitSurrender* surrender)
{
    const int dp = c->primeDigits;
    const int dn = 2 * dp;
    BigDigit input[2 * kMaxPrimeDigits + 2], m1[2 * kMaxPrimeDigits], m2[2 * kMaxPrimeDigits],
        t[2 * kMaxPrimeDigits], h[2 * kMaxPrimeDigits];
    BigModulus modulus;
    int status = 0;
    // One more digit than the modulus, so a full block never reads as negative.
    BigFromOctets(input, dn + 1, c->block, c->blockLength);
    BigDigit n1[2 * kMaxPrimeDigits + 2];
    BigCopy(n1, c->modulus, dn);
    n1[dn] = 0;
    if (BigCompare(input, n1, dn + 1) >= 0) {
        status = 5;
    } else {
        BigMod(t, input, dn, c->p, dp);
        BigModulusSet(&modulus, c->p, dp);
        BigModExp(m1, t, c->dP, dp, &modulus);
        if (!(status = Surrendered(surrender))) {
            BigMod(t, input, dn, c->q, dp);
            BigModulusSet(&modulus, c->q, dp);
            BigModExp(m2, t, c->dQ, dp, &modulus);
            status = Surrendered(surrender);
        }
        if (!status) {
            // m2 may exceed p when q > p. Taken mod p first, the difference
            // needs p added at most once to be non-negative, whatever the key.
            BigMod(t, m2, dp, c->p, dp);
            BigSub(h, m1, t, dp);
            while (BigSign(h, dp) < 0)
                BigAdd(h, h, c->p, dp);
            BigMultiply(t, h, c->qInv, dp);
            BigMod(h, t, dn, c->p, dp);
            BigZero(h + dp, dp);
            BigZero(t, dn);
            BigCopy(t, c->q, dp);
            BigMultiply(m1, h, t, dp);
            BigZero(m2 + dp, dp);
            BigAdd(m1, m1, m2, dn);
            status = BigToOctets(out, c->blockLength, m1, dn) ? 5 : 0;
        }
    }
    explicit_bzero(input, sizeof input);
    explicit_bzero(m1, sizeof m1);
    explicit_bzero(m2, sizeof m2);
    explicit_bzero(t, sizeof t);
    explicit_bzero(h, sizeof h);
    BigModulusClear(&modulus);
    return status;
}

// Gathers input into whole blocks of the context and writes each through
// transform(out); what is left waits for more. The private and the public
// context share the fields it uses.
template <class Context, class Transform>
int UpdateBlocks(Context* c, unsigned char* out, unsigned int* outLen, unsigned int maxOut, const unsigned char* in,
                 unsigned int inLen, Transform transform)
{
    *outLen = 0;
    while (inLen) {
        unsigned int take = c->blockLength - c->held;
        if (take > inLen)
            take = inLen;
        CryptoMemCopy(c->block + c->held, in, take);
        c->held += take;
        in += take;
        inLen -= take;
        if (c->held < c->blockLength)
            break;
        if (maxOut - *outLen < c->blockLength)
            return 10;
        if (int status = transform(out + *outLen))
            return status;
        *outLen += c->blockLength;
        c->held = 0;
    }
    return 0;
}

// A part block left at the end is an error.
template <class Context>
int FinalBlocks(void* context, unsigned char*, unsigned int* outLen, unsigned int)
{
    *outLen = 0;
    return static_cast<Context*>(context)->held ? 6 : 0;
}

template <class Context>
unsigned int BlockLengthOf(const void* context)
{
    return static_cast<const Context*>(context)->blockLength;
}

int RSAUpdate(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
              const unsigned char* in, unsigned int inLen, const ToolkitSurrender* surrender)
{
    auto* c = static_cast<RSAContext*>(context);
    return UpdateBlocks(c, out, outLen, maxOut, in, inLen,
                        [&](unsigned char* block) { return Transform(c, block, surrender); });
}

constexpr int kPublicDigits = kMaxModulusBits / 16 + 2;

struct RSAPublicContext {
    unsigned int blockLength;
    unsigned char block[kMaxBlock];
    unsigned int held;
    int digits;
    BigDigit modulus[kPublicDigits];
    BigDigit exponent[kPublicDigits];
};

int RSAPublicInit(void* context, const void* keyValue, const void*, int)
{
    auto* c = static_cast<RSAPublicContext*>(context);
    auto* key = static_cast<const ToolkitRSAPublicKey*>(keyValue);
    unsigned int bits = OctetBits(key->modulus);
    if (bits > kMaxModulusBits)
        return 7;
    if (bits == 0 || OctetBits(key->exponent) == 0)
        return 13;
    c->blockLength = (bits + 7) / 8;
    c->digits = static_cast<int>(bits / 16 + 1);
    if (BigFromOctets(c->modulus, c->digits, key->modulus.data, key->modulus.length) ||
        BigFromOctets(c->exponent, c->digits, key->exponent.data, key->exponent.length))
        return 13;
    c->held = 0;
    return 0;
}

// One block through the public exponent.
int PublicTransform(RSAPublicContext* c, unsigned char* out)
{
    BigDigit input[kPublicDigits + 1], result[kPublicDigits + 1];
    BigFromOctets(input, c->digits + 1, c->block, c->blockLength);
    BigDigit n1[kPublicDigits + 1];
    BigCopy(n1, c->modulus, c->digits);
    n1[c->digits] = 0;
    if (BigCompare(input, n1, c->digits + 1) >= 0)
        return 5;
    BigModulus modulus;
    BigModulusSet(&modulus, c->modulus, c->digits);
    BigModExp(result, input, c->exponent, c->digits, &modulus);
    BigModulusClear(&modulus);
    if (BigToOctets(out, c->blockLength, result, c->digits))
        return 5;
    explicit_bzero(input, sizeof input);
    explicit_bzero(result, sizeof result);
    return 0;
}

int RSAPublicUpdate(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                    const unsigned char* in, unsigned int inLen, const ToolkitSurrender*)
{
    auto* c = static_cast<RSAPublicContext*>(context);
    return UpdateBlocks(c, out, outLen, maxOut, in, inLen, [c](unsigned char* block) { return PublicTransform(c, block); });
}

// The padding cipher's own state.
struct PaddingState {
    unsigned char buffer[kMaxBlock];
    unsigned int size;
    unsigned int fill;
    unsigned int limit;
};

void PaddingDestroy(ToolkitMethod* method)
{
    ReleaseBinding(&method->binding);
}

int PaddingInit(ToolkitMethod* method, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender*)
{
    auto* s = static_cast<PaddingState*>(method->state);
    // Both directions of the private cipher run the private operation:
    // decryption, and signing.
    int operation = method->type == &kRSAPrivateAlgorithm ? 0 : direction;
    if (int status = ChooseImplementation(&method->binding, method->type, operation, key, chooser))
        return status;
    s->size = method->binding.implementation->blockLength(method->binding.context);
    s->fill = 0;
    if (s->size < kMinPaddedBlock)
        return kToolkitLookup;
    s->limit = direction ? s->size - 11 : s->size;
    return 0;
}

int PaddingUpdate(ToolkitMethod* method, int, unsigned char*, unsigned int* outLen, unsigned int,
                  const unsigned char* in, unsigned int inLen, const ToolkitSurrender*)
{
    auto* s = static_cast<PaddingState*>(method->state);
    *outLen = 0;
    if (inLen > s->limit - s->fill)
        return kToolkitLength;
    CryptoMemCopy(s->buffer + s->fill, in, inLen);
    s->fill += inLen;
    return 0;
}

int RunOperation(ToolkitMethod* method, unsigned char* out, const unsigned char* in, unsigned int inLen,
                 const ToolkitSurrender* surrender)
{
    const ToolkitBinding& b = method->binding;
    unsigned int written = 0, finished = 0;
    int status = b.implementation->update(b.context, out, &written, kMaxBlock, in, inLen, surrender);
    if (!status)
        status = b.implementation->final(b.context, out + written, &finished, 0);
    return TranslateImplementationCode(status);
}

// DigestInfo = SEQUENCE { SEQUENCE { OID, parameters ANY OPTIONAL }, OCTET
// STRING }. Slots: 0 algorithm, 1 parameters, 2 digest.
const BerTemplateEntry kDigestInfoTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny | kBerOptional, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 2},
    {kBerEnd, nullptr, nullptr, 0},
};

// Block type 1 as a signature verification reads it: 00 01, at least eight
// FF, 00, and a DigestInfo that ends exactly at the end of the block, in
// DER, with no parameters but NULL. Anything looser lets a small public
// exponent accept forged signatures. Answers the DigestInfo's offset or 0.
unsigned int CheckSignatureBlock(const unsigned char* block, unsigned int size)
{
    if (size < 11 || block[0] != 0 || block[1] != 1)
        return 0;
    unsigned int i = 2;
    while (i < size && block[i] == 0xFF)
        ++i;
    if (i < 10 || i >= size || block[i] != 0)
        return 0;
    const unsigned char* info = block + i + 1;
    unsigned int length = size - i - 1;
    BerSlot algorithm = {}, parameters = {}, digest = {};
    void* slots[3] = {&algorithm, &parameters, &digest};
    unsigned int used = 0;
    if (BerDecode(kDigestInfoTemplate, slots, info, length, &used) || used != length)
        return 0;
    if (parameters.data && !(parameters.length == 2 && parameters.data[0] == 0x05 && parameters.data[1] == 0))
        return 0;
    ToolkitItem again = {};
    if (BerEncode(kDigestInfoTemplate, slots, &again))
        return 0;
    bool canonical = again.length == length && CryptoMemCompare(again.data, info, length) == 0;
    ToolkitFree(again.data);
    return canonical ? i + 1 : 0;
}

// Block type 2: 00 02, non-zero random octets each drawn on its own (a zero
// drawn again), 00, message.
int PadForEncryption(unsigned char* block, unsigned int size, const unsigned char* message, unsigned int length,
                     ToolkitAlgorithmObject random, const ToolkitSurrender* surrender)
{
    if (!random)
        return kToolkitBadRandomObject;
    unsigned int pad = size - length - 3;
    block[0] = 0;
    block[1] = 2;
    for (unsigned int i = 0; i < pad; ++i) {
        unsigned char octet = 0;
        while (octet == 0)
            if (int status = GenerateRandomBytes(random, &octet, 1, surrender))
                return status;
        block[2 + i] = octet;
    }
    block[2 + pad] = 0;
    CryptoMemCopy(block + 3 + pad, message, length);
    return 0;
}

int PublicFinal(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                const ToolkitSurrender* surrender)
{
    auto* s = static_cast<PaddingState*>(method->state);
    unsigned char block[kMaxBlock];
    int status = 0;
    unsigned int fill = s->fill;
    s->fill = 0;
    if (direction) {
        if (maxOut < s->size)
            status = kToolkitOutputRoom;
        else if (!(status = PadForEncryption(block, s->size, s->buffer, fill, method->random, surrender)) &&
                 !(status = RunOperation(method, out, block, s->size, surrender)))
            *outLen = s->size;
    } else if (!(status = RunOperation(method, block, s->buffer, fill, surrender))) {
        unsigned int at = CheckSignatureBlock(block, s->size);
        if (!at)
            status = kToolkitData;
        else if (maxOut < s->size - at)
            status = kToolkitOutputRoom;
        else {
            CryptoMemCopy(out, block + at, s->size - at);
            *outLen = s->size - at;
        }
    }
    explicit_bzero(block, sizeof block);
    explicit_bzero(s->buffer, sizeof s->buffer);
    return status;
}

int PaddingFinal(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen,
                 unsigned int maxOut, const ToolkitSurrender* surrender)
{
    auto* s = static_cast<PaddingState*>(method->state);
    *outLen = 0;
    if (method->type == &kRSAPublicAlgorithm)
        return PublicFinal(method, direction, out, outLen, maxOut, surrender);
    unsigned char block[kMaxBlock];
    int status = 0;
    unsigned int fill = s->fill;
    s->fill = 0;
    if (direction) {
        // Block type 1: 00 01 FF..FF 00 message.
        if (s->size - fill < 3) {
            status = kToolkitLength;
        } else if (maxOut < s->size) {
            status = kToolkitOutputRoom;
        } else {
            unsigned int pad = s->size - fill - 3;
            block[0] = 0;
            block[1] = 1;
            CryptoMemSet(block + 2, 0xFF, pad);
            block[2 + pad] = 0;
            CryptoMemCopy(block + 3 + pad, s->buffer, fill);
            status = RunOperation(method, out, block, s->size, surrender);
            if (!status)
                *outLen = s->size;
        }
    } else {
        status = RunOperation(method, block, s->buffer, fill, surrender);
        if (!status) {
            unsigned int i = 2;
            while (i < s->size && block[i] != 0)
                ++i;
            unsigned int length = s->size - i - 1;
            if (block[0] != 0 || block[1] != 2 || i >= s->size || length > s->size - 11)
                status = kToolkitData;
            else if (maxOut < length)
                status = kToolkitOutputRoom;
            else {
                CryptoMemCopy(out, block + i + 1, length);
                *outLen = length;
            }
        }
    }
    explicit_bzero(block, sizeof block);
    explicit_bzero(s->buffer, sizeof s->buffer);
    return status;
}

const ToolkitMethodOps kPaddingOps = {PaddingDestroy, PaddingInit, PaddingUpdate, PaddingFinal};

int NoParameters(ToolkitAlgorithmObject, const void*)
{
    return 0;
}

int NoInfo(void** out, ToolkitAlgorithmObject)
{
    *out = nullptr;
    return 0;
}

int CreatePadding(ToolkitAlgorithmObject object, const ToolkitAlgorithmType* type)
{
    void* state = nullptr;
    if (int status = MemoryListAllocate(&object->memory, sizeof(PaddingState), &state))
        return status;
    auto* method = static_cast<ToolkitMethod*>(ToolkitAlloc(sizeof(ToolkitMethod)));
    if (!method)
        return kToolkitNoMemory;
    *method = {};
    method->kind = kMethodPaddingCipher;
    method->ops = &kPaddingOps;
    method->type = type;
    method->state = state;
    object->method = method;
    return 0;
}

int CreatePrivatePadding(ToolkitAlgorithmObject object)
{
    return CreatePadding(object, &kRSAPrivateAlgorithm);
}

int CreatePublicPadding(ToolkitAlgorithmObject object)
{
    return CreatePadding(object, &kRSAPublicAlgorithm);
}

const ToolkitAlgorithmInfo kRSAPrivateDecryptInfo = {NoParameters, CreatePrivatePadding, NoInfo};
const ToolkitAlgorithmInfo kRSAPublicInfo = {NoParameters, CreatePublicPadding, NoInfo};

} // namespace

const ToolkitImplementation kRSAPrivateImplementation = {sizeof(RSAContext),      RSAInit,
                                                         RSAUpdate,               FinalBlocks<RSAContext>,
                                                         BlockLengthOf<RSAContext>, nullptr};

const ToolkitImplementation kRSAPublicImplementation = {sizeof(RSAPublicContext),        RSAPublicInit,
                                                        RSAPublicUpdate,                 FinalBlocks<RSAPublicContext>,
                                                        BlockLengthOf<RSAPublicContext>, nullptr};

int RSAPrivateDecryptInfoType(const void** out)
{
    *out = &kRSAPrivateDecryptInfo;
    return 0;
}

int RSAPublicInfoType(const void** out)
{
    *out = &kRSAPublicInfo;
    return 0;
}
