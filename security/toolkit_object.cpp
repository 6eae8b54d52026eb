// Algorithm and key objects: their memory and info lists, the info types'
// set and get, and the toolkit's memory routines.

#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstdlib>
#include <cstring>
#include <cstring>

namespace {

// Markers whose addresses tag live objects.
const char kAlgorithmMarker = 'A';
const char kKeyMarker = 'K';

void ZeroAndFree(void* block, unsigned int size)
{
    if (!block)
        return;
    explicit_bzero(block, size);
    ToolkitFree(block);
}

} // namespace

void CryptoMemSet(void* block, int value, unsigned int length)
{
    if (length)
        std::memset(block, value, length);
}

void CryptoMemCopy(void* to, const void* from, unsigned int length)
{
    if (length)
        std::memcpy(to, from, length);
}

void CryptoMemMove(void* to, const void* from, unsigned int length)
{
    if (length)
        std::memmove(to, from, length);
}

int CryptoMemCompare(const void* a, const void* b, unsigned int length)
{
    if (!length)
        return 0;
    int c = std::memcmp(a, b, length);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

void* CryptoRealloc(void* block, unsigned int size)
{
    void* grown = std::realloc(block, size == 0 ? 1 : size);
    if (!grown)
        std::free(block);
    return grown;
}

unsigned int CryptoStrLen(const char* text)
{
    return static_cast<unsigned int>(std::strlen(text));
}

int MemoryListAdd(ToolkitMemoryList* list, void* block, unsigned int size, void (*release)(void*))
{
    if (list->count == list->capacity) {
        unsigned int capacity = list->count + 10;
        auto* grown = static_cast<ToolkitMemoryEntry*>(ToolkitAlloc(capacity * sizeof(ToolkitMemoryEntry)));
        if (!grown)
            return kToolkitNoMemory;
        CryptoMemCopy(grown, list->entries, list->count * sizeof(ToolkitMemoryEntry));
        ToolkitFree(list->entries);
        list->entries = grown;
        list->capacity = capacity;
    }
    list->entries[list->count++] = {block, size, release};
    return 0;
}

int MemoryListAllocate(ToolkitMemoryList* list, unsigned int size, void** out)
{
    void* block = ToolkitAlloc(size);
    if (!block)
        return kToolkitNoMemory;
    CryptoMemSet(block, 0, size);
    if (int status = MemoryListAdd(list, block, size, nullptr)) {
        ToolkitFree(block);
        return status;
    }
    *out = block;
    return 0;
}

void MemoryListRelease(ToolkitMemoryList* list)
{
    for (unsigned int i = 0; i < list->count; ++i) {
        ToolkitMemoryEntry& entry = list->entries[i];
        if (entry.release)
            entry.release(entry.block);
        else
            ZeroAndFree(entry.block, entry.size);
    }
    ToolkitFree(list->entries);
    *list = {};
}

int InfoListAdd(ToolkitInfoList* list, ToolkitInfoType type, void* value)
{
    auto* grown = static_cast<ToolkitInfoEntry*>(ToolkitAlloc((list->count + 1) * sizeof(ToolkitInfoEntry)));
    if (!grown)
        return kToolkitNoMemory;
    CryptoMemCopy(grown, list->entries, list->count * sizeof(ToolkitInfoEntry));
    ToolkitFree(list->entries);
    list->entries = grown;
    list->entries[list->count++] = {type, value};
    return 0;
}

void* InfoListFind(const ToolkitInfoList* list, ToolkitInfoType type)
{
    for (unsigned int i = 0; i < list->count; ++i)
        if (list->entries[i].type == type)
            return list->entries[i].value;
    return nullptr;
}

static void InfoListRelease(ToolkitInfoList* list)
{
    ToolkitFree(list->entries);
    *list = {};
}

int CheckAlgorithmObject(ToolkitAlgorithmObject object)
{
    if (!object || object->self != object || object->tag != &kAlgorithmMarker)
        return kToolkitBadAlgorithmObject;
    return 0;
}

int CheckKeyObject(ToolkitKeyObject key)
{
    if (key && (key->self != key || key->tag != &kKeyMarker))
        return kToolkitBadKeyObject;
    return 0;
}

int CreateAlgorithmObject(ToolkitAlgorithmObject* out)
{
    auto* object = static_cast<ToolkitAlgorithmRecord*>(ToolkitAlloc(sizeof(ToolkitAlgorithmRecord)));
    *out = object;
    if (!object)
        return kToolkitNoMemory;
    *object = {};
    object->tag = &kAlgorithmMarker;
    object->self = object;
    return 0;
}

void DestroyAlgorithmObject(ToolkitAlgorithmObject* handle)
{
    ToolkitAlgorithmObject object = *handle;
    *handle = nullptr;
    if (CheckAlgorithmObject(object))
        return;
    object->self = nullptr;
    if (object->method) {
        object->method->ops->destroy(object->method);
        ZeroAndFree(object->method, sizeof(ToolkitMethod));
    }
    MemoryListRelease(&object->memory);
    InfoListRelease(&object->info);
    ZeroAndFree(object, sizeof(ToolkitAlgorithmRecord));
}

int SetAlgorithmInfo(ToolkitAlgorithmObject object, ToolkitInfoType type, const void* parameters)
{
    if (int status = CheckAlgorithmObject(object))
        return status;
    const void* descriptor = nullptr;
    if (type(&descriptor) != 0)
        return kToolkitKeyInfoType;
    if (object->info.count || object->method)
        return kToolkitInfoAlreadySet;
    auto* info = static_cast<const ToolkitAlgorithmInfo*>(descriptor);
    if (int status = info->set(object, parameters))
        return status;
    if (int status = InfoListAdd(&object->info, type, nullptr))
        return status;
    return info->create(object) ? kToolkitNoMemory : 0;
}

int GetAlgorithmInfo(void** out, ToolkitAlgorithmObject object, ToolkitInfoType type)
{
    if (int status = CheckAlgorithmObject(object))
        return status;
    if (!object->info.count)
        return kToolkitNoMethod;
    if (void* value = InfoListFind(&object->info, type)) {
        *out = value;
        return 0;
    }
    const void* descriptor = nullptr;
    if (type(&descriptor) != 0)
        return kToolkitKeyInfoType;
    void* value = nullptr;
    if (int status = static_cast<const ToolkitAlgorithmInfo*>(descriptor)->get(&value, object))
        return status;
    if (int status = InfoListAdd(&object->info, type, value))
        return status;
    *out = value;
    return 0;
}

int CreateKeyObject(ToolkitKeyObject* out)
{
    auto* key = static_cast<ToolkitKeyRecord*>(ToolkitAlloc(sizeof(ToolkitKeyRecord)));
    *out = key;
    if (!key)
        return kToolkitNoMemory;
    *key = {};
    key->tag = &kKeyMarker;
    key->self = key;
    return 0;
}

void DestroyKeyObject(ToolkitKeyObject* handle)
{
    ToolkitKeyObject key = *handle;
    *handle = nullptr;
    if (!key || CheckKeyObject(key))
        return;
    key->self = nullptr;
    MemoryListRelease(&key->memory);
    InfoListRelease(&key->info);
    ZeroAndFree(key, sizeof(ToolkitKeyRecord));
}

int SetKeyInfo(ToolkitKeyObject key, ToolkitInfoType type, const void* value)
{
    if (!key)
        return kToolkitBadKeyObject;
    if (int status = CheckKeyObject(key))
        return status;
    const void* descriptor = nullptr;
    if (type(&descriptor) != 1)
        return kToolkitWrongKind;
    if (key->info.count)
        return kToolkitKeyInfoAlreadySet;
    return static_cast<const ToolkitKeyInfo*>(descriptor)->set(key, value);
}

int GetKeyInfo(void** out, ToolkitKeyObject key, ToolkitInfoType type)
{
    if (!key)
        return kToolkitBadKeyObject;
    if (int status = CheckKeyObject(key))
        return status;
    if (!key->info.count)
        return kToolkitKeyEmpty;
    if (void* value = InfoListFind(&key->info, type)) {
        *out = value;
        return 0;
    }
    const void* descriptor = nullptr;
    if (type(&descriptor) != 1)
        return kToolkitWrongKind;
    void* value = nullptr;
    if (int status = static_cast<const ToolkitKeyInfo*>(descriptor)->get(&value, key))
        return status;
    if (int status = InfoListAdd(&key->info, type, value))
        return status;
    *out = value;
    return 0;
}

int KeyCopyBytes(ToolkitKeyObject key, const unsigned char* data, unsigned int n, ToolkitItem* item)
{
    void* copy = nullptr;
    if (int status = MemoryListAllocate(&key->memory, n, &copy))
        return status;
    CryptoMemCopy(copy, data, n);
    *item = {static_cast<unsigned char*>(copy), n};
    return 0;
}

// The raw key: bytes as given (RC4 keys, secrets).
namespace {

int RawKeySet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitItem*>(value);
    ToolkitItem* item = nullptr;
    if (int status = MemoryListAllocate(&key->memory, sizeof(ToolkitItem), reinterpret_cast<void**>(&item)))
        return status;
    if (int status = KeyCopyBytes(key, given->data, given->length, item))
        return status;
    return InfoListAdd(&key->info, RawKeyInfoType, item);
}

int RawKeyGet(void**, ToolkitKeyObject)
{
    return kToolkitKeyForm;
}

const ToolkitKeyInfo kRawKeyInfo = {RawKeySet, RawKeyGet};

} // namespace

int RawKeyInfoType(const void** out)
{
    *out = &kRawKeyInfo;
    return 1;
}
