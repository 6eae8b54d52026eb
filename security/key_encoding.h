#pragma once
// RSA keys in their standard encodings. The key info types themselves are
// declared in toolkit.h: PrivateKeyEncodedInfoType (PKCS #8 PrivateKeyInfo
// with a PKCS #1 RSAPrivateKey), PublicKeyEncodedInfoType
// (SubjectPublicKeyInfo) and the records they convert to.

#include "security/toolkit.h"

// Binds the public key of a DER X.509 certificate to key (as its
// SubjectPublicKeyInfo). 524 when the bytes are not a certificate, 542 when
// its key is not an RSA key.
int SetCertificateKeyInfo(ToolkitKeyObject key, const unsigned char* certificate, unsigned int length);
