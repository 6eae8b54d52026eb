#pragma once
// The cryptographic toolkit: plain functions over two kinds of opaque
// handles. An algorithm object is bound once to an algorithm info type and
// then run through the init/update/final fronts of its kind; a key object
// holds one key in one or more representations. Every call returns a status:
// 0 for success, the codes below for failures.

#include <cstddef>

// Statuses.
inline constexpr int kToolkitInfoAlreadySet = 512;
inline constexpr int kToolkitImplementation15 = 513;
inline constexpr int kToolkitNotInitialised = 514;
inline constexpr int kToolkitNoMethod = 515;
inline constexpr int kToolkitBadAlgorithmObject = 516;
inline constexpr int kToolkitWrongKind = 517;
inline constexpr int kToolkitNoMemory = 518;
inline constexpr int kToolkitImplementation1 = 519;
inline constexpr int kToolkitFailure = 520;
inline constexpr int kToolkitImplementation3 = 521;
inline constexpr int kToolkitImplementation4 = 522;
inline constexpr int kToolkitFatal = 523; // a failure that ends the chooser walk
inline constexpr int kToolkitData = 524;
inline constexpr int kToolkitLength = 525;
inline constexpr int kToolkitKeyInfoAlreadySet = 526;
inline constexpr int kToolkitKeyDoesNotFit = 527;
inline constexpr int kToolkitBadKeyLength = 528;
inline constexpr int kToolkitKeyEmpty = 529;
inline constexpr int kToolkitBadKeyObject = 530;
inline constexpr int kToolkitKeyInfoType = 531;
inline constexpr int kToolkitKeyTooLong = 533;
inline constexpr int kToolkitNotStarted = 534;
inline constexpr int kToolkitLookup = 535;
inline constexpr int kToolkitOutputRoom = 536;
inline constexpr int kToolkitEncodingTooLong = 537;
inline constexpr int kToolkitRandomNotStarted = 538;
inline constexpr int kToolkitBadRandomObject = 539;
inline constexpr int kToolkitUnsupported = 541;
inline constexpr int kToolkitKeyForm = 542;
inline constexpr int kToolkitNoImplementation = 545;

struct ToolkitAlgorithmRecord;
struct ToolkitKeyRecord;
using ToolkitAlgorithmObject = ToolkitAlgorithmRecord*;
using ToolkitKeyObject = ToolkitKeyRecord*;

// Answers 0 for an algorithm info type (*out: its descriptor) or 1 for a
// key info type (*out: its set/get handlers).
using ToolkitInfoType = int (*)(const void** out);

// A {data, length} pair: how byte strings pass in and out of info types.
struct ToolkitItem {
    unsigned char* data;
    unsigned int length;
};

// The RSA private record: eight big-endian unsigned numbers.
struct ToolkitRSAPrivateKey {
    ToolkitItem modulus;
    ToolkitItem publicExponent;
    ToolkitItem privateExponent;
    ToolkitItem prime[2];
    ToolkitItem primeExponent[2];
    ToolkitItem coefficient;
};

// The form the RSA private operation takes (Chinese remainder theorem).
struct ToolkitRSAPrivateCRTKey {
    ToolkitItem modulus;
    ToolkitItem prime[2];
    ToolkitItem primeExponent[2];
    ToolkitItem coefficient;
};

struct ToolkitRSAPublicKey {
    ToolkitItem modulus;
    ToolkitItem exponent;
};

// Long operations ask function(data) between steps and stop with its
// non-zero answer. Null: never asked.
struct ToolkitSurrender {
    int (*function)(void* data);
    void* data;
};

struct ToolkitMethodRecord;
using ToolkitAlgorithmChooser = const ToolkitMethodRecord* const*;
// RC4 (decrypt), RC4 (encrypt), MD5, the MD5 random generator and the RSA
// private operation (CRT key, decrypt direction).
extern const ToolkitMethodRecord* const DefaultAlgorithmChooser[];

// Algorithm info types.
int Base64InfoType(const void** out);             // parameters: null
int RC4InfoType(const void** out);                // parameters: null
int MD5InfoType(const void** out);                // parameters: null
int RandomInfoType(const void** out);             // parameters: null
int RSAPrivateDecryptInfoType(const void** out);  // parameters: null
// Key info types.
int RawKeyInfoType(const void** out);             // ToolkitItem*
int PrivateKeyEncodedInfoType(const void** out);  // ToolkitItem*: PKCS #8 PrivateKeyInfo DER
int RSAPrivateKeyInfoType(const void** out);      // ToolkitRSAPrivateKey*
int RSAPrivateCRTKeyInfoType(const void** out);   // ToolkitRSAPrivateCRTKey*
int PublicKeyEncodedInfoType(const void** out);   // ToolkitItem*: SubjectPublicKeyInfo DER
int RSAPublicKeyInfoType(const void** out);       // ToolkitRSAPublicKey*

// Memory routines.
void CryptoMemSet(void* block, int value, unsigned int length);
void CryptoMemCopy(void* to, const void* from, unsigned int length);
void CryptoMemMove(void* to, const void* from, unsigned int length);
int CryptoMemCompare(const void* a, const void* b, unsigned int length);
void* CryptoRealloc(void* block, unsigned int size);
unsigned int CryptoStrLen(const char* text);
// ToolkitAlloc and ToolkitFree are declared in security/byte_block.h.

// Objects.
int CreateAlgorithmObject(ToolkitAlgorithmObject* out);
void DestroyAlgorithmObject(ToolkitAlgorithmObject* object);
int SetAlgorithmInfo(ToolkitAlgorithmObject object, ToolkitInfoType type, const void* parameters);
int GetAlgorithmInfo(void** out, ToolkitAlgorithmObject object, ToolkitInfoType type);
int CheckAlgorithmObject(ToolkitAlgorithmObject object);
int CreateKeyObject(ToolkitKeyObject* out);
void DestroyKeyObject(ToolkitKeyObject* key);
int SetKeyInfo(ToolkitKeyObject key, ToolkitInfoType type, const void* value);
int GetKeyInfo(void** out, ToolkitKeyObject key, ToolkitInfoType type);
int CheckKeyObject(ToolkitKeyObject key);

// Text coding.
int EncodeInit(ToolkitAlgorithmObject object);
int EncodeUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen);
int EncodeFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut);
int DecodeInit(ToolkitAlgorithmObject object);
int DecodeUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen);
int DecodeFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut);

// Ciphers.
int EncryptInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender* surrender);
int EncryptUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                  const unsigned char* in, unsigned int inLen, ToolkitAlgorithmObject random,
                  const ToolkitSurrender* surrender);
int EncryptFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 ToolkitAlgorithmObject random, const ToolkitSurrender* surrender);
int DecryptInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender* surrender);
int DecryptUpdate(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                  const unsigned char* in, unsigned int inLen, ToolkitAlgorithmObject random,
                  const ToolkitSurrender* surrender);
int DecryptFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 ToolkitAlgorithmObject random, const ToolkitSurrender* surrender);

// Digests.
int DigestInit(ToolkitAlgorithmObject object, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
               const ToolkitSurrender* surrender);
int DigestUpdate(ToolkitAlgorithmObject object, const unsigned char* in, unsigned int inLen,
                 const ToolkitSurrender* surrender);
int DigestFinal(ToolkitAlgorithmObject object, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                const ToolkitSurrender* surrender);

// Random generation.
int RandomInit(ToolkitAlgorithmObject object, ToolkitAlgorithmChooser chooser, const ToolkitSurrender* surrender);
int RandomUpdate(ToolkitAlgorithmObject object, const unsigned char* seed, unsigned int seedLen,
                 const ToolkitSurrender* surrender);
int GenerateRandomBytes(ToolkitAlgorithmObject object, unsigned char* out, unsigned int outLen,
                        const ToolkitSurrender* surrender);
