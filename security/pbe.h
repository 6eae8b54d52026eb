#pragma once
// PKCS #5 v1.5 password-based encryption as algorithm info types. The key
// object holds the password as a raw key; init derives the cipher key and
// IV from it by the scheme's digest and runs DES-CBC or RC2-CBC (64
// effective bits, as PKCS #5 fixes them) with PKCS #5 padding.

#include "security/toolkit.h"

struct ToolkitPBEParameters {
    ToolkitItem salt;        // 8 octets
    unsigned int iterations; // 1 to kPBEMaxIterations; 0 is refused at init (524)
};

// More iterations than this are refused when parameters are decoded: an
// encrypted key from outside must not cost unbounded time.
inline constexpr unsigned int kPBEMaxIterations = 65536;

int PBEWithMD2AndDESCBCInfoType(const void** out); // parameters: ToolkitPBEParameters*
int PBEWithMD5AndDESCBCInfoType(const void** out);
int PBEWithMD2AndRC2CBCInfoType(const void** out);
int PBEWithMD5AndRC2CBCInfoType(const void** out);

// The scheme of an OBJECT IDENTIFIER's content octets; null for none.
ToolkitInfoType PBEInfoTypeOfIdentifier(const unsigned char* oid, unsigned int length);
// The AlgorithmIdentifier DER of an object bound to a scheme: { OID,
// PBEParameter { salt, iterationCount } }. out gets a new block.
int EncodePBEAlgorithmIdentifier(ToolkitAlgorithmObject object, ToolkitItem* out);
// PBEParameter DER into parameters (salt points into der); 524 when
// malformed, the salt is not 8 octets or the count is 0 or too large.
int DecodePBEParameters(ToolkitPBEParameters* parameters, const unsigned char* der, unsigned int length);
