// RSA key-pair generation: a deterministic prime search from random
// starting values, then the PKCS #1 private key by the usual identities.

#include "security/rsa_key_generation.h"

#include "security/big_number.h"
#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstring>

const ToolkitAlgorithmType kRSAKeyGenerationAlgorithm = {"RSA key generation"};

namespace {

constexpr unsigned int kMinBits = 256;
constexpr unsigned int kMaxBits = 1024;
constexpr int kMaxDigits = 65;
// Working width: products of two primes and of two such numbers' halves.
constexpr int kWide = 2 * kMaxDigits + 2;
constexpr unsigned int kWindow = 1000;
constexpr unsigned int kLargestDivisor = 8999;

struct KeyGenerationContext {
    unsigned int bits;
    BigDigit exponent[kWide];
};

// Zeroed on every path out, as the numbers are key material.
template <int N>
struct Number {
    BigDigit d[N] = {};
    ~Number() { explicit_bzero(d, sizeof d); }
    operator BigDigit*() { return d; }
};

int Surrendered(const ToolkitSurrender* surrender)
{
    return surrender && surrender->function ? surrender->function(surrender->data) : 0;
}

int KeyGenerationInit(void* context, const void*, const void* parameters, int)
{
    auto* c = static_cast<KeyGenerationContext*>(context);
    auto* p = static_cast<const ToolkitRSAKeyGenerationParameters*>(parameters);
    if (!p || p->modulusBits < kMinBits || p->modulusBits > kMaxBits)
        return 7;
    BigZero(c->exponent, kWide);
    if (BigFromOctets(c->exponent, kMaxDigits, p->publicExponent.data, p->publicExponent.length))
        return 4;
    if (static_cast<unsigned int>(BigBits(c->exponent, kMaxDigits)) >= p->modulusBits)
        return 4;
    // Even exponents have no inverse; 1 would leave messages as they are.
    if (!(c->exponent[0] & 1) || BigBits(c->exponent, kMaxDigits) < 2)
        return 3;
    c->bits = p->modulusBits;
    return 0;
}

unsigned int SmallRemainder(const BigDigit* a, int n, unsigned int m)
{
    std::uint32_t r = 0;
    for (int i = n - 1; i >= 0; --i)
        r = ((r << 16) | a[i]) % m;
    return r;
}

// Euclid on non-negative numbers of kWide digits.
bool CoprimeWide(const BigDigit* a, const BigDigit* b)
{
    Number<kWide> x, y, t;
    BigCopy(x, a, kWide);
    BigCopy(y, b, kWide);
    while (BigSign(y, kWide) != 0) {
        BigMod(t, x, kWide, y, kWide);
        BigCopy(x, y, kWide);
        BigCopy(y, t, kWide);
    }
    return BigDigits(x, kWide) == 1 && x.d[0] == 1;
}

// a^-1 mod m (0 < a < m, coprime), all of kWide digits, by Euclid with the
// coefficients kept reduced mod m so that they stay non-negative.
void InverseWide(BigDigit* result, const BigDigit* a, const BigDigit* m)
{
    Number<kWide> r0, r1, t0, t1, q, rem, t;
    Number<2 * kWide> product;
    BigCopy(r0, m, kWide);
    BigCopy(r1, a, kWide);
    BigSetSmall(t1, 1, kWide);
    while (BigSign(r1, kWide) != 0) {
        BigDivide(q, rem, r0, kWide, r1, kWide);
        BigCopy(r0, r1, kWide);
        BigCopy(r1, rem, kWide);
        // t0 - q * t1 mod m
        BigMultiply(product, q, t1, kWide);
        BigMod(t, product, 2 * kWide, m, kWide);
        BigSub(t, t0, t, kWide);
        if (BigSign(t, kWide) < 0)
            BigAdd(t, t, m, kWide);
        BigCopy(t0, t1, kWide);
        BigCopy(t1, t, kWide);
    }
    BigCopy(result, t0, kWide);
}

// Searches the window of 1000 numbers above a start of n digits (as drawn)
// for a prime of b bits; 8 when there is none.
int FindPrime(BigDigit* prime, const BigDigit* start, int n, unsigned int b, const BigDigit* exponent)
{
    Number<kWide> base, candidate, less, power, small;
    BigCopy(base, start, n);
    // Bits b-1 and b-2 set, so that two such primes make a product of the
    // full size; nothing from bit b up; even.
    for (int i = 0; i < n; ++i) {
        unsigned int low = 16u * static_cast<unsigned int>(i);
        for (unsigned int bit = 0; bit < 16; ++bit) {
            unsigned int at = low + bit;
            BigDigit mask = static_cast<BigDigit>(1u << bit);
            if (at >= b || at == 0)
                base.d[i] = static_cast<BigDigit>(base.d[i] & ~mask);
            else if (at == b - 1 || at == b - 2)
                base.d[i] = static_cast<BigDigit>(base.d[i] | mask);
        }
    }
    unsigned char marked[kWindow] = {};
    for (unsigned int offset = 0; offset < kWindow; offset += 2)
        marked[offset] = 1;
    for (unsigned int m = 3; m <= kLargestDivisor; m += 2) {
        unsigned int r = SmallRemainder(base, n, m);
        for (unsigned int offset = r ? m - r : 0; offset < kWindow; offset += m)
            marked[offset] = 1;
    }
    static const int kBases[] = {3, 5, 7, 11};
    BigModulus modulus;
    int status = 8;
    for (unsigned int offset = 1; offset < kWindow && status; offset += 2) {
        if (marked[offset])
            continue;
        BigCopy(candidate, base, kWide);
        BigSetSmall(small, static_cast<int>(offset), kWide);
        BigAdd(candidate, candidate, small, kWide);
        // A start near the top of its range may carry past b bits.
        if (static_cast<unsigned int>(BigBits(candidate, kWide)) > b)
            break;
        BigCopy(less, candidate, kWide);
        BigDecrement(less, kWide);
        if (!CoprimeWide(exponent, less))
            continue;
        BigModulusSet(&modulus, candidate, n);
        bool passes = true;
        for (int a : kBases) {
            BigSetSmall(small, a, n);
            if (SmallRemainder(candidate, n, static_cast<unsigned int>(a)) == 0) {
                passes = false;
                break;
            }
            BigModExp(power, small, candidate, n, &modulus);
            if (BigCompare(power, small, n) != 0) {
                passes = false;
                break;
            }
        }
        if (passes) {
            BigCopy(prime, candidate, kWide);
            status = 0;
        }
    }
    BigModulusClear(&modulus);
    return status;
}

unsigned int Octets(unsigned int bits)
{
    return (bits + 7) / 8;
}

// The eight numbers of the key as big-endian octets, in one block.
struct KeyOctets {
    unsigned char bytes[3 * kMaxBits / 8 + 5 * (kMaxBits / 16 + 1)];
    ToolkitRSAPrivateKey key;
};

int Compute(KeyOctets* out, const KeyGenerationContext* c, BigDigit* p, BigDigit* q,
            const ToolkitSurrender* surrender)
{
    // p is the larger prime.
    if (BigCompare(p, q, kWide) < 0) {
        Number<kWide> t;
        BigCopy(t, p, kWide);
        BigCopy(p, q, kWide);
        BigCopy(q, t, kWide);
    }
    if (BigCompare(p, q, kWide) == 0)
        return 8; // drawn again, like a window without a prime
    Number<2 * kWide> wide;
    Number<kWide> n, p1, q1, phi, e, d, dP, dQ, qInv;
    BigMultiply(wide, p, q, kWide);
    BigCopy(n, wide, kWide);
    BigCopy(p1, p, kWide);
    BigDecrement(p1, kWide);
    BigCopy(q1, q, kWide);
    BigDecrement(q1, kWide);
    BigMultiply(wide, p1, q1, kWide);
    BigCopy(phi, wide, kWide);
    if (int status = Surrendered(surrender))
        return status;
    BigMod(e, c->exponent, kWide, phi, kWide);
    InverseWide(d, e, phi);
    if (int status = Surrendered(surrender))
        return status;
    BigMod(dP, d, kWide, p1, kWide);
    BigMod(dQ, d, kWide, q1, kWide);
    if (int status = Surrendered(surrender))
        return status;
    BigMod(e, q, kWide, p, kWide);
    InverseWide(qInv, e, p);
    if (int status = Surrendered(surrender))
        return status;

    const unsigned int full = Octets(c->bits), half = Octets((c->bits + 1) / 2);
    const BigDigit* numbers[8] = {n, c->exponent, d, p, q, dP, dQ, qInv};
    ToolkitItem* items = &out->key.modulus;
    unsigned char* at = out->bytes;
    for (int i = 0; i < 8; ++i) {
        unsigned int length = i < 3 ? full : half;
        if (BigToOctets(at, length, numbers[i], kWide))
            return 13;
        items[i] = {at, length};
        at += length;
    }
    return 0;
}

} // namespace

const ToolkitImplementation kRSAKeyGenerationImplementation = {sizeof(KeyGenerationContext), KeyGenerationInit,
                                                               nullptr, nullptr, nullptr, nullptr};

namespace {

struct KeyGenerationState {
    ToolkitRSAKeyGenerationParameters parameters;
};

void KeyGenerationDestroy(ToolkitMethod* method)
{
    ReleaseBinding(&method->binding);
}

int KeyGenerationMethodInit(ToolkitMethod* method, int, ToolkitKeyObject, ToolkitAlgorithmChooser chooser,
                            const ToolkitSurrender*)
{
    auto* s = static_cast<KeyGenerationState*>(method->state);
    return ChooseImplementation(&method->binding, &kRSAKeyGenerationAlgorithm, 0, nullptr, chooser, &s->parameters);
}

int Unsupported(ToolkitMethod*, int, unsigned char*, unsigned int*, unsigned int, const unsigned char*, unsigned int,
                const ToolkitSurrender*)
{
    return kToolkitUnsupported;
}

int UnsupportedFinal(ToolkitMethod*, int, unsigned char*, unsigned int*, unsigned int, const ToolkitSurrender*)
{
    return kToolkitUnsupported;
}

const ToolkitMethodOps kKeyGenerationOps = {KeyGenerationDestroy, KeyGenerationMethodInit, Unsupported,
                                            UnsupportedFinal};

int KeyGenerationSet(ToolkitAlgorithmObject object, const void* parameters)
{
    auto* given = static_cast<const ToolkitRSAKeyGenerationParameters*>(parameters);
    if (!given || (given->publicExponent.length && !given->publicExponent.data))
        return kToolkitData;
    // The state and a copy of the exponent in one block, the object's last.
    void* block = nullptr;
    if (int status = MemoryListAllocate(&object->memory, sizeof(KeyGenerationState) + given->publicExponent.length,
                                        &block))
        return status;
    auto* state = static_cast<KeyGenerationState*>(block);
    auto* exponent = static_cast<unsigned char*>(block) + sizeof(KeyGenerationState);
    CryptoMemCopy(exponent, given->publicExponent.data, given->publicExponent.length);
    state->parameters = {given->modulusBits, {exponent, given->publicExponent.length}};
    return 0;
}

int KeyGenerationCreate(ToolkitAlgorithmObject object)
{
    auto* method = static_cast<ToolkitMethod*>(ToolkitAlloc(sizeof(ToolkitMethod)));
    if (!method)
        return kToolkitNoMemory;
    *method = {};
    method->kind = kMethodKeyGeneration;
    method->ops = &kKeyGenerationOps;
    method->type = &kRSAKeyGenerationAlgorithm;
    method->state = object->memory.entries[object->memory.count - 1].block;
    object->method = method;
    return 0;
}

int KeyGenerationGet(void** out, ToolkitAlgorithmObject object)
{
    *out = &static_cast<KeyGenerationState*>(object->method->state)->parameters;
    return 0;
}

const ToolkitAlgorithmInfo kKeyGenerationInfo = {KeyGenerationSet, KeyGenerationCreate, KeyGenerationGet};

int CheckKeyGeneration(ToolkitAlgorithmObject object, bool needsInit)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (!object->method)
        return kToolkitNoMethod;
    if (object->method->kind != kMethodKeyGeneration)
        return kToolkitWrongKind;
    if (needsInit && !object->initialised)
        return kToolkitNotInitialised;
    return 0;
}

} // namespace

int RSAKeyGenerationInfoType(const void** out)
{
    *out = &kKeyGenerationInfo;
    return 0;
}

int GenerateInit(ToolkitAlgorithmObject object, ToolkitAlgorithmChooser chooser, const ToolkitSurrender* surrender)
{
    if (int status = CheckKeyGeneration(object, false))
        return status;
    object->initialised = 0;
    int status = object->method->ops->init(object->method, 0, nullptr, chooser, surrender);
    if (status == 0)
        object->initialised = 1;
    return status;
}

int GenerateKeyPair(ToolkitAlgorithmObject object, ToolkitKeyObject publicKey, ToolkitKeyObject privateKey,
                    ToolkitAlgorithmObject random, const ToolkitSurrender* surrender)
{
    if (CheckAlgorithmObject(object))
        return kToolkitBadAlgorithmObject;
    if (!publicKey || !privateKey || CheckKeyObject(publicKey) || CheckKeyObject(privateKey))
        return kToolkitBadKeyObject;
    if (CheckAlgorithmObject(random))
        return kToolkitBadRandomObject;
    if (int status = CheckKeyGeneration(object, true))
        return status;
    if (publicKey->info.count || privateKey->info.count)
        return kToolkitKeyInfoAlreadySet;
    auto* c = static_cast<const KeyGenerationContext*>(object->method->binding.context);
    const unsigned int bits = c->bits;
    const int n = static_cast<int>((bits + 1) / 32 + 1);
    const unsigned int drawn = (bits + 1) / 32 * 4 + 4;
    unsigned char octets[kMaxBits / 32 * 4 + 4];
    Number<kWide> start, p, q;
    auto* result = static_cast<KeyOctets*>(ToolkitAlloc(sizeof(KeyOctets)));
    if (!result)
        return kToolkitNoMemory;
    int status = 0;
    for (;;) {
        if ((status = GenerateRandomBytes(random, octets, drawn, surrender)))
            break;
        // Each prime starts from 2n octets read as big-endian pairs.
        BigZero(start, kWide);
        for (int i = 0; i < n; ++i)
            start.d[n - 1 - i] = static_cast<BigDigit>((octets[2 * i] << 8) | octets[2 * i + 1]);
        status = FindPrime(p, start, n, (bits + 1) / 2, c->exponent);
        if (status == 0) {
            BigZero(start, kWide);
            for (int i = 0; i < n; ++i)
                start.d[n - 1 - i] = static_cast<BigDigit>((octets[2 * n + 2 * i] << 8) | octets[2 * n + 2 * i + 1]);
            status = FindPrime(q, start, n, bits - (bits + 1) / 2, c->exponent);
        }
        if (status == 0)
            status = Compute(result, c, p, q, surrender);
        if (status != 8)
            break;
    }
    if (status == 0) {
        status = SetKeyInfo(privateKey, RSAPrivateKeyInfoType, &result->key);
        ToolkitRSAPublicKey pub = {result->key.modulus, result->key.publicExponent};
        if (status == 0)
            status = SetKeyInfo(publicKey, RSAPublicKeyInfoType, &pub);
    } else if (status == 13) {
        status = kToolkitKeyDoesNotFit;
    }
    explicit_bzero(octets, sizeof octets);
    explicit_bzero(result, sizeof(KeyOctets));
    ToolkitFree(result);
    return status;
}
