// Names, attributes, UTCTime texts and base64 text streams as they arrive
// in stored requests: every decoder of the application layer reads the
// input, and whatever decodes must encode again and read back the same.

#include "security/attributes_object.h"
#include "security/base64_text_stream.h"
#include "security/name_object.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void Names(const unsigned char* data, unsigned int size)
{
    ToolkitHandle* name = nullptr;
    Check(CreateNameObject(&name) == 0);
    if (SetNameObjectFromBER(name, data, size, nullptr) == 0) {
        const unsigned char* der = nullptr;
        unsigned int length = 0, count = 0;
        Check(GetNameObjectDER(&der, &length, name, nullptr) == 0);
        Check(GetNameAVACount(&count, name, nullptr) == 0);
        std::string first(reinterpret_cast<const char*>(der), length);
        ToolkitHandle* again = nullptr;
        ToolkitItem item{const_cast<unsigned char*>(der), length};
        Check(CreateNameObjectFromDER(&again, &item, nullptr) == 0);
        unsigned int countAgain = 0;
        Check(GetNameAVACount(&countAgain, again, nullptr) == 0 && countAgain == count);
        for (unsigned int i = 0; i < count; ++i) {
            const unsigned char *type = nullptr, *value = nullptr;
            unsigned int typeLength = 0, valueLength = 0;
            int tag = 0, newRDN = 0;
            Check(GetNameAVA(&type, &typeLength, &tag, &value, &valueLength, &newRDN, again, i, nullptr) == 0);
        }
        // Re-made from the list, the DER is what it was.
        const unsigned char oid[] = {0x55, 0x04, 0x2A};
        if (SetNameObjectFromText(nullptr, again, oid, 3, 12, data, size > 20 ? 20 : size, 1, nullptr) == 0)
            Check(GetNameObjectDER(&der, &length, again, nullptr) == 0 && length > first.size());
        DestroyNameObject(&again);
    }
    DestroyNameObject(&name);
}

void Attributes(const unsigned char* data, unsigned int size)
{
    ToolkitHandle* attributes = nullptr;
    Check(CreateAttributesObject(&attributes) == 0);
    if (SetAttributesObjectFromBER(attributes, data, size, nullptr) == 0) {
        const unsigned char* der = nullptr;
        unsigned int length = 0, count = 0;
        Check(GetAttributesObjectDER(&der, &length, attributes, nullptr) == 0);
        Check(GetAttributeCount(&count, attributes) == 0);
        long long seconds = 0;
        GetSigningTime(&seconds, attributes);
        int tag = 0;
        const unsigned char* octets = nullptr;
        GetChallengePassword(&tag, &octets, &length, attributes);
        ToolkitTaggedText lines[kPostalAddressMaxLines];
        GetPostalAddress(lines, &count, attributes);
    }
    DestroyAttributesObject(&attributes);
    long long seconds = 0;
    if (ParseUTCTime(data, size, &seconds) == 0 && seconds >= kUTCTimeFirst && seconds < kUTCTimeEnd) {
        char text[14];
        long long back = 0;
        Check(FormatUTCTime(seconds, text) == 0);
        Check(ParseUTCTime(reinterpret_cast<const unsigned char*>(text), 13, &back) == 0 && back == seconds);
    }
}

struct Source {
    const unsigned char* data;
    unsigned int size;
    unsigned int at;
};

int Read(unsigned char* buffer, unsigned int capacity, unsigned int* got, void* data)
{
    auto* s = static_cast<Source*>(data);
    if (s->at == s->size)
        return kAppEndOfInput;
    // Uneven pieces, so groups straddle reads.
    unsigned int n = std::min({capacity, s->size - s->at, 1u + s->at % 17});
    std::memcpy(buffer, s->data + s->at, n);
    s->at += n;
    *got = n;
    return 0;
}

void Stream(const unsigned char* data, unsigned int size)
{
    Source source{data, size, 0};
    TextStreamCallbacks callbacks{Read, nullptr, nullptr, nullptr, nullptr, &source};
    Base64TextStream stream;
    InitBase64TextStream(&stream, &callbacks);
    unsigned char out[97];
    unsigned int total = 0;
    for (int i = 0; i < 100000; ++i) {
        unsigned int count = 0;
        int status = stream.read(out, &count, sizeof out, stream.context);
        Check(count <= sizeof out);
        total += count;
        if (status)
            break;
    }
    Check(total <= size);
    CloseBase64TextStream(&stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65535)
        return 0;
    auto n = static_cast<unsigned int>(size);
    Names(data, n);
    Attributes(data, n);
    Stream(data, n);
    return 0;
}
