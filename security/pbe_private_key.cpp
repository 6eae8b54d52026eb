// Encrypting a private key under a password and opening it again.

#include "security/pbe_private_key.h"

#include "security/ber.h"
#include "security/byte_block.h"
#include "security/layer_chooser.h"
#include "security/md2.h"
#include "security/pbe.h"

#include <cstring>

namespace {

// Slots: 0 algorithm identifier (whole), 1 encrypted data.
const BerTemplateEntry kEncryptedPrivateKeyInfoTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 0},
    {kBerOctetString, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Slots: 0 algorithm, 1 parameters (the whole element).
const BerTemplateEntry kAlgorithmIdentifierTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

struct SchemeChoice {
    ToolkitInfoType type;
    bool md5;
};

bool LookUp(int selector, SchemeChoice* choice)
{
    switch (selector & 15) {
    case 8: *choice = {PBEWithMD2AndDESCBCInfoType, false}; return true;
    case 9: *choice = {PBEWithMD5AndDESCBCInfoType, true}; return true;
    case 10: *choice = {PBEWithMD2AndRC2CBCInfoType, false}; return true;
    case 11: *choice = {PBEWithMD5AndRC2CBCInfoType, true}; return true;
    default: return false;
    }
}

// The objects of one call, destroyed on every path.
struct Work {
    ToolkitKeyObject key = nullptr;
    ToolkitAlgorithmObject cipher = nullptr;
    ToolkitAlgorithmObject digest = nullptr;
    ToolkitItem buffer = {};
    unsigned int bufferSize = 0;
    ~Work()
    {
        DestroyKeyObject(&key);
        DestroyAlgorithmObject(&cipher);
        DestroyAlgorithmObject(&digest);
        if (buffer.data) {
            explicit_bzero(buffer.data, bufferSize);
            ToolkitFree(buffer.data);
        }
    }
};

// Digest of password then data; the first 8 octets are the salt.
int ComputeSalt(Work& w, bool md5, const unsigned char* password, unsigned int passwordLength,
                const unsigned char* data, unsigned int dataLength, unsigned char salt[16],
                const ToolkitSurrender* surrender)
{
    unsigned int length = 0;
    int status = CreateAlgorithmObject(&w.digest);
    if (!status)
        status = SetAlgorithmInfo(w.digest, md5 ? MD5InfoType : MD2InfoType, nullptr);
    if (!status)
        status = DigestInit(w.digest, nullptr, LayerAlgorithmChooser, surrender);
    if (!status)
        status = DigestUpdate(w.digest, password, passwordLength, surrender);
    if (!status)
        status = DigestUpdate(w.digest, data, dataLength, surrender);
    if (!status)
        status = DigestFinal(w.digest, salt, &length, 16, surrender);
    return status;
}

int BindPassword(Work& w, const unsigned char* password, unsigned int passwordLength)
{
    ToolkitItem item = {const_cast<unsigned char*>(password), passwordLength};
    return SetKeyInfo(w.key, RawKeyInfoType, &item);
}

// An algorithm failure of the cipher run: "operation not supported" is the
// scheme's failure; others are reported under context.
int CipherFailure(int status, const char* context, int contextCode, const ToolkitLogCallback* log)
{
    int mapped = MapAlgorithmError(status);
    if (mapped == kAppUnsupported)
        return ReportToolkitError(context, mapped, kAppPasswordEncrypt, log);
    return ReportToolkitError(context, mapped, contextCode, log);
}

} // namespace

int PbeEncryptPrivateKey(unsigned char* out, unsigned int* outLength, unsigned int capacity, const unsigned char* data,
                         unsigned int dataLength, const unsigned char* password, unsigned int passwordLength,
                         int selector, const ToolkitLogCallback* log, const ToolkitSurrender* surrender)
{
    *outLength = 0;
    Work w;
    int status = CreateKeyObject(&w.key);
    if (!status)
        status = CreateAlgorithmObject(&w.cipher);
    if (status)
        return ReportAlgorithmError(kContextEncryptingPassword, status, kAppPasswordEncrypt, log);
    SchemeChoice scheme;
    if (!LookUp(selector, &scheme))
        return kAppUnknownPasswordAlgorithm;
    unsigned char salt[16];
    if ((status = ComputeSalt(w, scheme.md5, password, passwordLength, data, dataLength, salt, surrender))) {
        explicit_bzero(salt, sizeof salt);
        return ReportAlgorithmError(kContextPbeSalt, status, kAppPasswordEncrypt, log);
    }
    ToolkitPBEParameters parameters = {{salt, 8}, 1};
    status = SetAlgorithmInfo(w.cipher, scheme.type, &parameters);
    explicit_bzero(salt, sizeof salt);
    if (status)
        return ReportAlgorithmError(kContextSettingPbe, status, kAppAlgorithm, log);
    if ((status = BindPassword(w, password, passwordLength)))
        return ReportAlgorithmError(kContextEncryptingPassword, status, kAppPasswordEncrypt, log);

    // Padding adds at most one block.
    w.bufferSize = dataLength + 8;
    w.buffer.data = static_cast<unsigned char*>(ToolkitAlloc(w.bufferSize));
    if (!w.buffer.data)
        return kAppNoMemory;
    unsigned int a = 0, b = 0;
    status = EncryptInit(w.cipher, w.key, LayerAlgorithmChooser, surrender);
    if (!status)
        status = EncryptUpdate(w.cipher, w.buffer.data, &a, w.bufferSize, data, dataLength, nullptr, surrender);
    if (!status)
        status = EncryptFinal(w.cipher, w.buffer.data + a, &b, w.bufferSize - a, nullptr, surrender);
    if (status)
        return CipherFailure(status, kContextEncrypting, kAppAlgorithm, log);
    w.buffer.length = a + b;

    ToolkitItem identifier = {}, encoded = {};
    if ((status = EncodePBEAlgorithmIdentifier(w.cipher, &identifier)))
        return ReportAlgorithmError(kContextEncodingAlgorithmId, status, kAppBadHandle, log);
    BerSlot algorithm = {identifier.data, identifier.length, 0}, encrypted = {w.buffer.data, w.buffer.length, 0};
    void* slots[2] = {&algorithm, &encrypted};
    status = BerEncode(kEncryptedPrivateKeyInfoTemplate, slots, &encoded);
    ToolkitFree(identifier.data);
    if (status)
        return ReportAlgorithmError(kContextEncryptingPassword, status, kAppPasswordEncrypt, log);
    if (encoded.length > capacity) {
        status = kAppOutputRoom;
    } else {
        CryptoMemCopy(out, encoded.data, encoded.length);
        *outLength = encoded.length;
    }
    explicit_bzero(encoded.data, encoded.length);
    ToolkitFree(encoded.data);
    return status;
}

int PbeDecryptPrivateKey(unsigned char* out, unsigned int* outLength, unsigned int capacity,
                         const unsigned char* block, unsigned int blockLength, const unsigned char* password,
                         unsigned int passwordLength, const ToolkitLogCallback* log, const ToolkitSurrender* surrender)
{
    *outLength = 0;
    Work w;
    int status = CreateKeyObject(&w.key);
    if (!status)
        status = CreateAlgorithmObject(&w.cipher);
    if (status)
        return ReportAlgorithmError(kContextDecryptingPassword, status, kAppPasswordEncrypt, log);

    BerSlot identifier = {}, encrypted = {}, oid = {}, parameterElement = {};
    void* slots[2] = {&identifier, &encrypted};
    void* identifierSlots[2] = {&oid, &parameterElement};
    unsigned int used = 0, identifierUsed = 0;
    status = BerDecode(kEncryptedPrivateKeyInfoTemplate, slots, block, blockLength, &used);
    if (!status && used != blockLength)
        status = kToolkitData;
    if (!status)
        status = BerDecode(kAlgorithmIdentifierTemplate, identifierSlots, identifier.data, identifier.length,
                           &identifierUsed);
    if (status)
        return ReportAlgorithmError(kContextDecodingPassword, status, kAppEncryptedDecoding, log);
    ToolkitInfoType scheme = PBEInfoTypeOfIdentifier(oid.data, oid.length);
    if (!scheme)
        return kAppUnknownPasswordAlgorithm;
    ToolkitPBEParameters parameters = {};
    if ((status = DecodePBEParameters(&parameters, parameterElement.data, parameterElement.length)))
        return ReportAlgorithmError(kContextDecodingPassword, status, kAppEncryptedDecoding, log);
    if ((status = SetAlgorithmInfo(w.cipher, scheme, &parameters)))
        return ReportAlgorithmError(kContextSettingPbe, status, kAppAlgorithm, log);
    if ((status = BindPassword(w, password, passwordLength)))
        return ReportAlgorithmError(kContextDecryptingPassword, status, kAppPasswordEncrypt, log);

    w.bufferSize = encrypted.length + 8;
    w.buffer.data = static_cast<unsigned char*>(ToolkitAlloc(w.bufferSize));
    if (!w.buffer.data)
        return kAppNoMemory;
    unsigned int a = 0, b = 0;
    status = DecryptInit(w.cipher, w.key, LayerAlgorithmChooser, surrender);
    if (!status)
        status = DecryptUpdate(w.cipher, w.buffer.data, &a, w.bufferSize, encrypted.data, encrypted.length, nullptr,
                               surrender);
    if (!status)
        status = DecryptFinal(w.cipher, w.buffer.data + a, &b, w.bufferSize - a, nullptr, surrender);
    if (status) {
        status = CipherFailure(status, kContextDecrypting, kAppEncryptedDecoding, log);
        return status == kAppEncryptedDecoding ? kAppPasswordDecrypt : status;
    }
    w.buffer.length = a + b;
    // A wrong password passes the padding check about once in 256 tries;
    // what it opens is then not the one DER element a key is.
    unsigned int header = 0, content = 0, total = 0;
    if (BerReadElement(w.buffer.data, w.buffer.length, &header, &content, &total, 0) || total != w.buffer.length ||
        w.buffer.data[0] != kBerSequence)
        return ReportToolkitError(kContextDecrypting, kAppDecoding, kAppPasswordDecrypt, log);
    if (w.buffer.length > capacity)
        return kAppOutputRoom;
    CryptoMemCopy(out, w.buffer.data, w.buffer.length);
    *outLength = w.buffer.length;
    return 0;
}
