#pragma once
// Inside the toolkit: object layouts, info type descriptors, method objects
// and the implementation records a chooser lists. Users include toolkit.h.

#include "security/cbc_cipher.h"
#include "security/toolkit.h"

struct ToolkitMemoryEntry {
    void* block;
    unsigned int size;
    void (*release)(void* block); // null: zeroed and freed
};

// Owns every block an object allocates for info values and method state.
struct ToolkitMemoryList {
    unsigned int count;
    unsigned int capacity;
    ToolkitMemoryEntry* entries;
};

struct ToolkitInfoEntry {
    ToolkitInfoType type;
    void* value;
};

// Each info type whose value the object holds, so a value is made once.
struct ToolkitInfoList {
    unsigned int count;
    ToolkitInfoEntry* entries;
};

struct ToolkitMethod;

struct ToolkitAlgorithmRecord {
    ToolkitMemoryList memory;
    ToolkitInfoList info;
    ToolkitMethod* method;
    unsigned int initialised;
    const void* tag;
    ToolkitAlgorithmRecord* self;
};

struct ToolkitKeyRecord {
    ToolkitMemoryList memory;
    ToolkitInfoList info;
    const void* tag;
    ToolkitKeyRecord* self;
};

// Zeroed by the list when it is released; 518 when memory runs out.
int MemoryListAllocate(ToolkitMemoryList* list, unsigned int size, void** out);
int MemoryListAdd(ToolkitMemoryList* list, void* block, unsigned int size, void (*release)(void*));
void MemoryListRelease(ToolkitMemoryList* list);
int InfoListAdd(ToolkitInfoList* list, ToolkitInfoType type, void* value);
void* InfoListFind(const ToolkitInfoList* list, ToolkitInfoType type);

struct ToolkitAlgorithmInfo {
    int (*set)(ToolkitAlgorithmObject object, const void* parameters);
    int (*create)(ToolkitAlgorithmObject object);
    int (*get)(void** out, ToolkitAlgorithmObject object);
};

struct ToolkitKeyInfo {
    int (*set)(ToolkitKeyObject key, const void* value);
    int (*get)(void** out, ToolkitKeyObject key);
};

// Copies n bytes into the key's memory; item points at the copy.
int KeyCopyBytes(ToolkitKeyObject key, const unsigned char* data, unsigned int n, ToolkitItem* item);

// An implementation as a chooser lists it. Codes it answers are the small
// ones that TranslateImplementationCode turns into statuses.
struct ToolkitImplementation {
    unsigned int contextSize;
    // parameters: the algorithm object's own (IV, effective bits...), or null.
    int (*init)(void* context, const void* keyValue, const void* parameters, int encrypt);
    int (*update)(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                  const unsigned char* in, unsigned int inLen, const ToolkitSurrender* surrender);
    int (*final)(void* context, unsigned char* out, unsigned int* outLen, unsigned int maxOut);
    unsigned int (*blockLength)(const void* context); // null when it works on streams
    void (*clear)(void* context);                      // frees work areas; may be null
};

struct ToolkitAlgorithmType {
    const char* name;
};

struct ToolkitMethodRecord {
    const ToolkitAlgorithmType* type;
    int encrypt; // 1 encryption, 0 decryption, digest, random
    ToolkitInfoType keyInfo;
    const ToolkitImplementation* implementation;
};

enum ToolkitMethodKind {
    kMethodTextCoder = 1,
    kMethodCipher,
    kMethodRandom,
    kMethodDigest,
    kMethodPaddingCipher,
    kMethodKeyGeneration,
};

// Operation slots; direction is 1 for encode/encrypt, 0 for decode/decrypt.
// A digest's update ignores out; a random's update seeds and its final
// generates inLen bytes.
struct ToolkitMethodOps {
    void (*destroy)(ToolkitMethod* method);
    int (*init)(ToolkitMethod* method, int direction, ToolkitKeyObject key, ToolkitAlgorithmChooser chooser,
                const ToolkitSurrender* surrender);
    int (*update)(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen,
                  unsigned int maxOut, const unsigned char* in, unsigned int inLen, const ToolkitSurrender* surrender);
    int (*final)(ToolkitMethod* method, int direction, unsigned char* out, unsigned int* outLen,
                 unsigned int maxOut, const ToolkitSurrender* surrender);
};

// The chosen implementation and its context, shared by the chooser kinds.
struct ToolkitBinding {
    const ToolkitImplementation* implementation;
    void* context;
};

struct ToolkitMethod {
    int kind; // first member: the fronts compare it
    const ToolkitMethodOps* ops;
    const ToolkitAlgorithmType* type;
    ToolkitBinding binding;
    void* state; // kind-specific
    // The random object of the running cipher update or final (null when
    // the caller gave none): padding that needs random octets draws them.
    ToolkitAlgorithmObject random;
};

int TranslateImplementationCode(int code);
// Walks the chooser for records of type and direction, fetching the key in
// each record's form and initialising its implementation; binds the first
// that succeeds, handing it parameters too. 545 when no record fits.
int ChooseImplementation(ToolkitBinding* binding, const ToolkitAlgorithmType* type, int encrypt,
                         ToolkitKeyObject key, ToolkitAlgorithmChooser chooser, const void* parameters = nullptr);
void ReleaseBinding(ToolkitBinding* binding);
// A method object of a chooser kind (cipher, digest, random) for type.
int CreateChosenMethod(ToolkitAlgorithmObject object, int kind, const ToolkitAlgorithmType* type);

// What an algorithm object bound to a CBC cipher holds; the CBC
// implementations take it as their parameters.
struct ToolkitCBCState {
    int padding;
    unsigned int effectiveBits; // RC2
    unsigned char iv[8];
    ToolkitItem ivItem;           // given back for DES-CBC
    ToolkitRC2CBCParameters rc2;  // given back for RC2-CBC
};

extern const ToolkitMethodOps kChosenMethodOps;

extern const ToolkitAlgorithmType kRC4Algorithm;
extern const ToolkitAlgorithmType kMD5Algorithm;
extern const ToolkitAlgorithmType kRandomAlgorithm;
extern const ToolkitAlgorithmType kRSAPrivateAlgorithm;
extern const ToolkitAlgorithmType kRSAPublicAlgorithm;
extern const ToolkitAlgorithmType kMD2Algorithm;
extern const ToolkitAlgorithmType kDESCBCAlgorithm;
extern const ToolkitAlgorithmType kRC2CBCAlgorithm;
extern const ToolkitAlgorithmType kRSAKeyGenerationAlgorithm;

extern const ToolkitImplementation kRC4Implementation;
extern const ToolkitImplementation kMD5Implementation;
extern const ToolkitImplementation kRandomImplementation;
extern const ToolkitImplementation kRSAPrivateImplementation;
extern const ToolkitImplementation kRSAPublicImplementation;
extern const ToolkitImplementation kMD2Implementation;
extern const ToolkitImplementation kDESCBCImplementation;
extern const ToolkitImplementation kRC2CBCImplementation;
extern const ToolkitImplementation kRSAKeyGenerationImplementation;
