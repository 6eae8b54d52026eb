#include "security/data_encryption.h"

#include "security/cbc_cipher.h"
#include "security/des.h"
#include "security/random_object.h"
#include "security/toolkit_internal.h"

#include <cstring>

int SetDataEncryptionAlgorithm(ToolkitAlgorithmObject algorithm, ToolkitKeyObject key, int selector,
                               ToolkitHandle* random, const ToolkitLogCallback* log,
                               const ToolkitSurrender* surrender)
{
    const int kind = selector & 15;
    if (kind != 1 && kind != 2)
        return kAppUnknownDataEncryption;
    const char* context = kind == 1 ? kContextSettingDesCbc : kContextSettingRc2Cbc;
    ToolkitAlgorithmObject generator = nullptr;
    if (int status = GetRandomAlgorithm(&generator, random))
        return status;
    unsigned char octets[16];
    int status = GenerateRandomBytes(generator, octets, 16, surrender);
    ToolkitItem keyItem = {octets, 8}, iv = {octets + 8, 8};
    if (!status && kind == 1) {
        DESSetOddParity(octets);
        if (!(status = SetKeyInfo(key, DESKeyInfoType, &keyItem)))
            status = SetAlgorithmInfo(algorithm, DESCBCPadInfoType, &iv);
    } else if (!status) {
        ToolkitRC2CBCParameters parameters = {((static_cast<unsigned int>(selector) >> 4) + 32) & 255, iv};
        if (!(status = SetKeyInfo(key, RawKeyInfoType, &keyItem)))
            status = SetAlgorithmInfo(algorithm, RC2CBCPadInfoType, &parameters);
    }
    explicit_bzero(octets, sizeof octets);
    return status ? ReportAlgorithmError(context, status, kAppAlgorithm, log) : 0;
}

int GetDataEncryptionSelector(int* selector, ToolkitAlgorithmObject algorithm, const ToolkitLogCallback* log)
{
    *selector = 0;
    if (int status = CheckAlgorithmObject(algorithm))
        return ReportAlgorithmError(kContextReadingDek, status, kAppAlgorithm, log);
    const ToolkitMethod* method = algorithm->method;
    // The password-based schemes run these ciphers too, under other ops.
    if (!method || method->ops != &kChosenMethodOps ||
        (method->type != &kDESCBCAlgorithm && method->type != &kRC2CBCAlgorithm))
        return kAppUnknownDataEncryption;
    if (method->type == &kDESCBCAlgorithm) {
        *selector = 1;
        return 0;
    }
    void* value = nullptr;
    if (int status = GetAlgorithmInfo(&value, algorithm, RC2CBCInfoType))
        return ReportAlgorithmError(kContextReadingDek, status, kAppAlgorithm, log);
    unsigned int bits = static_cast<ToolkitRC2CBCParameters*>(value)->effectiveBits;
    *selector = static_cast<int>(((bits - 32) & 255) * 16 + 2);
    return 0;
}
