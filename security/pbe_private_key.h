#pragma once
// Private keys delivered encrypted under a password: PKCS #5 v1.5
// EncryptedPrivateKeyInfo = SEQUENCE { encryptionAlgorithm, encryptedData
// OCTET STRING }. Statuses are the application layer's (toolkit_handle.h).

#include "security/toolkit_handle.h"

// The password-based selector: low four bits 8 pbeWithMD2AndDES-CBC, 9
// pbeWithMD5AndDES-CBC, 10 pbeWithMD2AndRC2-CBC, 11 pbeWithMD5AndRC2-CBC
// (others 307). The higher bits, RC2's effective bits for other uses, are
// ignored: these schemes fix RC2 at 64 bits. The salt is derived from the
// password and the data, so the same input gives the same output; the
// iteration count is 1. 301 when the result does not fit capacity.
int PbeEncryptPrivateKey(unsigned char* out, unsigned int* outLength, unsigned int capacity, const unsigned char* data,
                         unsigned int dataLength, const unsigned char* password, unsigned int passwordLength,
                         int selector, const ToolkitLogCallback* log, const ToolkitSurrender* surrender);

// 313 for a block that does not decode, 307 for an unknown scheme, 305 when
// the password does not open it (bad padding, or a result that is not one
// DER element), 301 when the result does not fit capacity.
int PbeDecryptPrivateKey(unsigned char* out, unsigned int* outLength, unsigned int capacity,
                         const unsigned char* block, unsigned int blockLength, const unsigned char* password,
                         unsigned int passwordLength, const ToolkitLogCallback* log, const ToolkitSurrender* surrender);
