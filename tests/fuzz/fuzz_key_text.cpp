// Decodes arbitrary text as a stored key text and binds what decodes to a
// key, as the configuration loader and the SSL layer do. CRSAException is
// the expected failure; anything else, and sanitizer reports, are findings.

#include "security/algorithm_object.h"
#include "security/byte_block.h"
#include "security/key_text.h"
#include "security/rsa_exception.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    CByteBlock block;
    try {
        DecodeKeyText(text.c_str(), &block);
    } catch (const CRSAException&) {
        if (!block.IsEmpty())
            std::abort(); // a failed decode leaves nothing behind
        return 0;
    }
    if (block.GetLength() > static_cast<int>(text.size()))
        std::abort();
    for (int kind = 0; kind < 2; ++kind) {
        try {
            CKeyObject key;
            if (kind == 0)
                BindPrivateKey(block, key);
            else
                BindCertificateKey(block, key);
        } catch (const CRSAException&) {
        }
    }
    return 0;
}
