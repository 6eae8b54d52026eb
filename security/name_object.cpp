// The name object and its AVA list.

#include "security/name_object.h"

#include "security/ber.h"
#include "security/byte_block.h"

#include <cstring>
#include <vector>

namespace {

struct NameAVA {
    const unsigned char* type;
    unsigned int typeLength;
    int tag;
    const unsigned char* value;
    unsigned int valueLength;
    int newRDN;
};

struct AVAListPayload {
    unsigned int count;
    NameAVA* avas; // a block owned by the list handle
};

struct NameRepresentation {
    int (*convert)(ToolkitHandle* name, ToolkitHandle* list);
    ToolkitHandle* list;
};

struct NamePayload {
    unsigned char* der;
    unsigned int derLength;
    unsigned int representationCount;
    NameRepresentation* representations;
};

// The kinds are told apart by address, so their bodies must differ.
volatile int g_kindMarks[2];
void NameKind(void*)
{
    g_kindMarks[0] = 1;
}
void AVAListKind(void*)
{
    g_kindMarks[1] = 1;
}

struct KnownType {
    const unsigned char* oid;
    unsigned int maxLength;
    bool country;
};

const KnownType kKnownTypes[] = {
    {kOidCountryName, 2, true},
    {kOidStateOrProvinceName, 128, false},
    {kOidLocalityName, 128, false},
    {kOidOrganizationName, 64, false},
    {kOidOrganizationalUnitName, 64, false},
    {kOidCommonName, 64, false},
    {kOidTitle, 64, false},
    {kOidStreetAddress, 128, false},
    {kOidPostalCode, 40, false},
};

const KnownType* FindKnownType(const unsigned char* oid, unsigned int length)
{
    for (const KnownType& known : kKnownTypes)
        if (length == 3 && CryptoMemCompare(known.oid, oid, 3) == 0)
            return &known;
    return nullptr;
}

// The type and value checks an AVA passes whether added or decoded.
int CheckAVA(const KnownType* known, int tag, unsigned int length)
{
    if ((tag & 0x1F) == 0x1F || (tag & 0x20) || tag < 0 || tag > 0xFF)
        return kAppStringType;
    if (!known)
        return 0;
    if (known->country) {
        if (tag != kTagPrintableString)
            return kAppStringType;
        return length == 2 ? 0 : kAppValueLength;
    }
    if (tag != kTagPrintableString && tag != kTagT61String)
        return kAppStringType;
    return length >= 1 && length <= known->maxLength ? 0 : kAppValueLength;
}

int Name(NamePayload** payload, ToolkitHandle* handle, const char* context, const ToolkitLogCallback* log)
{
    void* p = nullptr;
    if (int status = HandleCheck(&p, handle, NameKind))
        return ReportToolkitError(context, status, kAppBadName, log);
    *payload = static_cast<NamePayload*>(p);
    return 0;
}

// Appends an AVA to the list; its type and value are copied into blocks
// the list owns (a known type points at the table's octets).
int AppendAVA(ToolkitHandle* list, const NameAVA& given)
{
    void* p = nullptr;
    HandleCheck(&p, list, AVAListKind);
    auto* payload = static_cast<AVAListPayload*>(p);
    NameAVA ava = given;
    void* value = nullptr;
    if (int status = HandleCopyBlock(&value, given.value, given.valueLength, list))
        return status;
    ava.value = static_cast<unsigned char*>(value);
    if (const KnownType* known = FindKnownType(given.type, given.typeLength)) {
        ava.type = known->oid;
    } else {
        void* type = nullptr;
        if (int status = HandleCopyBlock(&type, given.type, given.typeLength, list))
            return status;
        ava.type = static_cast<unsigned char*>(type);
    }
    void* array = payload->avas;
    if (int status = HandleReplaceBlock(&array, (payload->count + 1) * sizeof(NameAVA), list))
        return status;
    payload->avas = static_cast<NameAVA*>(array);
    if (payload->count == 0)
        ava.newRDN = 1;
    payload->avas[payload->count++] = ava;
    return 0;
}

const BerTemplateEntry kAVATemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

int DecodeAVA(ToolkitHandle* list, const unsigned char* in, unsigned int length, int newRDN)
{
    BerSlot type{}, value{};
    void* slots[] = {&type, &value};
    unsigned int used = 0;
    if (BerDecode(kAVATemplate, slots, in, length, &used) || used != length || type.length == 0)
        return kAppDecoding;
    unsigned int header = 0, content = 0, total = 0;
    if (BerReadElement(value.data, value.length, &header, &content, &total, 1))
        return kAppDecoding;
    int tag = value.data[0];
    if (int status = CheckAVA(FindKnownType(type.data, type.length), tag, content))
        return status;
    return AppendAVA(list, {type.data, type.length, tag, value.data + header, content, newRDN});
}

// Reads a DER or BER Name into an empty list.
int DecodeName(ToolkitHandle* list, const unsigned char* in, unsigned int length)
{
    unsigned int header = 0, content = 0, total = 0;
    if (!in || length > kNameMaxDer || BerReadElement(in, length, &header, &content, &total, 0) ||
        in[0] != kBerSequence || total != length)
        return kAppDecoding;
    return BerForEachElement(in + header, content, kAppDecoding,
                             [&](const unsigned char* rdn, unsigned int h, unsigned int c, unsigned int) {
        if (rdn[0] != kBerSet || c == 0)
            return kAppDecoding;
        int newRDN = 1;
        return BerForEachElement(rdn + h, c, kAppDecoding,
                                 [&](const unsigned char* ava, unsigned int ah, unsigned int ac, unsigned int) {
            int status = DecodeAVA(list, ava, ah + ac, newRDN);
            newRDN = 0;
            return status;
        });
    });
}

// Encoding: each AVA and each RDN is encoded on its own and handed to the
// enclosing SET OF or SEQUENCE OF as a finished element.
struct AVARun {
    const NameAVA* first;
    unsigned int count;
};

int EncodeRDNMembers(const void* slot, BerEncoder* encoder, unsigned int)
{
    auto* run = static_cast<const AVARun*>(slot);
    for (unsigned int i = 0; i < run->count; ++i) {
        const NameAVA& ava = run->first[i];
        std::vector<unsigned char> value;
        BerEncodeTLV(ava.tag, ava.value, ava.valueLength, &value);
        BerSlot type{ava.type, ava.typeLength, 0}, tlv{value.data(), static_cast<unsigned int>(value.size()), 0};
        void* slots[] = {&type, &tlv};
        if (int status = BerAddEncoded(encoder, kAVATemplate, slots))
            return status;
    }
    return 0;
}

const BerTemplateEntry kRDNTemplate[] = {
    {kBerSet | kBerRepeated, nullptr, EncodeRDNMembers, 0},
};

int EncodeNameMembers(const void* slot, BerEncoder* encoder, unsigned int)
{
    auto* list = static_cast<const AVAListPayload*>(slot);
    for (unsigned int i = 0; i < list->count;) {
        unsigned int end = i + 1;
        while (end < list->count && !list->avas[end].newRDN)
            ++end;
        AVARun run{list->avas + i, end - i};
        void* slots[] = {&run};
        if (int status = BerAddEncoded(encoder, kRDNTemplate, slots))
            return status;
        i = end;
    }
    return 0;
}

const BerTemplateEntry kNameTemplate[] = {
    {kBerSequence | kBerRepeated, nullptr, EncodeNameMembers, 0},
};

// The list's converter: encodes the list and keeps the DER in the name.
int ConvertList(ToolkitHandle* name, ToolkitHandle* list)
{
    void* p = nullptr;
    HandleCheck(&p, list, AVAListKind);
    void* slots[] = {p};
    ToolkitItem der{};
    if (int status = BerEncode(kNameTemplate, slots, &der))
        return MapAlgorithmError(status);
    void* block = der.data;
    if (int status = HandleAdoptBlock(&block, der.length, name))
        return status;
    auto* payload = static_cast<NamePayload*>(name->payload);
    payload->der = static_cast<unsigned char*>(block);
    payload->derLength = der.length;
    return 0;
}

int RegisterList(ToolkitHandle* name, ToolkitHandle* list)
{
    auto* payload = static_cast<NamePayload*>(name->payload);
    if (!payload->representations) {
        void* block = nullptr;
        if (int status = HandleAllocBlock(&block, sizeof(NameRepresentation), name))
            return status;
        payload->representations = static_cast<NameRepresentation*>(block);
    }
    payload->representations[0] = {ConvertList, list};
    payload->representationCount = 1;
    return 0;
}

// A new list holding the AVAs of der (none when der is null).
int NewList(ToolkitHandle** list, ToolkitHandle* name, const unsigned char* der, unsigned int length)
{
    void* p = nullptr;
    if (int status = HandleAlloc(list, &p, sizeof(AVAListPayload), AVAListKind))
        return status;
    if (der) {
        if (int status = DecodeName(*list, der, length)) {
            HandleFree(list);
            return status;
        }
    }
    if (!name)
        return 0;
    if (int status = HandleAttachChild(list, name))
        return status;
    return RegisterList(name, *list);
}

// The AVA list: the registered one, or one decoded from the DER; with
// create, an empty one when the object holds nothing.
int GetList(ToolkitHandle** list, ToolkitHandle* name, bool create)
{
    auto* payload = static_cast<NamePayload*>(name->payload);
    if (payload->representationCount) {
        *list = payload->representations[0].list;
        return 0;
    }
    if (!payload->der && !create)
        return kAppBadName;
    return NewList(list, name, payload->der, payload->derLength);
}

// Makes copy the object's only representation.
int ReplaceDER(ToolkitHandle* handle, const unsigned char* der, unsigned int length)
{
    void* block = nullptr;
    if (int status = HandleCopyBlock(&block, der, length, handle))
        return status;
    HandleKeepOnlyBlock(handle, block);
    auto* payload = static_cast<NamePayload*>(handle->payload);
    payload->der = static_cast<unsigned char*>(block);
    payload->derLength = length;
    return 0;
}

} // namespace

bool IsPrintableString(const unsigned char* value, unsigned int length)
{
    for (unsigned int i = 0; i < length; ++i) {
        unsigned char c = value[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  (c && std::strchr(" '()+,-./:=?", c));
        if (!ok)
            return false;
    }
    return true;
}

int CreateNameObject(ToolkitHandle** handle)
{
    return HandleAlloc(handle, nullptr, sizeof(NamePayload), NameKind);
}

int CreateNameObjectFromDER(ToolkitHandle** handle, const ToolkitItem* der, const ToolkitLogCallback* log)
{
    if (int status = CreateNameObject(handle))
        return status;
    if (int status = SetNameObjectDER(*handle, der, log)) {
        HandleFree(handle);
        return status;
    }
    return 0;
}

int SetNameObjectDER(ToolkitHandle* handle, const ToolkitItem* der, const ToolkitLogCallback* log)
{
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    // Decoded once here, so a bad Name is refused now and not at first use.
    ToolkitHandle* check = nullptr;
    int status = NewList(&check, nullptr, der->data, der->length);
    HandleFree(&check);
    if (status)
        return status;
    return ReplaceDER(handle, der->data, der->length);
}

int SetNameObjectFromBER(ToolkitHandle* handle, const unsigned char* octets, unsigned int length,
                         const ToolkitLogCallback* log)
{
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    ToolkitHandle* list = nullptr;
    if (int status = NewList(&list, nullptr, octets, length))
        return status;
    void* slots[] = {list->payload};
    ToolkitItem der{};
    int status = BerEncode(kNameTemplate, slots, &der);
    HandleFree(&list);
    if (status)
        return MapAlgorithmError(status);
    status = ReplaceDER(handle, der.data, der.length);
    ToolkitFree(der.data);
    return status;
}

int GetNameObjectDER(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                     const ToolkitLogCallback* log)
{
    *der = nullptr;
    *length = 0;
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    if (!payload->der) {
        if (!payload->representationCount)
            return kAppBadName;
        const NameRepresentation& r = payload->representations[0];
        if (int status = r.convert(handle, r.list))
            return status;
    }
    *der = payload->der;
    *length = payload->derLength;
    return 0;
}

int SetNameObjectFromText(unsigned int* index, ToolkitHandle* handle, const unsigned char* oid,
                          unsigned int oidLength, int tag, const unsigned char* value, unsigned int valueLength,
                          int newRDN, const ToolkitLogCallback* log)
{
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    if (!oid || oidLength == 0 || (!value && valueLength))
        return kAppDecoding;
    if (int status = CheckAVA(FindKnownType(oid, oidLength), tag, valueLength))
        return status;
    if (tag == kTagPrintableString && !IsPrintableString(value, valueLength))
        return kAppCharacters;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, true))
        return ReportToolkitError(kContextReadingNameList, status, kAppBadName, log);
    if (int status = AppendAVA(list, {oid, oidLength, tag, value, valueLength, newRDN ? 1 : 0}))
        return status;
    // The list changed: its DER is stale.
    if (payload->der) {
        void* der = payload->der;
        HandleFreeBlock(&der, handle);
        payload->der = nullptr;
        payload->derLength = 0;
    }
    if (index)
        *index = static_cast<AVAListPayload*>(list->payload)->count - 1;
    return 0;
}

int GetNameAVACount(unsigned int* count, ToolkitHandle* handle, const ToolkitLogCallback* log)
{
    *count = 0;
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return status == kAppBadName ? 0 : ReportToolkitError(kContextReadingNameList, status, kAppBadName, log);
    *count = static_cast<AVAListPayload*>(list->payload)->count;
    return 0;
}

int GetNameAVA(const unsigned char** type, unsigned int* typeLength, int* tag, const unsigned char** value,
               unsigned int* valueLength, int* newRDN, ToolkitHandle* handle, unsigned int index,
               const ToolkitLogCallback* log)
{
    NamePayload* payload = nullptr;
    if (int status = Name(&payload, handle, kContextReadingName, log))
        return status;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return status == kAppBadName ? kAppIndex : ReportToolkitError(kContextReadingNameList, status, kAppBadName, log);
    auto* avas = static_cast<AVAListPayload*>(list->payload);
    if (index >= avas->count)
        return kAppIndex;
    const NameAVA& ava = avas->avas[index];
    *type = ava.type;
    *typeLength = ava.typeLength;
    *tag = ava.tag;
    *value = ava.value;
    *valueLength = ava.valueLength;
    *newRDN = ava.newRDN;
    return 0;
}

void ClearNameObject(ToolkitHandle* handle)
{
    HandleClear(handle);
}

void DestroyNameObject(ToolkitHandle** handle)
{
    HandleFree(handle);
}
