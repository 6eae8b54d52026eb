#pragma once
// MD2: the context and its three steps, for the digest method and the
// password-based key derivation.

struct MD2Context {
    unsigned char state[16];
    unsigned char checksum[16];
    unsigned int count; // pending bytes, 0 to 15
    unsigned char buffer[16];
};

void MD2Start(MD2Context* context);
void MD2Add(MD2Context* context, const unsigned char* in, unsigned int length);
// Writes the 16-byte digest and starts the context on a new message.
void MD2Finish(MD2Context* context, unsigned char digest[16]);

// The MD2 digest's algorithm info type (parameters: null).
int MD2InfoType(const void** out);
