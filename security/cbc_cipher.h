#pragma once
// DES and RC2 in CBC mode as algorithm info types. The plain types leave
// padding to the caller (a final with a partial block is 525); the Pad types
// add PKCS #5 padding when encrypting and check and remove it when
// decrypting (524 for bad padding). Keys: DES-CBC takes DESKeyInfoType (or a
// raw key of 8 octets), RC2-CBC a raw key of 1 to 128 octets.

#include "security/toolkit.h"

struct ToolkitRC2CBCParameters {
    unsigned int effectiveBits; // 1 to 1024
    ToolkitItem iv;             // 8 octets
};

int DESCBCInfoType(const void** out);    // parameters: ToolkitItem* (the IV)
int DESCBCPadInfoType(const void** out); // parameters: ToolkitItem* (the IV)
int RC2CBCInfoType(const void** out);    // parameters: ToolkitRC2CBCParameters*
int RC2CBCPadInfoType(const void** out); // parameters: ToolkitRC2CBCParameters*

// RC2-CBC parameters as DER: SEQUENCE { version INTEGER OPTIONAL, iv OCTET
// STRING }, the version standing for the effective bits and left out for
// 32. Encoding: 513 for effective bits above 255, 524 for an IV that is not
// 8 octets; out gets a new block (ToolkitAlloc). Decoding: 524 for anything
// malformed, a version not in the table or an IV that is not 8 octets;
// out->iv points into der.
int EncodeRC2CBCParameters(const ToolkitRC2CBCParameters* parameters, ToolkitItem* out);
int DecodeRC2CBCParameters(ToolkitRC2CBCParameters* out, const unsigned char* der, unsigned int length);
