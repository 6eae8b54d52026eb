#pragma once
// MD5: the context and its three steps, also used by the random generator.

#include <cstdint>

struct MD5Context {
    std::uint32_t state[4];
    std::uint32_t count[2]; // bits, low word first
    unsigned char buffer[64];
};

void MD5Start(MD5Context* context);
void MD5Add(MD5Context* context, const unsigned char* in, unsigned int length);
// Writes the 16-byte digest and starts the context on a new message.
void MD5Finish(MD5Context* context, unsigned char digest[16]);
