#include "security/key_text.h"

#include "security/algorithm_object.h"
#include "security/byte_block.h"
#include "security/key_encoding.h"
#include "security/rsa_exception.h"

#include <cstring>

namespace {

bool IsArmourLine(const char* line, const char* end)
{
    while (line < end && (*line == ' ' || *line == '\t'))
        ++line;
    return end - line >= 5 && std::memcmp(line, "-----", 5) == 0;
}

} // namespace

void DecodeKeyText(const char* text, CByteBlock* out)
{
    out->Free();
    const unsigned int length = text ? static_cast<unsigned int>(std::strlen(text)) : 0;
    if (length == 0)
        return;
    // The binary form is never longer than the text.
    auto* data = reinterpret_cast<unsigned char*>(out->Allocate(static_cast<int>(length)));
    unsigned int written = 0;
    try {
        CAlgorithmObject coder;
        coder.SetInfo(Base64InfoType);
        coder.Check(DecodeInit(coder.Handle()));
        const char* end = text + length;
        for (const char* line = text; line < end;) {
            const char* next = static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
            next = next ? next + 1 : end;
            if (!IsArmourLine(line, next)) {
                unsigned int piece = 0;
                coder.Check(DecodeUpdate(coder.Handle(), data + written, &piece, length - written,
                                         reinterpret_cast<const unsigned char*>(line),
                                         static_cast<unsigned int>(next - line)));
                written += piece;
            }
            line = next;
        }
        unsigned int last = 0;
        coder.Check(DecodeFinal(coder.Handle(), data + written, &last, length - written));
        written += last;
    } catch (...) {
        out->Free();
        throw;
    }
    out->SetLength(static_cast<int>(written));
}

void BindPrivateKey(const CByteBlock& privateKey, CKeyObject& key)
{
    ToolkitItem item = {reinterpret_cast<unsigned char*>(const_cast<char*>(privateKey.GetData())),
                        static_cast<unsigned int>(privateKey.GetLength())};
    CheckToolkitResult(SetKeyInfo(key.Handle(), PrivateKeyEncodedInfoType, &item));
}

void BindCertificateKey(const CByteBlock& certificate, CKeyObject& key)
{
    CheckToolkitResult(SetCertificateKeyInfo(key.Handle(),
                                             reinterpret_cast<const unsigned char*>(certificate.GetData()),
                                             static_cast<unsigned int>(certificate.GetLength())));
}
