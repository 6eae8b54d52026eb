#pragma once
// DES on one 8-byte block with a precomputed key schedule, and the CBC
// helper that chains blocks and keeps a residue between calls.

#include <cstdint>

struct DESKeySchedule {
    // Per round, the eight 6-bit groups in bits 1 to 6 of a byte, two to a
    // word with the earlier group in the low byte.
    std::uint16_t round[16][4];
};

// Round keys in encryption order.
void DESKeyScheduleForward(DESKeySchedule* schedule, const unsigned char key[8]);
// Round keys in decryption order.
void DESKeyScheduleReverse(DESKeySchedule* schedule, const unsigned char key[8]);
void DESBlockTransform(const DESKeySchedule* schedule, unsigned char out[8], const unsigned char in[8]);

using CBCBlockFunction = void (*)(const void* schedule, unsigned char* out, const unsigned char* in);

// Encrypts in CBC mode: output is (residue + input) rounded down to whole
// blocks, 10 when maxOut is smaller; the last (total mod 8) bytes stay in
// the residue. Answers an implementation code.
int CBCTransform(const void* schedule, unsigned char chain[8], unsigned char residue[8], unsigned int* residueLen,
                 CBCBlockFunction block, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen);
// 6 when bytes are left in the residue, else 0.
int CBCFinalCheck(unsigned int residueLen);

// DES keys carry odd parity in the low bit of each octet.
void DESSetOddParity(unsigned char key[8]);
bool DESHasOddParity(const unsigned char key[8]);

// The DES key info type: exactly 8 bytes with odd parity (542 for others
// when set); made from a raw key of 8 bytes by setting the parity bits.
int DESKeyInfoType(const void** out);
