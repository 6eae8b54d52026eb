// MD5 and the info type whose chooser record it is.

#include "security/md5.h"

#include "security/digest_front.h"
#include "security/toolkit_internal.h"

#include <cstring>

namespace {

inline std::uint32_t Rotate(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

inline std::uint32_t Load(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

const std::uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
const int kShifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void Transform(std::uint32_t state[4], const unsigned char* block)
{
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = Load(block + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        switch (i / 16) {
        case 0: f = (b & c) | (~b & d); g = i; break;
        case 1: f = (d & b) | (~d & c); g = (5 * i + 1) & 15; break;
        case 2: f = b ^ c ^ d; g = (3 * i + 5) & 15; break;
        default: f = c ^ (b | ~d); g = (7 * i) & 15; break;
        }
        std::uint32_t t = d;
        d = c;
        c = b;
        b = b + Rotate(a + f + kSines[i] + x[g], kShifts[i / 16][i & 3]);
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    explicit_bzero(x, sizeof x);
}

} // namespace

void MD5Start(MD5Context* context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
    context->count[0] = context->count[1] = 0;
}

void MD5Add(MD5Context* context, const unsigned char* in, unsigned int length)
{
    unsigned int held = (context->count[0] >> 3) & 63;
    std::uint32_t bits = length << 3;
    context->count[0] += bits;
    if (context->count[0] < bits)
        ++context->count[1];
    context->count[1] += length >> 29;
    unsigned int room = 64 - held;
    unsigned int used = 0;
    if (length >= room) {
        CryptoMemCopy(context->buffer + held, in, room);
        Transform(context->state, context->buffer);
        // Whole blocks straight from the caller's input.
        for (used = room; used + 64 <= length; used += 64)
            Transform(context->state, in + used);
        held = 0;
    }
    CryptoMemCopy(context->buffer + held, in + used, length - used);
}

void MD5Finish(MD5Context* context, unsigned char digest[16])
{
    unsigned char bits[8];
    for (int i = 0; i < 8; ++i)
        bits[i] = static_cast<unsigned char>(context->count[i / 4] >> (8 * (i & 3)));
    static const unsigned char kPadding[64] = {0x80};
    unsigned int held = (context->count[0] >> 3) & 63;
    MD5Add(context, kPadding, held < 56 ? 56 - held : 120 - held);
    MD5Add(context, bits, 8);
    for (int i = 0; i < 16; ++i)
        digest[i] = static_cast<unsigned char>(context->state[i / 4] >> (8 * (i & 3)));
    explicit_bzero(context, sizeof *context);
    MD5Start(context);
}

namespace {

using MD5Front = DigestFront<MD5Context, MD5Start, MD5Add, MD5Finish, &kMD5Algorithm>;

const ToolkitAlgorithmInfo kMD5Info = {MD5Front::NoParameters, MD5Front::Create, MD5Front::NoInfo};

} // namespace

const ToolkitImplementation kMD5Implementation = {sizeof(MD5Context), MD5Front::Init, MD5Front::Update,
                                                  MD5Front::Final, nullptr, nullptr};

int MD5InfoType(const void** out)
{
    *out = &kMD5Info;
    return 0;
}
