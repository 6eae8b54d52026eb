#pragma once
// The toolkit's application layer (random, name and attributes objects,
// text streams, certificate requests) keeps each object behind a
// ToolkitHandle: a header owning a payload, a list of memory blocks and a
// list of child handles, tagged with a kind callback and a self pointer so a
// stale or foreign pointer is recognised. Its statuses are 256 to 321; the
// algorithm layer's (512 and above) are mapped onto them.

#include "security/toolkit.h"

// Application-layer statuses.
inline constexpr int kAppNoMemory = 256;
inline constexpr int kAppBadAttributes = 258;     // attributes object invalid or without content
inline constexpr int kAppValueCount = 259;        // attribute has not exactly one value
inline constexpr int kAppNoAttributeType = 260;   // internal
inline constexpr int kAppStringType = 261;        // string type or tag not allowed
inline constexpr int kAppCharacters = 263;        // characters or count out of range
inline constexpr int kAppValueLength = 264;
inline constexpr int kAppDecoding = 266;
inline constexpr int kAppAlgorithm = 274;
inline constexpr int kAppKeyOutputRefused = 275;
inline constexpr int kAppUnknownDataEncryption = 277;
inline constexpr int kAppStreamCallback = 279;
inline constexpr int kAppEndOfInput = 280;
inline constexpr int kAppIndex = 285;
inline constexpr int kAppStream = 288;            // cause kept in the stream
inline constexpr int kAppBadHandle = 290;
inline constexpr int kAppDigest = 293;
inline constexpr int kAppUnknownDigest = 294;
inline constexpr int kAppKeyGenerationRefused = 295;
inline constexpr int kAppBadName = 296;
inline constexpr int kAppNeedsSeed = 297;
inline constexpr int kAppNotFound = 298;          // internal
inline constexpr int kAppUnsupported = 300;
inline constexpr int kAppOutputRoom = 301;
inline constexpr int kAppRequestOutputRefused = 302;
inline constexpr int kAppPasswordDecrypt = 305;
inline constexpr int kAppPasswordEncrypt = 306;
inline constexpr int kAppUnknownPasswordAlgorithm = 307;
inline constexpr int kAppKeysDoNotMatch = 311;
inline constexpr int kAppEncryptedDecoding = 313;
inline constexpr int kAppRandom = 315;
inline constexpr int kAppSignatureInit = 316;
inline constexpr int kAppUnknownSignature = 317;
inline constexpr int kAppBadBase64 = 318;
inline constexpr int kAppRequestVersion = 321;

// Names the kind of a handle; called with the payload when it is cleared.
using ToolkitHandleKind = void (*)(void* payload);

struct ToolkitHandleBlock {
    void* block;
    unsigned int size;
};

struct ToolkitHandle {
    void* payload;
    unsigned int payloadSize;
    unsigned int childCount;
    unsigned int childCapacity;
    ToolkitHandle** children;
    unsigned int blockCount;
    unsigned int blockCapacity;
    ToolkitHandleBlock* blocks;
    ToolkitHandle* parent;
    ToolkitHandleKind kind;
    ToolkitHandle* self;
};

// The caller's optional log: (context text, warning 0 or 1, code, data).
struct ToolkitLogCallback {
    void (*function)(const char* context, int warning, int code, void* data);
    void* data;
};

// Lists grow by this many spare entries when full.
inline constexpr unsigned int kHandleListSpare = 10;

int HandleAlloc(ToolkitHandle** handle, void** payload, unsigned int payloadSize, ToolkitHandleKind kind);
int HandleCheck(void** payload, const ToolkitHandle* handle, ToolkitHandleKind kind);
int HandleAllocBlock(void** block, unsigned int size, ToolkitHandle* handle);
int HandleCopyBlock(void** block, const void* source, unsigned int size, ToolkitHandle* handle);
// Takes ownership of a block from ToolkitAlloc; on failure the block is
// zeroed, freed and *block cleared.
int HandleAdoptBlock(void** block, unsigned int size, ToolkitHandle* handle);
// Both move the contents to a new block of newSize (the smaller size is
// copied) and wipe the old one; a null *block allocates. On failure the old
// block stays as it was.
int HandleResizeBlock(void** block, unsigned int newSize, ToolkitHandle* handle);
int HandleReplaceBlock(void** block, unsigned int newSize, ToolkitHandle* handle);
int HandleFreeBlock(void** block, ToolkitHandle* handle);
int HandleFindBlock(ToolkitHandleBlock** entry, const void* block, ToolkitHandle* handle);
int HandleAttachChild(ToolkitHandle** child, ToolkitHandle* parent);
int HandleCreateChild(ToolkitHandle** child, void** payload, unsigned int size, ToolkitHandle* parent,
                      ToolkitHandleKind kind);
int HandleDetachChild(ToolkitHandle** child, ToolkitHandle* parent);
void HandleClear(ToolkitHandle* handle);
void HandleKeepOnlyChild(ToolkitHandle* handle, ToolkitHandle* child);
void HandleKeepOnlyBlock(ToolkitHandle* handle, void* block);
void HandleFree(ToolkitHandle** handle);

int ReportToolkitError(const char* context, int code, int contextCode, const ToolkitLogCallback* log);
int ReportAlgorithmError(const char* context, int algorithmCode, int contextCode, const ToolkitLogCallback* log);
int ReportToolkitWarning(const char* context, int code, const ToolkitLogCallback* log);
int MapAlgorithmError(int code);

// Context texts the layer reports under.
inline constexpr const char* kContextReadingRandom = "reading random object";
inline constexpr const char* kContextGeneratingRequest = "generating PKCS certificate request";
inline constexpr const char* kContextEncodingRequest = "encoding PKCS request";
inline constexpr const char* kContextReadingName = "reading name object";
inline constexpr const char* kContextReadingNameList = "reading name object AVA list";
inline constexpr const char* kContextEncryptingPassword = "encrypting password-protected data";
inline constexpr const char* kContextDecodingPassword = "decoding password-protected data";
inline constexpr const char* kContextDecryptingPassword = "decrypting password-protected data";
inline constexpr const char* kContextPbeSalt = "computing PBE salt";
inline constexpr const char* kContextSettingPublicKey = "setting public key";
inline constexpr const char* kContextReadingDek = "reading DEK algorithm ID";
inline constexpr const char* kContextSettingPbe = "setting PBE algorithm";
inline constexpr const char* kContextReadingPublicAlgorithm = "reading public algorithm object";
inline constexpr const char* kContextDecodingAlgorithmId = "decoding algorithm ID";
inline constexpr const char* kContextEncodingAlgorithmId = "encoding BER algorithm ID";
inline constexpr const char* kContextAlgorithmInfo = "getting algorithm info by object";
inline constexpr const char* kContextSettingDesCbc = "setting DES-CBC algorithm";
inline constexpr const char* kContextSettingRc2Cbc = "setting RC2-CBC algorithm";
inline constexpr const char* kContextPublicKeyInfo = "getting public key info";
inline constexpr const char* kContextPrivateKeyInfo = "getting private key info";
inline constexpr const char* kContextMessageSignature = "computing message signature";
inline constexpr const char* kContextAsnSignature = "computing ASN signature";
inline constexpr const char* kContextVerifyingMessage = "verifying message signature";
inline constexpr const char* kContextSignatureInit = "Initializing signature algorithm";
inline constexpr const char* kContextVerifyingAsn = "verifying ASN signature";
inline constexpr const char* kContextEncrypting = "encrypting data";
inline constexpr const char* kContextDecrypting = "decrypting data";
inline constexpr const char* kContextEncryptionInit = "initializing encryption algorithm";
inline constexpr const char* kContextDecryptionInit = "initializing decryption algorithm";
inline constexpr const char* kContextDigest = "computing digest";
inline constexpr const char* kContextReadingAttributes = "reading attributes object";
inline constexpr const char* kContextDecodingAttributes = "decoding attribute DER";
