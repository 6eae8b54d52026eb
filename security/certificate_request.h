#pragma once
// PKCS #10 certificate requests: one call generates an RSA key pair and a
// request for it signed with the new private key; the request leaves as DER
// through a Base64TextStream, the key pair through the caller's key
// callback.

#include "security/base64_text_stream.h"
#include "security/toolkit_handle.h"

inline constexpr int kSignatureMD2WithRSA = 6;
inline constexpr int kSignatureMD5WithRSA = 7;
// The signature must fit this many octets: a 1024-bit modulus at most.
inline constexpr unsigned int kRequestMaxSignature = 128;
inline constexpr unsigned int kRequestMaxDigest = 16;
// Room for the private key when it is delivered encrypted under a password.
inline constexpr unsigned int kRequestEncryptedKeyRoom = 713;

// Receives (public key DER, its length, private key DER or its encrypted
// form, its length, data); non-zero refuses the keys.
struct KeyOutputCallback {
    int (*function)(const unsigned char* publicKey, unsigned int publicLength, const unsigned char* privateKey,
                    unsigned int privateLength, void* data);
    void* data;
};

// Builds and signs a request; *request gets a new block (ToolkitAlloc)
// owned by the caller. digest and digestLength may be null; attributes may
// be null (the request then carries an empty attributes field).
int EncodeCertificateRequest(ToolkitItem* request, unsigned char* digest, unsigned int* digestLength,
                             ToolkitHandle* subject, const ToolkitItem* publicKey, ToolkitKeyObject privateKey,
                             ToolkitHandle* attributes, int selector, int version, const ToolkitLogCallback* log,
                             const ToolkitSurrender* surrender);

// Generates an RSA key pair of modulusBits (exponent 3, or 65537 with
// largeExponent) from the random object's generator, and a request for it
// signed with the new private key. Everything is made before anything
// leaves: the request is then written into stream, and only when that
// succeeded are the keys handed to keyOutput (public key DER, private key
// PKCS #8 DER, encrypted under password when one is given). So a failure
// at any step leaves the caller's keys as they were. The caller flushes
// and closes the stream. digest, digestLength, attributes, password and log
// may be null.
int GenerateCertificateRequest(Base64TextStream* stream, unsigned char* digest, unsigned int* digestLength,
                               ToolkitHandle* subject, int version, int selector, unsigned int modulusBits,
                               int largeExponent, ToolkitHandle* attributes, const unsigned char* password,
                               unsigned int passwordLength, int passwordAlgorithm, ToolkitHandle* random,
                               const KeyOutputCallback* keyOutput, const ToolkitLogCallback* log,
                               const ToolkitSurrender* surrender);
