// MD2 and the info type whose chooser record it is.

#include "security/md2.h"

#include "security/digest_front.h"
#include "security/toolkit_internal.h"

#include <cstring>

const ToolkitAlgorithmType kMD2Algorithm = {"MD2"};

namespace {

// The permutation of 0..255 built from the digits of pi.
const unsigned char kS[256] = {
    41,  46,  67,  201, 162, 216, 124, 1,   61,  54,  84,  161, 236, 240, 6,   19,  98,  167, 5,   243, 192, 199,
    115, 140, 152, 147, 43,  217, 188, 76,  130, 202, 30,  155, 87,  60,  253, 212, 224, 22,  103, 66,  111, 24,
    138, 23,  229, 18,  190, 78,  196, 214, 218, 158, 222, 73,  160, 251, 245, 142, 187, 47,  238, 122, 169, 104,
    121, 145, 21,  178, 7,   63,  148, 194, 16,  137, 11,  34,  95,  33,  128, 127, 93,  154, 90,  144, 50,  39,
    53,  62,  204, 231, 191, 247, 151, 3,   255, 25,  48,  179, 72,  165, 181, 209, 215, 94,  146, 42,  172, 86,
    170, 198, 79,  184, 56,  210, 150, 164, 125, 182, 118, 252, 107, 226, 156, 116, 4,   241, 69,  157, 112, 89,
    100, 113, 135, 32,  134, 91,  207, 101, 230, 45,  168, 2,   27,  96,  37,  173, 174, 176, 185, 246, 28,  70,
    97,  105, 52,  64,  126, 15,  85,  71,  163, 35,  221, 81,  175, 58,  195, 92,  249, 206, 186, 197, 234, 38,
    44,  83,  13,  110, 133, 40,  132, 9,   211, 223, 205, 244, 65,  129, 77,  82,  106, 220, 55,  200, 108, 193,
    171, 250, 36,  225, 123, 8,   12,  189, 177, 74,  120, 136, 149, 139, 227, 99,  232, 109, 233, 203, 213, 254,
    59,  0,   29,  57,  242, 239, 183, 14,  102, 88,  208, 228, 166, 119, 114, 248, 235, 117, 75,  10,  49,  68,
    80,  180, 143, 237, 31,  26,  219, 153, 141, 51,  159, 17,  131, 20,
};

void Transform(MD2Context* c, const unsigned char* block)
{
    unsigned char x[48];
    for (int j = 0; j < 16; ++j) {
        x[j] = c->state[j];
        x[16 + j] = block[j];
        x[32 + j] = static_cast<unsigned char>(block[j] ^ c->state[j]);
    }
    unsigned int t = 0;
    for (unsigned int round = 0; round < 18; ++round) {
        for (int k = 0; k < 48; ++k)
            t = x[k] ^= kS[t];
        t = (t + round) & 255;
    }
    CryptoMemCopy(c->state, x, 16);
    unsigned char l = c->checksum[15];
    for (int j = 0; j < 16; ++j)
        l = c->checksum[j] ^= kS[block[j] ^ l];
    explicit_bzero(x, sizeof x);
}

} // namespace

void MD2Start(MD2Context* context)
{
    CryptoMemSet(context, 0, sizeof *context);
}

void MD2Add(MD2Context* context, const unsigned char* in, unsigned int length)
{
    while (length) {
        unsigned int take = 16 - context->count;
        if (take > length)
            take = length;
        CryptoMemCopy(context->buffer + context->count, in, take);
        context->count += take;
        in += take;
        length -= take;
        if (context->count == 16) {
            Transform(context, context->buffer);
            context->count = 0;
        }
    }
}

void MD2Finish(MD2Context* context, unsigned char digest[16])
{
    unsigned char pad[16];
    unsigned int n = 16 - context->count;
    CryptoMemSet(pad, static_cast<int>(n), n);
    MD2Add(context, pad, n);
    unsigned char checksum[16];
    CryptoMemCopy(checksum, context->checksum, 16);
    MD2Add(context, checksum, 16);
    CryptoMemCopy(digest, context->state, 16);
    explicit_bzero(checksum, sizeof checksum);
    MD2Start(context);
}

namespace {

using MD2Front = DigestFront<MD2Context, MD2Start, MD2Add, MD2Finish, &kMD2Algorithm>;

const ToolkitAlgorithmInfo kMD2Info = {MD2Front::NoParameters, MD2Front::Create, MD2Front::NoInfo};

} // namespace

const ToolkitImplementation kMD2Implementation = {sizeof(MD2Context), MD2Front::Init, MD2Front::Update,
                                                  MD2Front::Final, nullptr, nullptr};

int MD2InfoType(const void** out)
{
    *out = &kMD2Info;
    return 0;
}
