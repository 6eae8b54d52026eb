// The MD5-based random generator.

#include "security/md5.h"
#include "security/toolkit_internal.h"

namespace {

struct RandomContext {
    unsigned char state[16];
    unsigned char output[16];
    unsigned int left; // unused bytes at the tail of output
    MD5Context md5;
};

int RandomStart(void* context, const void*, const void*, int)
{
    auto* c = static_cast<RandomContext*>(context);
    CryptoMemSet(c->state, 0, sizeof c->state);
    c->left = 0;
    return 0;
}

// state += MD5(seed) as 128-bit big-endian numbers; the top carry is lost.
int RandomSeed(void* context, unsigned char*, unsigned int*, unsigned int, const unsigned char* in,
               unsigned int inLen, const ToolkitSurrender*)
{
    auto* c = static_cast<RandomContext*>(context);
    unsigned char digest[16];
    MD5Start(&c->md5);
    MD5Add(&c->md5, in, inLen);
    MD5Finish(&c->md5, digest);
    unsigned int carry = 0;
    for (int i = 15; i >= 0; --i) {
        carry += c->state[i] + digest[i];
        c->state[i] = static_cast<unsigned char>(carry);
        carry >>= 8;
    }
    CryptoMemSet(digest, 0, sizeof digest);
    return 0;
}

// The state moves on by its last byte; the increment travels to the byte
// before only while the byte just incremented held 0 before it. This is the
// generator's own rule (not a plain counter) and its streams depend on it.
void Advance(unsigned char* state)
{
    for (int i = 15; i >= 0; --i) {
        unsigned char before = state[i]++;
        if (before != 0)
            break;
    }
}

int RandomGenerate(void* context, unsigned char* out, unsigned int* outLen, unsigned int n)
{
    auto* c = static_cast<RandomContext*>(context);
    *outLen = 0;
    unsigned int done = 0;
    while (n > c->left) {
        CryptoMemCopy(out + done, c->output + 16 - c->left, c->left);
        done += c->left;
        n -= c->left;
        MD5Start(&c->md5);
        MD5Add(&c->md5, c->state, 16);
        MD5Finish(&c->md5, c->output);
        Advance(c->state);
        c->left = 16;
    }
    CryptoMemCopy(out + done, c->output + 16 - c->left, n);
    c->left -= n;
    *outLen = done + n;
    return 0;
}

int NoParameters(ToolkitAlgorithmObject, const void*)
{
    return 0;
}

int NoInfo(void** out, ToolkitAlgorithmObject)
{
    *out = nullptr;
    return 0;
}

int CreateRandom(ToolkitAlgorithmObject object)
{
    return CreateChosenMethod(object, kMethodRandom, &kRandomAlgorithm);
}

const ToolkitAlgorithmInfo kRandomInfo = {NoParameters, CreateRandom, NoInfo};

} // namespace

const ToolkitImplementation kRandomImplementation = {sizeof(RandomContext), RandomStart, RandomSeed,
                                                     RandomGenerate, nullptr, nullptr};

int RandomInfoType(const void** out)
{
    *out = &kRandomInfo;
    return 0;
}
