// Base64 text coding: the text-coder method behind Base64InfoType.

#include "security/byte_block.h"
#include "security/toolkit_internal.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kPad = 64;
constexpr int kInvalid = -1;
constexpr int kSkip = -2;

struct Base64State {
    unsigned int pending;
    int values[5];          // decoding: values held, one group ahead
    unsigned char bytes[3]; // encoding: bytes held
};

int CharValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    switch (c) {
    case '+': return 62;
    case '/': return 63;
    case '=': return kPad;
    case ' ':
    case '\t':
    case '\r':
    case '\n': return kSkip;
    default: return kInvalid;
    }
}

void EncodeGroup(const unsigned char* in, unsigned char* out)
{
    out[0] = kAlphabet[in[0] >> 2];
    out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
    out[2] = kAlphabet[((in[1] & 15) << 2) | (in[2] >> 6)];
    out[3] = kAlphabet[in[2] & 63];
}

int EncodeUpdateState(Base64State* s, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                      const unsigned char* in, unsigned int inLen)
{
    *outLen = 0;
    unsigned long long total = static_cast<unsigned long long>(s->pending) + inLen;
    if (total / 3 * 4 > maxOut)
        return kToolkitOutputRoom;
    unsigned int used = 0;
    if (s->pending && total >= 3) {
        while (s->pending < 3)
            s->bytes[s->pending++] = in[used++];
        EncodeGroup(s->bytes, out);
        *outLen += 4;
        s->pending = 0;
    }
    for (; inLen - used >= 3; used += 3) {
        EncodeGroup(in + used, out + *outLen);
        *outLen += 4;
    }
    while (used < inLen)
        s->bytes[s->pending++] = in[used++];
    return 0;
}

int EncodeFinalState(Base64State* s, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    *outLen = 0;
    if (!s->pending)
        return 0;
    if (maxOut < 4)
        return kToolkitOutputRoom;
    unsigned char group[3] = {s->bytes[0], static_cast<unsigned char>(s->pending > 1 ? s->bytes[1] : 0), 0};
    EncodeGroup(group, out);
    out[3] = '=';
    if (s->pending == 1)
        out[2] = '=';
    s->pending = 0;
    *outLen = 4;
    return 0;
}

// Decodes values[0..3]; padding decides how many bytes it gives.
int DecodeGroup(const int* v, bool last, unsigned char* out, unsigned int room, unsigned int* written)
{
    unsigned int bytes = 3;
    if (last) {
        if (v[0] == kPad || v[1] == kPad || (v[2] == kPad && v[3] != kPad))
            return kToolkitData;
        bytes = v[2] == kPad ? 1 : v[3] == kPad ? 2 : 3;
    } else if (v[0] == kPad || v[1] == kPad || v[2] == kPad || v[3] == kPad) {
        return kToolkitData;
    }
    if (bytes > room)
        return kToolkitOutputRoom;
    unsigned int bits = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2] & 63) << 6) |
                        unsigned(v[3] & 63);
    out[0] = static_cast<unsigned char>(bits >> 16);
    if (bytes > 1)
        out[1] = static_cast<unsigned char>(bits >> 8);
    if (bytes > 2)
        out[2] = static_cast<unsigned char>(bits);
    *written += bytes;
    return 0;
}

int DecodeUpdateState(Base64State* s, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                      const unsigned char* in, unsigned int inLen)
{
    *outLen = 0;
    for (unsigned int i = 0; i < inLen; ++i) {
        int value = CharValue(in[i]);
        if (value == kSkip)
            continue;
        if (value == kInvalid)
            return kToolkitData;
        s->values[s->pending++] = value;
        if (s->pending < 5)
            continue;
        // A fifth value proves the first four are not the last group.
        if (int status = DecodeGroup(s->values, false, out + *outLen, maxOut - *outLen, outLen))
            return status;
        s->values[0] = s->values[4];
        s->pending = 1;
    }
    return 0;
}

int DecodeFinalState(Base64State* s, unsigned char* out, unsigned int* outLen, unsigned int maxOut)
{
    *outLen = 0;
    if (!s->pending)
        return 0;
    if (s->pending != 4)
        return kToolkitLength;
    s->pending = 0;
    return DecodeGroup(s->values, true, out, maxOut, outLen);
}

void CoderDestroy(ToolkitMethod*) {}

int CoderInit(ToolkitMethod* method, int, ToolkitKeyObject, ToolkitAlgorithmChooser, const ToolkitSurrender*)
{
    CryptoMemSet(method->state, 0, sizeof(Base64State));
    return 0;
}

int CoderUpdate(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                const unsigned char* in, unsigned int inLen, const ToolkitSurrender*)
{
    auto* s = static_cast<Base64State*>(method->state);
    return direction ? EncodeUpdateState(s, out, outLen, maxOut, in, inLen)
                     : DecodeUpdateState(s, out, outLen, maxOut, in, inLen);
}

int CoderFinal(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
               const ToolkitSurrender*)
{
    auto* s = static_cast<Base64State*>(method->state);
    return direction ? EncodeFinalState(s, out, outLen, maxOut) : DecodeFinalState(s, out, outLen, maxOut);
}

const ToolkitMethodOps kCoderOps = {CoderDestroy, CoderInit, CoderUpdate, CoderFinal};

int Base64Set(ToolkitAlgorithmObject, const void*)
{
    return 0;
}

int Base64Create(ToolkitAlgorithmObject object)
{
    void* state = nullptr;
    if (int status = MemoryListAllocate(&object->memory, sizeof(Base64State), &state))
        return status;
    auto* method = static_cast<ToolkitMethod*>(ToolkitAlloc(sizeof(ToolkitMethod)));
    if (!method)
        return kToolkitNoMemory;
    *method = {};
    method->kind = kMethodTextCoder;
    method->ops = &kCoderOps;
    method->state = state;
    object->method = method;
    return 0;
}

int Base64Get(void** out, ToolkitAlgorithmObject)
{
    *out = nullptr;
    return 0;
}

const ToolkitAlgorithmInfo kBase64Info = {Base64Set, Base64Create, Base64Get};

} // namespace

int Base64InfoType(const void** out)
{
    *out = &kBase64Info;
    return 0;
}
