// The base64 text stream over the toolkit's base64 coder.

#include "security/base64_text_stream.h"

#include "security/byte_block.h"

#include <cstring>

namespace {

constexpr unsigned int kTextOffset = kTextStreamBuffer - kTextStreamText;

int Fail(Base64TextStream* s, int cause)
{
    s->lastError = cause;
    return kAppStream;
}

int Unsupported(void* context)
{
    return Fail(static_cast<Base64TextStream*>(context), kAppUnsupported);
}

// Sets the stream up for one direction; a change of direction needs a reset.
int SetUp(Base64TextStream* s, unsigned int direction)
{
    if (s->direction == direction)
        return 0;
    if (s->direction)
        return kAppUnsupported;
    if (!s->buffer) {
        s->buffer = static_cast<unsigned char*>(ToolkitAlloc(kTextStreamBuffer));
        if (!s->buffer)
            return kAppNoMemory;
    }
    if (!s->coder) {
        if (CreateAlgorithmObject(&s->coder) || SetAlgorithmInfo(s->coder, Base64InfoType, nullptr)) {
            DestroyAlgorithmObject(&s->coder);
            return kAppNoMemory;
        }
    }
    if ((direction == 1 ? EncodeInit(s->coder) : DecodeInit(s->coder)))
        return kAppNoMemory;
    s->direction = direction;
    s->fill = s->position = 0;
    return 0;
}

// Hands every complete line at the buffer's start to the line function and
// moves the rest to the start; with all, the rest goes out too.
int EmitLines(Base64TextStream* s, bool all)
{
    unsigned int at = 0;
    while (s->fill - at >= kTextStreamLine || (all && at < s->fill)) {
        unsigned int n = s->fill - at < kTextStreamLine ? s->fill - at : kTextStreamLine;
        unsigned char kept = s->buffer[at + n];
        s->buffer[at + n] = 0;
        int status = s->callbacks->line(reinterpret_cast<const char*>(s->buffer + at), s->callbacks->data);
        s->buffer[at + n] = kept;
        if (status)
            return kAppStreamCallback;
        at += n;
    }
    CryptoMemMove(s->buffer, s->buffer + at, s->fill - at);
    s->fill -= at;
    return 0;
}

int CoderFailure(int status)
{
    return status == kToolkitData || status == kToolkitLength ? kAppBadBase64
                                                               : ReportAlgorithmError("", status, kAppAlgorithm, nullptr);
}

int Write(const unsigned char* octets, unsigned int length, void* context)
{
    auto* s = static_cast<Base64TextStream*>(context);
    if (int status = SetUp(s, 1))
        return Fail(s, status);
    while (length) {
        unsigned int take = length < kTextStreamSlice ? length : kTextStreamSlice;
        unsigned int made = 0;
        if (int status = EncodeUpdate(s->coder, s->buffer + s->fill, &made, kTextStreamText - s->fill, octets, take))
            return Fail(s, CoderFailure(status));
        s->fill += made;
        octets += take;
        length -= take;
        if (int status = EmitLines(s, false))
            return Fail(s, status);
    }
    return 0;
}

// Copies held octets out; true when the caller's buffer is full.
bool CopyHeld(Base64TextStream* s, unsigned char* out, unsigned int* count, unsigned int capacity)
{
    unsigned int n = s->fill - s->position;
    if (n > capacity - *count)
        n = capacity - *count;
    CryptoMemCopy(out + *count, s->buffer + s->position, n);
    s->position += n;
    *count += n;
    return *count == capacity;
}

int Read(unsigned char* out, unsigned int* count, unsigned int capacity, void* context)
{
    auto* s = static_cast<Base64TextStream*>(context);
    *count = 0;
    if (s->endOfInput && s->position >= s->fill)
        return kAppEndOfInput;
    if (int status = SetUp(s, 2))
        return Fail(s, status);
    while (*count < capacity) {
        if (s->position < s->fill) {
            if (CopyHeld(s, out, count, capacity) || s->endOfInput)
                break;
            continue;
        }
        if (s->endOfInput)
            break;
        unsigned int got = 0;
        int status = s->callbacks->read(s->buffer + kTextOffset, kTextStreamText, &got, s->callbacks->data);
        if (status && status != kAppEndOfInput)
            return Fail(s, kAppStreamCallback);
        if (got > kTextStreamText)
            return Fail(s, kAppStreamCallback);
        // Decoded into a scratch area: never over the text being decoded.
        unsigned char decoded[kTextStreamText];
        unsigned int made = 0;
        int coded = DecodeUpdate(s->coder, decoded, &made, sizeof decoded, s->buffer + kTextOffset, got);
        if (!coded && (status == kAppEndOfInput || got == 0)) {
            unsigned int tail = 0;
            s->endOfInput = 1;
            coded = DecodeFinal(s->coder, decoded + made, &tail, sizeof decoded - made);
            made += tail;
        }
        if (coded) {
            explicit_bzero(decoded, sizeof decoded);
            return Fail(s, CoderFailure(coded));
        }
        CryptoMemCopy(s->buffer, decoded, made);
        explicit_bzero(decoded, sizeof decoded);
        s->fill = made;
        s->position = 0;
    }
    return 0;
}

int Reset(void* context)
{
    auto* s = static_cast<Base64TextStream*>(context);
    if (s->callbacks->reset && s->callbacks->reset(s->callbacks->data))
        return Fail(s, kAppStreamCallback);
    DestroyAlgorithmObject(&s->coder);
    s->fill = s->position = 0;
    s->direction = 0;
    s->endOfInput = 0;
    return 0;
}

} // namespace

int InitBase64TextStream(Base64TextStream* stream, const TextStreamCallbacks* callbacks)
{
    *stream = {};
    stream->unsupported[0] = stream->unsupported[1] = Unsupported;
    stream->read = Read;
    stream->reset = Reset;
    stream->write = Write;
    stream->context = stream;
    stream->callbacks = callbacks;
    return 0;
}

int FlushBase64TextStream(Base64TextStream* stream)
{
    if (int status = SetUp(stream, 1))
        return Fail(stream, status);
    unsigned int made = 0;
    if (int status = EncodeFinal(stream->coder, stream->buffer + stream->fill, &made, kTextStreamText - stream->fill))
        return Fail(stream, CoderFailure(status));
    stream->fill += made;
    if (int status = EmitLines(stream, true))
        return Fail(stream, status);
    return 0;
}

void CloseBase64TextStream(Base64TextStream* stream)
{
    DestroyAlgorithmObject(&stream->coder);
    if (stream->buffer) {
        explicit_bzero(stream->buffer, kTextStreamBuffer);
        ToolkitFree(stream->buffer);
        stream->buffer = nullptr;
    }
    stream->direction = 0;
    stream->fill = stream->position = 0;
}
