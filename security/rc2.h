#pragma once
// RC2 on one 8-byte block with an expanded key, and the parameter-version
// table that stands for effective key bits in encodings.

#include <cstdint>

struct RC2KeySchedule {
    std::uint16_t k[64];
};

// Key of 1 to 128 octets, effective bits 1 to 1024; 9 otherwise.
int RC2ExpandKey(RC2KeySchedule* schedule, const unsigned char* key, unsigned int length, unsigned int effectiveBits);
// Both take the schedule as void so that the CBC helper can call them.
void RC2EncryptBlock(const void* schedule, unsigned char* out, const unsigned char* in);
void RC2DecryptBlock(const void* schedule, unsigned char* out, const unsigned char* in);

// The version written for effective bits 0 to 255, and back (-1 for a
// version that is not in the table).
unsigned int RC2VersionOfBits(unsigned int effectiveBits);
int RC2BitsOfVersion(unsigned int version);
