// Handles of the application layer, its error reports and the mapping of
// algorithm statuses onto its own.

#include "security/toolkit_handle.h"

#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <cstring>

namespace {

void Wipe(void* block, unsigned int size)
{
    if (block) {
        explicit_bzero(block, size);
        ToolkitFree(block);
    }
}

bool IsValid(const ToolkitHandle* handle)
{
    return handle && handle->self == handle;
}

// Makes room for one more entry: capacity becomes the needed count plus
// the spare entries. The array is moved, never realloc'd, so a failure
// leaves it as it was.
template <class T>
int Grow(T** array, unsigned int count, unsigned int* capacity)
{
    if (count < *capacity)
        return 0;
    unsigned int wanted = count + 1 + kHandleListSpare;
    auto* fresh = static_cast<T*>(ToolkitAlloc(wanted * sizeof(T)));
    if (!fresh)
        return kAppNoMemory;
    if (count)
        CryptoMemCopy(fresh, *array, count * sizeof(T));
    Wipe(*array, *capacity * sizeof(T));
    *array = fresh;
    *capacity = wanted;
    return 0;
}

int AddBlock(ToolkitHandle* handle, void* block, unsigned int size)
{
    if (int status = Grow(&handle->blocks, handle->blockCount, &handle->blockCapacity))
        return status;
    handle->blocks[handle->blockCount++] = {block, size};
    return 0;
}

int FindBlockIndex(const ToolkitHandle* handle, const void* block, unsigned int* index)
{
    for (unsigned int i = 0; i < handle->blockCount; ++i)
        if (handle->blocks[i].block == block) {
            *index = i;
            return 0;
        }
    return kAppBadHandle;
}

void RemoveBlockEntry(ToolkitHandle* handle, unsigned int index)
{
    handle->blocks[index] = handle->blocks[--handle->blockCount];
    handle->blocks[handle->blockCount] = {};
}

// Frees a child whose parent link has already been cut.
void FreeDetached(ToolkitHandle* child)
{
    child->parent = nullptr;
    HandleFree(&child);
}

// Clears everything but the kept child or block (either may be null).
void ClearKeeping(ToolkitHandle* handle, ToolkitHandle* keptChild, void* keptBlock)
{
    if (handle->kind && handle->payload)
        handle->kind(handle->payload);
    if (handle->payload)
        CryptoMemSet(handle->payload, 0, handle->payloadSize);
    unsigned int kept = 0;
    for (unsigned int i = 0; i < handle->childCount; ++i) {
        ToolkitHandle* child = handle->children[i];
        handle->children[i] = nullptr;
        if (child == keptChild)
            handle->children[kept++] = child;
        else
            FreeDetached(child);
    }
    handle->childCount = kept;
    kept = 0;
    for (unsigned int i = 0; i < handle->blockCount; ++i) {
        ToolkitHandleBlock entry = handle->blocks[i];
        handle->blocks[i] = {};
        if (keptBlock && entry.block == keptBlock)
            handle->blocks[kept++] = entry;
        else
            Wipe(entry.block, entry.size);
    }
    handle->blockCount = kept;
}

int MoveBlock(void** block, unsigned int newSize, ToolkitHandle* handle)
{
    if (!IsValid(handle))
        return kAppBadHandle;
    if (!*block)
        return HandleAllocBlock(block, newSize, handle);
    unsigned int index = 0;
    if (FindBlockIndex(handle, *block, &index))
        return kAppBadHandle;
    void* fresh = ToolkitAlloc(newSize);
    if (!fresh)
        return kAppNoMemory;
    ToolkitHandleBlock& entry = handle->blocks[index];
    unsigned int keep = entry.size < newSize ? entry.size : newSize;
    CryptoMemCopy(fresh, entry.block, keep);
    if (newSize > keep)
        CryptoMemSet(static_cast<char*>(fresh) + keep, 0, newSize - keep);
    Wipe(entry.block, entry.size);
    entry = {fresh, newSize};
    *block = fresh;
    return 0;
}

} // namespace

int HandleAlloc(ToolkitHandle** handle, void** payload, unsigned int payloadSize, ToolkitHandleKind kind)
{
    *handle = nullptr;
    if (payload)
        *payload = nullptr;
    auto* h = static_cast<ToolkitHandle*>(ToolkitAlloc(sizeof(ToolkitHandle)));
    if (!h)
        return kAppNoMemory;
    *h = {};
    h->payload = ToolkitAlloc(payloadSize);
    if (!h->payload) {
        ToolkitFree(h);
        return kAppNoMemory;
    }
    CryptoMemSet(h->payload, 0, payloadSize);
    h->payloadSize = payloadSize;
    h->kind = kind;
    h->self = h;
    *handle = h;
    if (payload)
        *payload = h->payload;
    return 0;
}

int HandleCheck(void** payload, const ToolkitHandle* handle, ToolkitHandleKind kind)
{
    *payload = nullptr;
    if (!IsValid(handle) || (kind && handle->kind != kind))
        return kAppBadHandle;
    *payload = handle->payload;
    return 0;
}

int HandleAllocBlock(void** block, unsigned int size, ToolkitHandle* handle)
{
    *block = nullptr;
    if (!IsValid(handle))
        return kAppBadHandle;
    void* fresh = ToolkitAlloc(size);
    if (!fresh)
        return kAppNoMemory;
    if (int status = AddBlock(handle, fresh, size)) {
        ToolkitFree(fresh);
        return status;
    }
    *block = fresh;
    return 0;
}

int HandleCopyBlock(void** block, const void* source, unsigned int size, ToolkitHandle* handle)
{
    if (int status = HandleAllocBlock(block, size, handle))
        return status;
    CryptoMemCopy(*block, source, size);
    return 0;
}

int HandleAdoptBlock(void** block, unsigned int size, ToolkitHandle* handle)
{
    int status = IsValid(handle) ? AddBlock(handle, *block, size) : kAppBadHandle;
    if (status) {
        Wipe(*block, size);
        *block = nullptr;
    }
    return status;
}

int HandleResizeBlock(void** block, unsigned int newSize, ToolkitHandle* handle)
{
    // A realloc would leave the old bytes unwiped, and on failure a block
    // the list still records; moving avoids both.
    return MoveBlock(block, newSize, handle);
}

int HandleReplaceBlock(void** block, unsigned int newSize, ToolkitHandle* handle)
{
    return MoveBlock(block, newSize, handle);
}

int HandleFreeBlock(void** block, ToolkitHandle* handle)
{
    if (!IsValid(handle))
        return kAppBadHandle;
    unsigned int index = 0;
    if (int status = FindBlockIndex(handle, *block, &index))
        return status;
    Wipe(handle->blocks[index].block, handle->blocks[index].size);
    RemoveBlockEntry(handle, index);
    *block = nullptr;
    return 0;
}

int HandleFindBlock(ToolkitHandleBlock** entry, const void* block, ToolkitHandle* handle)
{
    *entry = nullptr;
    if (!IsValid(handle))
        return kAppBadHandle;
    unsigned int index = 0;
    if (int status = FindBlockIndex(handle, block, &index))
        return status;
    *entry = &handle->blocks[index];
    return 0;
}

int HandleAttachChild(ToolkitHandle** child, ToolkitHandle* parent)
{
    ToolkitHandle* c = *child;
    if (!IsValid(c) || !IsValid(parent) || c->parent || c == parent) {
        // A child that already has a parent belongs to it: not ours to free.
        if (IsValid(c) && !c->parent)
            HandleFree(child);
        *child = nullptr;
        return kAppBadHandle;
    }
    if (int status = Grow(&parent->children, parent->childCount, &parent->childCapacity)) {
        HandleFree(child);
        return status;
    }
    parent->children[parent->childCount++] = c;
    c->parent = parent;
    return 0;
}

int HandleCreateChild(ToolkitHandle** child, void** payload, unsigned int size, ToolkitHandle* parent,
                      ToolkitHandleKind kind)
{
    if (!IsValid(parent)) {
        *child = nullptr;
        return kAppBadHandle;
    }
    if (int status = HandleAlloc(child, payload, size, kind))
        return status;
    if (int status = HandleAttachChild(child, parent)) {
        if (payload)
            *payload = nullptr;
        return status;
    }
    return 0;
}

int HandleDetachChild(ToolkitHandle** child, ToolkitHandle* parent)
{
    if (!IsValid(parent) || !*child)
        return kAppBadHandle;
    for (unsigned int i = 0; i < parent->childCount; ++i)
        if (parent->children[i] == *child) {
            parent->children[i] = parent->children[--parent->childCount];
            parent->children[parent->childCount] = nullptr;
            FreeDetached(*child);
            *child = nullptr;
            return 0;
        }
    return kAppBadHandle;
}

void HandleClear(ToolkitHandle* handle)
{
    if (IsValid(handle))
        ClearKeeping(handle, nullptr, nullptr);
}

void HandleKeepOnlyChild(ToolkitHandle* handle, ToolkitHandle* child)
{
    if (IsValid(handle))
        ClearKeeping(handle, child, nullptr);
}

void HandleKeepOnlyBlock(ToolkitHandle* handle, void* block)
{
    if (IsValid(handle))
        ClearKeeping(handle, nullptr, block);
}

void HandleFree(ToolkitHandle** handle)
{
    if (!handle)
        return;
    ToolkitHandle* h = *handle;
    *handle = nullptr;
    if (!IsValid(h) || h->parent)
        return;
    ClearKeeping(h, nullptr, nullptr);
    Wipe(h->children, h->childCapacity * sizeof(ToolkitHandle*));
    Wipe(h->blocks, h->blockCapacity * sizeof(ToolkitHandleBlock));
    Wipe(h->payload, h->payloadSize);
    h->self = nullptr;
    ToolkitFree(h);
}

namespace {

// Codes the caller must see as they are: never replaced by a context code.
bool PassesThrough(int code)
{
    return code == kAppNoMemory || code == 267 || code == kAppKeyOutputRefused || code == 283;
}

} // namespace

int ReportToolkitError(const char* context, int code, int contextCode, const ToolkitLogCallback* log)
{
    if (PassesThrough(code))
        return code;
    if (log && log->function && code != contextCode)
        log->function(context, 0, code, log->data);
    return contextCode;
}

int ReportAlgorithmError(const char* context, int algorithmCode, int contextCode, const ToolkitLogCallback* log)
{
    return ReportToolkitError(context, MapAlgorithmError(algorithmCode), contextCode, log);
}

int ReportToolkitWarning(const char* context, int code, const ToolkitLogCallback* log)
{
    if (PassesThrough(code))
        return code;
    if (log && log->function)
        log->function(context, 1, code, log->data);
    return 0;
}

int MapAlgorithmError(int code)
{
    if (code >= 256 && code <= 511)
        return code;
    switch (code) {
    case kToolkitNotInitialised:
    case kToolkitNoMethod:
    case kToolkitBadAlgorithmObject:
    case kToolkitWrongKind:
    case kToolkitBadKeyObject:
    case 532:
        return kAppBadHandle;
    case kToolkitNoMemory: return kAppNoMemory;
    case kToolkitImplementation1: return 267;
    case kToolkitImplementation3: return 281;
    case kToolkitImplementation4: return 282;
    case kToolkitFatal: return 283;
    case kToolkitData: return kAppDecoding;
    case kToolkitLength: return 286;
    case kToolkitKeyTooLong: return kAppKeyGenerationRefused;
    case kToolkitLookup: return kAppUnsupported;
    case kToolkitOutputRoom: return kAppOutputRoom;
    case kToolkitEncodingTooLong: return 303;
    case kToolkitRandomNotStarted:
    case kToolkitBadRandomObject:
        return kAppRandom;
    case 540: return 291;
    default: return kAppAlgorithm;
    }
}
