#pragma once
// Base64TextStream: octets in, base64 text lines of 64 characters out to a
// caller's line function; or base64 text in from a caller's read function,
// octets out. Any length passes through one fixed working buffer.

#include "security/toolkit_handle.h"

// The caller's side. Each returns 0 for success; read answers 280 at the
// end of its input and otherwise puts the bytes it gave in *got.
struct TextStreamCallbacks {
    int (*read)(unsigned char* buffer, unsigned int capacity, unsigned int* got, void* data);
    int (*line)(const char* line, void* data);
    void* unused1;
    int (*reset)(void* data);
    void* unused2;
    void* data;
};

inline constexpr unsigned int kTextStreamLine = 64;
inline constexpr unsigned int kTextStreamSlice = 500;   // octets encoded at a time
inline constexpr unsigned int kTextStreamText = 1001;   // characters held at most
inline constexpr unsigned int kTextStreamBuffer = 1009; // the text sits behind 8 bytes

struct Base64TextStream {
    int (*unsupported[2])(void* context);
    int (*read)(unsigned char* buffer, unsigned int* count, unsigned int capacity, void* context);
    int (*reset)(void* context);
    int (*write)(const unsigned char* octets, unsigned int length, void* context);
    void* context;
    unsigned int reserved;
    ToolkitAlgorithmObject coder;
    unsigned int fill;
    unsigned int position;
    int lastError;
    unsigned int direction; // 0 not set up, 1 encoding, 2 decoding
    int endOfInput;
    unsigned char* buffer;
    const TextStreamCallbacks* callbacks;
};

// Nothing is allocated until the first read or write.
int InitBase64TextStream(Base64TextStream* stream, const TextStreamCallbacks* callbacks);
// Emits every remaining line, the last one possibly shorter.
int FlushBase64TextStream(Base64TextStream* stream);
void CloseBase64TextStream(Base64TextStream* stream);
