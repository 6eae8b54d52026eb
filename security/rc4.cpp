// RC4 and the info type whose chooser records it is.

#include "security/toolkit_internal.h"

namespace {

struct RC4Context {
    unsigned int started;
    unsigned int i;
    unsigned int j;
    unsigned char state[256];
};

int RC4Init(void* context, const void* keyValue, const void*, int)
{
    auto* c = static_cast<RC4Context*>(context);
    auto* key = static_cast<const ToolkitItem*>(keyValue);
    if (!key || key->length == 0 || key->length > 256)
        return 12;
    for (int n = 0; n < 256; ++n)
        c->state[n] = static_cast<unsigned char>(n);
    unsigned int j = 0;
    for (unsigned int n = 0; n < 256; ++n) {
        j = (j + c->state[n] + key->data[n % key->length]) & 255;
        unsigned char t = c->state[n];
        c->state[n] = c->state[j];
        c->state[j] = t;
    }
    c->i = c->j = 0;
    c->started = 1;
    return 0;
}

int RC4Update(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
              const unsigned char* in, unsigned int inLen, const ToolkitSurrender*)
{
    auto* c = static_cast<RC4Context*>(context);
    *outLen = 0;
    if (maxOut < inLen)
        return 10;
    if (!c->started)
        return 11;
    unsigned int i = c->i, j = c->j;
    unsigned char* s = c->state;
    for (unsigned int n = 0; n < inLen; ++n) {
        i = (i + 1) & 255;
        j = (j + s[i]) & 255;
        unsigned char t = s[i];
        s[i] = s[j];
        s[j] = t;
        out[n] = in[n] ^ s[(s[i] + s[j]) & 255];
    }
    c->i = i;
    c->j = j;
    *outLen = inLen;
    return 0;
}

int RC4Final(void* context, unsigned char*, unsigned int* outLen, unsigned int)
{
    auto* c = static_cast<RC4Context*>(context);
    *outLen = 0;
    if (!c->started)
        return 11;
    c->started = 0;
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

int CreateCipher(ToolkitAlgorithmObject object)
{
    return CreateChosenMethod(object, kMethodCipher, &kRC4Algorithm);
}

const ToolkitAlgorithmInfo kRC4Info = {NoParameters, CreateCipher, NoInfo};

} // namespace

const ToolkitImplementation kRC4Implementation = {sizeof(RC4Context), RC4Init, RC4Update, RC4Final, nullptr,
                                                  nullptr};

int RC4InfoType(const void** out)
{
    *out = &kRC4Info;
    return 0;
}
