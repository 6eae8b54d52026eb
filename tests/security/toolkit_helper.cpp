#include "toolkit_helper.h"

#include "security/des.h"
#include "security/layer_chooser.h"
#include "security/rsa_key_generation.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Object {
    ToolkitAlgorithmObject handle = nullptr;
    explicit Object(ToolkitInfoType type)
    {
        EXPECT_EQ(CreateAlgorithmObject(&handle), 0);
        EXPECT_EQ(SetAlgorithmInfo(handle, type, nullptr), 0);
    }
    ~Object() { DestroyAlgorithmObject(&handle); }
};

} // namespace

Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string ToHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

Bytes Md5(const Bytes& message)
{
    Object md5(MD5InfoType);
    EXPECT_EQ(DigestInit(md5.handle, nullptr, DefaultAlgorithmChooser, nullptr), 0);
    EXPECT_EQ(DigestUpdate(md5.handle, U(message), N(message), nullptr), 0);
    Bytes digest(16, '\0');
    unsigned int length = 0;
    EXPECT_EQ(DigestFinal(md5.handle, U(digest), &length, 16, nullptr), 0);
    EXPECT_EQ(length, 16u);
    return digest;
}

Bytes Rc4(const Bytes& key, const Bytes& data)
{
    ToolkitKeyObject k = nullptr;
    EXPECT_EQ(CreateKeyObject(&k), 0);
    ToolkitItem item = {const_cast<unsigned char*>(U(key)), N(key)};
    EXPECT_EQ(SetKeyInfo(k, RawKeyInfoType, &item), 0);
    Object rc4(RC4InfoType);
    EXPECT_EQ(EncryptInit(rc4.handle, k, DefaultAlgorithmChooser, nullptr), 0);
    Bytes out(data.size(), '\0');
    unsigned int length = 0;
    EXPECT_EQ(EncryptUpdate(rc4.handle, U(out), &length, N(out), U(data), N(data), nullptr, nullptr), 0);
    EXPECT_EQ(length, N(data));
    DestroyKeyObject(&k);
    return out;
}

Bytes Base64Encode(const Bytes& bytes)
{
    Object coder(Base64InfoType);
    EXPECT_EQ(EncodeInit(coder.handle), 0);
    Bytes out(bytes.size() / 3 * 4 + 8, '\0');
    unsigned int a = 0, b = 0;
    EXPECT_EQ(EncodeUpdate(coder.handle, U(out), &a, N(out), U(bytes), N(bytes)), 0);
    EXPECT_EQ(EncodeFinal(coder.handle, U(out) + a, &b, N(out) - a), 0);
    out.resize(a + b);
    return out;
}

Bytes Base64Decode(const Bytes& text, int* status)
{
    Object coder(Base64InfoType);
    EXPECT_EQ(DecodeInit(coder.handle), 0);
    Bytes out(text.size() + 3, '\0');
    unsigned int a = 0, b = 0;
    *status = DecodeUpdate(coder.handle, U(out), &a, N(out), U(text), N(text));
    if (!*status)
        *status = DecodeFinal(coder.handle, U(out) + a, &b, N(out) - a);
    if (*status)
        return {};
    out.resize(a + b);
    return out;
}

Bytes DesEcb(const Bytes& key, const Bytes& data, bool encrypt)
{
    DESKeySchedule schedule;
    if (encrypt)
        DESKeyScheduleForward(&schedule, U(key));
    else
        DESKeyScheduleReverse(&schedule, U(key));
    Bytes out(data.size(), '\0');
    for (std::size_t i = 0; i + 8 <= data.size(); i += 8)
        DESBlockTransform(&schedule, U(out) + i, U(data) + i);
    return out;
}

static void BlockFunction(const void* schedule, unsigned char* out, const unsigned char* in)
{
    DESBlockTransform(static_cast<const DESKeySchedule*>(schedule), out, in);
}

Bytes DesCbcEncrypt(const Bytes& key, const Bytes& iv, const Bytes& data)
{
    DESKeySchedule schedule;
    DESKeyScheduleForward(&schedule, U(key));
    unsigned char chain[8], residue[8];
    std::copy(iv.begin(), iv.end(), chain);
    unsigned int residueLength = 0, length = 0;
    Bytes out(data.size(), '\0');
    EXPECT_EQ(CBCTransform(&schedule, chain, residue, &residueLength, BlockFunction, U(out), &length, N(out),
                           U(data), N(data)),
              0);
    EXPECT_EQ(CBCFinalCheck(residueLength), data.size() % 8 ? 6 : 0);
    out.resize(length);
    return out;
}

Bytes RandomStream(const std::initializer_list<Bytes>& seeds, const std::initializer_list<unsigned>& counts)
{
    Object random(RandomInfoType);
    EXPECT_EQ(RandomInit(random.handle, DefaultAlgorithmChooser, nullptr), 0);
    for (const Bytes& seed : seeds)
        EXPECT_EQ(RandomUpdate(random.handle, U(seed), N(seed), nullptr), 0);
    Bytes out;
    for (unsigned count : counts) {
        Bytes part(count, '\0');
        EXPECT_EQ(GenerateRandomBytes(random.handle, U(part), count, nullptr), 0);
        out += part;
    }
    return out;
}

ToolkitKeyObject LoadPrivateKey(const Bytes& der, int* status)
{
    ToolkitKeyObject key = nullptr;
    EXPECT_EQ(CreateKeyObject(&key), 0);
    ToolkitItem item = {const_cast<unsigned char*>(U(der)), N(der)};
    *status = SetKeyInfo(key, PrivateKeyEncodedInfoType, &item);
    if (*status)
        DestroyKeyObject(&key);
    return key;
}

static int RunPadding(ToolkitKeyObject key, const Bytes& in, Bytes* out, bool sign)
{
    Object rsa(RSAPrivateDecryptInfoType);
    int status = sign ? EncryptInit(rsa.handle, key, DefaultAlgorithmChooser, nullptr)
                      : DecryptInit(rsa.handle, key, DefaultAlgorithmChooser, nullptr);
    if (status)
        return status;
    out->assign(256, '\0');
    unsigned int a = 0, b = 0;
    status = sign ? EncryptUpdate(rsa.handle, U(*out), &a, 256, U(in), N(in), nullptr, nullptr)
                  : DecryptUpdate(rsa.handle, U(*out), &a, 256, U(in), N(in), nullptr, nullptr);
    if (status)
        return status;
    status = sign ? EncryptFinal(rsa.handle, U(*out) + a, &b, 256 - a, nullptr, nullptr)
                  : DecryptFinal(rsa.handle, U(*out) + a, &b, 256 - a, nullptr, nullptr);
    out->resize(status ? 0 : a + b);
    return status;
}

int RsaSign(ToolkitKeyObject key, const Bytes& message, Bytes* out)
{
    return RunPadding(key, message, out, true);
}

int RsaDecrypt(ToolkitKeyObject key, const Bytes& block, Bytes* out)
{
    return RunPadding(key, block, out, false);
}

GeneratedKeyPair GenerateKeyPairFromSeed(unsigned int bits, const Bytes& exponent, const Bytes& seed)
{
    GeneratedKeyPair g;
    Object random(RandomInfoType);
    ToolkitAlgorithmObject generator = nullptr;
    ToolkitKeyObject publicKey = nullptr, privateKey = nullptr;
    CreateAlgorithmObject(&generator);
    CreateKeyObject(&publicKey);
    CreateKeyObject(&privateKey);
    EXPECT_EQ(RandomInit(random.handle, LayerAlgorithmChooser, nullptr), 0);
    EXPECT_EQ(RandomUpdate(random.handle, U(seed), N(seed), nullptr), 0);
    ToolkitRSAKeyGenerationParameters parameters = {bits, {const_cast<unsigned char*>(U(exponent)), N(exponent)}};
    g.status = SetAlgorithmInfo(generator, RSAKeyGenerationInfoType, &parameters);
    if (!g.status)
        g.status = GenerateInit(generator, LayerAlgorithmChooser, nullptr);
    if (!g.status)
        g.status = GenerateKeyPair(generator, publicKey, privateKey, random.handle, nullptr);
    void* value = nullptr;
    if (!g.status && !(g.status = GetKeyInfo(&value, privateKey, PrivateKeyEncodedInfoType))) {
        auto* item = static_cast<ToolkitItem*>(value);
        g.privateDer.assign(reinterpret_cast<char*>(item->data), item->length);
    }
    if (!g.status && !(g.status = GetKeyInfo(&value, publicKey, PublicKeyEncodedInfoType))) {
        auto* item = static_cast<ToolkitItem*>(value);
        g.publicDer.assign(reinterpret_cast<char*>(item->data), item->length);
    }
    DestroyKeyObject(&publicKey);
    DestroyKeyObject(&privateKey);
    DestroyAlgorithmObject(&generator);
    return g;
}
