#pragma once
// The stored key texts (PrivKey, SignedCert): base64 text, in lines or not,
// turned into the binary blocks the SSL layer takes, and those blocks bound
// to key objects.

class CByteBlock;
class CKeyObject;

// Frees what out held, then decodes text into it: out's length becomes the
// bytes decoded (an empty or null text gives an empty block). Tab, LF, CR
// and space are skipped anywhere, and so are armour lines ("-----BEGIN
// ...-----", "-----END ...-----"), so a pasted certificate loads. Throws
// CRSAException with kToolkitBadData for a character outside the alphabet
// or misplaced '=', kToolkitBadLength when the significant characters are
// not a multiple of 4, and kToolkitOutOfMemory; out is empty after a failure.
void DecodeKeyText(const char* text, CByteBlock* out);

// Binds a decoded PrivKey (PKCS #8 PrivateKeyInfo DER) to an empty key.
// Throws CRSAException: 524 malformed, 542 not an RSA key.
void BindPrivateKey(const CByteBlock& privateKey, CKeyObject& key);
// Binds the public key of a decoded SignedCert (X.509 DER) to an empty key.
void BindCertificateKey(const CByteBlock& certificate, CKeyObject& key);
