#pragma once
// The stored key texts (PrivKey, SignedCert): base64 text, in lines or not,
// turned into the binary blocks the SSL layer takes.

class CByteBlock;

// Frees what out held, then decodes text into it: out's length becomes the
// bytes decoded (an empty or null text gives an empty block). Tab, LF, CR
// and space are skipped anywhere. Throws CRSAException with kToolkitBadData
// for a character outside the alphabet or misplaced '=', kToolkitBadLength
// when the significant characters are not a multiple of 4, and
// kToolkitOutOfMemory; out is empty after a failure.
void DecodeKeyText(const char* text, CByteBlock* out);
