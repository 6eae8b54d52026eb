#pragma once
// The RSA public-key cipher (parameters: null; key: RSAPublicKeyInfoType,
// or a form it is made from). Encryption pads as PKCS #1 block type 2 with
// non-zero octets from the random object given to the final (539 without
// one), for messages of at most the block length - 11 octets (525 for
// longer). Decryption verifies a signature: the block must be type 1 with
// at least eight FF octets and a DER DigestInfo that ends the block (524
// otherwise); its output is that DigestInfo. The private-key cipher is
// RSAPrivateDecryptInfoType in toolkit.h.

#include "security/toolkit.h"

int RSAPublicInfoType(const void** out);
