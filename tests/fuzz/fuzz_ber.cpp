// Decodes arbitrary bytes as each encoding the toolkit reads: a bare
// element, a PKCS #8 private key, a SubjectPublicKeyInfo and a certificate.
// Sanitizer reports and leaks are the findings; a key that does load must
// also encode again.

#include "security/ber.h"
#include "security/key_encoding.h"
#include "security/toolkit.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 65536)
        return 0;
    const auto length = static_cast<unsigned int>(size);
    unsigned int header = 0, content = 0, total = 0;
    if (BerReadElement(data, length, &header, &content, &total, 0) == 0 && total > length)
        std::abort(); // an element must lie inside its input

    ToolkitItem item = {const_cast<unsigned char*>(data), length};
    ToolkitKeyObject key = nullptr;
    CreateKeyObject(&key);
    if (SetKeyInfo(key, PrivateKeyEncodedInfoType, &item) == 0) {
        void* value = nullptr;
        GetKeyInfo(&value, key, RSAPrivateCRTKeyInfoType);
        GetKeyInfo(&value, key, PublicKeyEncodedInfoType);
    }
    DestroyKeyObject(&key);

    CreateKeyObject(&key);
    if (SetKeyInfo(key, PublicKeyEncodedInfoType, &item) == 0) {
        void* value = nullptr;
        if (GetKeyInfo(&value, key, RSAPublicKeyInfoType) != 0)
            std::abort();
    }
    DestroyKeyObject(&key);

    CreateKeyObject(&key);
    SetCertificateKeyInfo(key, data, length);
    DestroyKeyObject(&key);
    return 0;
}
