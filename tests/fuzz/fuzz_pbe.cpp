// The toolkit's decoders of encrypted keys and cipher parameters: an
// EncryptedPrivateKeyInfo opened with a fixed password, RC2-CBC parameters,
// and a signature block checked by the public-key cipher (exponent 1, so
// the block checked is the input itself). Sanitizer reports and broken
// promises are findings.

#include "security/cbc_cipher.h"
#include "security/layer_chooser.h"
#include "security/pbe_private_key.h"
#include "security/rsa.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int VerifyBlock(const unsigned char* block, unsigned int length, unsigned int* outLength)
{
    static unsigned char modulus[64], one = 1;
    std::memset(modulus, 0xFF, sizeof modulus);
    ToolkitRSAPublicKey publicKey = {{modulus, sizeof modulus}, {&one, 1}};
    ToolkitKeyObject key = nullptr;
    ToolkitAlgorithmObject rsa = nullptr;
    CreateKeyObject(&key);
    CreateAlgorithmObject(&rsa);
    unsigned char out[64];
    unsigned int a = 0, b = 0;
    int status = SetKeyInfo(key, RSAPublicKeyInfoType, &publicKey);
    if (!status)
        status = SetAlgorithmInfo(rsa, RSAPublicInfoType, nullptr);
    if (!status)
        status = DecryptInit(rsa, key, LayerAlgorithmChooser, nullptr);
    if (!status)
        status = DecryptUpdate(rsa, out, &a, sizeof out, block, length, nullptr, nullptr);
    if (!status)
        status = DecryptFinal(rsa, out + a, &b, sizeof out - a, nullptr, nullptr);
    *outLength = a + b;
    DestroyAlgorithmObject(&rsa);
    DestroyKeyObject(&key);
    return status;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096)
        return 0;
    const auto length = static_cast<unsigned int>(size);
    static unsigned char out[4096];
    unsigned int outLength = 0;
    int status = PbeDecryptPrivateKey(out, &outLength, sizeof out, data, length,
                                      reinterpret_cast<const unsigned char*>("pw"), 2, nullptr, nullptr);
    if ((status == 0) != (outLength > 0) || outLength > size)
        std::abort();

    ToolkitRC2CBCParameters parameters = {};
    if (DecodeRC2CBCParameters(&parameters, data, length) == 0 &&
        (parameters.iv.length != 8 || parameters.iv.data < data || parameters.iv.data + 8 > data + size ||
         parameters.effectiveBits > 255))
        std::abort();

    if (size <= 64) {
        status = VerifyBlock(data, length, &outLength);
        // What verification accepts is a DigestInfo ending the block.
        if (status == 0 && (size != 64 || outLength == 0 || outLength > 64 - 11 || data[64 - outLength] != 0x30))
            std::abort();
    }
    return 0;
}
