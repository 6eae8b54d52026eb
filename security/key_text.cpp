#include "security/key_text.h"

#include "security/byte_block.h"
#include "security/rsa_exception.h"

#include <cstring>

namespace {

constexpr int kPad = 64;
constexpr int kInvalid = -1;
constexpr int kSkip = -2;

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

// The toolkit's base64 decoder: fed in any pieces, it keeps an incomplete
// group pending between calls; Final refuses a group left incomplete.
class Base64Decoder {
public:
    // Returns 0 or a toolkit status; *written is the bytes stored.
    int Update(const char* text, int n, char* out, int room, int* written)
    {
        *written = 0;
        for (int i = 0; i < n; ++i) {
            int value = CharValue(static_cast<unsigned char>(text[i]));
            if (value == kSkip)
                continue;
            // Nothing may follow the group that carried the padding.
            if (value == kInvalid || m_ended)
                return kToolkitBadData;
            m_pending[m_count++] = value;
            if (m_count < 4)
                continue;
            m_count = 0;
            int status = DecodeGroup(out + *written, room - *written, written);
            if (status != 0)
                return status;
        }
        return 0;
    }

    int Final(int* written)
    {
        *written = 0;
        return m_count == 0 ? 0 : kToolkitBadLength;
    }

private:
    int DecodeGroup(char* out, int room, int* written)
    {
        const int* v = m_pending;
        if (v[0] == kPad || v[1] == kPad || (v[2] == kPad && v[3] != kPad))
            return kToolkitBadData;
        int bytes = v[2] == kPad ? 1 : v[3] == kPad ? 2 : 3;
        if (bytes > room)
            return 536; // output room too small; cannot happen with room = text length
        unsigned bits = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2] & 63) << 6) | unsigned(v[3] & 63);
        out[0] = static_cast<char>(bits >> 16);
        if (bytes > 1)
            out[1] = static_cast<char>(bits >> 8);
        if (bytes > 2)
            out[2] = static_cast<char>(bits);
        *written += bytes;
        m_ended = bytes < 3;
        return 0;
    }

    int m_pending[4] = {};
    int m_count = 0;
    bool m_ended = false;
};

} // namespace

void DecodeKeyText(const char* text, CByteBlock* out)
{
    out->Free();
    const int length = text ? static_cast<int>(std::strlen(text)) : 0;
    if (length == 0)
        return;
    // The binary form is never longer than the text.
    char* data = out->Allocate(length);
    Base64Decoder decoder;
    int updated = 0;
    int finished = 0;
    int status = decoder.Update(text, length, data, length, &updated);
    if (status == 0)
        status = decoder.Final(&finished);
    if (status != 0) {
        out->Free();
        throw CRSAException(status);
    }
    out->SetLength(updated + finished);
}
