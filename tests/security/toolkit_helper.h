#pragma once
// Running the toolkit's algorithms through its fronts, for the tests. Each
// answers the bytes made, or fails the calling test with the status.

#include "security/toolkit.h"

#include <string>

using Bytes = std::string;

// The toolkit's view of a byte string: its octets and their count.
inline unsigned char* U(Bytes& b)
{
    return reinterpret_cast<unsigned char*>(b.data());
}

inline const unsigned char* U(const Bytes& b)
{
    return reinterpret_cast<const unsigned char*>(b.data());
}

inline unsigned int N(const Bytes& b)
{
    return static_cast<unsigned int>(b.size());
}

Bytes FromHex(const std::string& hex);
std::string ToHex(const Bytes& bytes);

Bytes Md5(const Bytes& message);
Bytes Rc4(const Bytes& key, const Bytes& data);
Bytes Base64Encode(const Bytes& bytes);
// Decodes text; *status gets the toolkit status (the bytes are then empty).
Bytes Base64Decode(const Bytes& text, int* status);
Bytes DesEcb(const Bytes& key, const Bytes& data, bool encrypt);
Bytes DesCbcEncrypt(const Bytes& key, const Bytes& iv, const Bytes& data);
// The random generator seeded with each seed in turn, then asked for the
// byte counts in turn; the outputs joined.
Bytes RandomStream(const std::initializer_list<Bytes>& seeds, const std::initializer_list<unsigned>& counts);

// A private key from PKCS #8 DER; null (with the status) when it fails.
ToolkitKeyObject LoadPrivateKey(const Bytes& der, int* status);
// The RSA padding cipher: sign (block type 1) or decrypt (block type 2).
int RsaSign(ToolkitKeyObject key, const Bytes& message, Bytes* out);
int RsaDecrypt(ToolkitKeyObject key, const Bytes& block, Bytes* out);

// A key pair from the generator (layer chooser), with a random generator
// seeded with seed: the status and both keys' DER (PKCS #8 and
// SubjectPublicKeyInfo).
struct GeneratedKeyPair {
    int status = -1;
    Bytes privateDer, publicDer;
};
GeneratedKeyPair GenerateKeyPairFromSeed(unsigned int bits, const Bytes& exponent, const Bytes& seed);
