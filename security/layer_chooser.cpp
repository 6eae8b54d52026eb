#include "security/layer_chooser.h"

#include "security/des.h"
#include "security/toolkit_internal.h"

namespace {

const ToolkitMethodRecord kDESCBCDecrypt = {&kDESCBCAlgorithm, 0, DESKeyInfoType, &kDESCBCImplementation};
const ToolkitMethodRecord kDESCBCEncrypt = {&kDESCBCAlgorithm, 1, DESKeyInfoType, &kDESCBCImplementation};
const ToolkitMethodRecord kRC2CBCDecrypt = {&kRC2CBCAlgorithm, 0, RawKeyInfoType, &kRC2CBCImplementation};
const ToolkitMethodRecord kRC2CBCEncrypt = {&kRC2CBCAlgorithm, 1, RawKeyInfoType, &kRC2CBCImplementation};
const ToolkitMethodRecord kMD2Record = {&kMD2Algorithm, 0, nullptr, &kMD2Implementation};
const ToolkitMethodRecord kMD5Record = {&kMD5Algorithm, 0, nullptr, &kMD5Implementation};
const ToolkitMethodRecord kRSAPrivateDecrypt = {&kRSAPrivateAlgorithm, 0, RSAPrivateCRTKeyInfoType,
                                                &kRSAPrivateImplementation};
const ToolkitMethodRecord kRSAPrivateEncrypt = {&kRSAPrivateAlgorithm, 1, RSAPrivateCRTKeyInfoType,
                                                &kRSAPrivateImplementation};
const ToolkitMethodRecord kRSAPublicDecrypt = {&kRSAPublicAlgorithm, 0, RSAPublicKeyInfoType,
                                               &kRSAPublicImplementation};
const ToolkitMethodRecord kRSAPublicEncrypt = {&kRSAPublicAlgorithm, 1, RSAPublicKeyInfoType,
                                               &kRSAPublicImplementation};
const ToolkitMethodRecord kRandomRecord = {&kRandomAlgorithm, 0, nullptr, &kRandomImplementation};
const ToolkitMethodRecord kKeyGenerationRecord = {&kRSAKeyGenerationAlgorithm, 0, nullptr,
                                                  &kRSAKeyGenerationImplementation};

} // namespace

const ToolkitMethodRecord* const LayerAlgorithmChooser[] = {
    &kDESCBCDecrypt,     &kDESCBCEncrypt, &kRC2CBCDecrypt, &kRC2CBCEncrypt,       &kMD2Record, &kMD5Record,
    &kRSAPublicDecrypt,  &kRSAPublicEncrypt,  &kRSAPrivateDecrypt, &kRSAPrivateEncrypt,
    &kRandomRecord,      &kKeyGenerationRecord, nullptr,
};
