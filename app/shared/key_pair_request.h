#pragma once
// A new RSA key pair and a certificate request for it, made through our
// toolkit the way a server's SSL texts are stored: each text base64 of its
// DER in 64-character lines, each line ended by CR LF. The three texts are
// produced together or not at all, so a failed attempt never leaves a key
// without its request or a request without its key.

#include <string>

inline constexpr unsigned kRequestModulusBits = 1024;
// What the key callback may deliver; a longer key is refused as malformed.
inline constexpr unsigned kMaxPrivateKeyOctets = 668;
inline constexpr unsigned kMaxPublicKeyOctets = 184;

struct CertRequestFields {
    std::string commonName;
    std::string country;
    std::string organization;
    std::string unit;
    std::string state;
    std::string locality;
};

struct GeneratedKeyTexts {
    std::string privKey;
    std::string pubKey;
    std::string certReq;
};

// 0 and out filled on success; otherwise the toolkit's non-zero status (or
// -1 for an exception) and out untouched.
int GenerateKeyTexts(const CertRequestFields& fields, GeneratedKeyTexts& out);

// octets as a stored key text.
std::string EncodeKeyText(const unsigned char* octets, unsigned length);
