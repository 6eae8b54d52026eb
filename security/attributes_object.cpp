// The attributes object, its attribute list and the UTCTime text.

#include "security/attributes_object.h"

#include "security/ber.h"
#include "security/byte_block.h"
#include "security/name_object.h"

#include <vector>

namespace {

struct AttributeValue {
    const unsigned char* der;
    unsigned int length;
};

struct Attribute {
    const unsigned char* type;
    unsigned int typeLength;
    unsigned int valueCount;
    AttributeValue* values; // a block owned by the list
};

struct AttributeListPayload {
    unsigned int count;
    Attribute* attributes; // a block owned by the list
};

struct AttributesPayload {
    unsigned char* der;
    unsigned int derLength;
    ToolkitHandle* list;
};

// The kinds are told apart by address, so their bodies must differ.
volatile int g_kindMarks[2];
void AttributesKind(void*)
{
    g_kindMarks[0] = 1;
}
void AttributeListKind(void*)
{
    g_kindMarks[1] = 1;
}

AttributesPayload* Payload(ToolkitHandle* handle)
{
    void* p = nullptr;
    HandleCheck(&p, handle, AttributesKind);
    return static_cast<AttributesPayload*>(p);
}

AttributeListPayload* ListOf(ToolkitHandle* list)
{
    return static_cast<AttributeListPayload*>(list->payload);
}

Attribute* Find(AttributeListPayload* list, const unsigned char* type, unsigned int typeLength)
{
    for (unsigned int i = 0; i < list->count; ++i) {
        Attribute& a = list->attributes[i];
        if (a.typeLength == typeLength && CryptoMemCompare(a.type, type, typeLength) == 0)
            return &a;
    }
    return nullptr;
}

// Appends one value (copied) under type, adding the type when absent.
int Append(ToolkitHandle* list, const unsigned char* type, unsigned int typeLength, const unsigned char* value,
           unsigned int valueLength)
{
    AttributeListPayload* payload = ListOf(list);
    Attribute* attribute = Find(payload, type, typeLength);
    if (!attribute) {
        void* typeCopy = nullptr;
        if (int status = HandleCopyBlock(&typeCopy, type, typeLength, list))
            return status;
        void* array = payload->attributes;
        if (int status = HandleReplaceBlock(&array, (payload->count + 1) * sizeof(Attribute), list))
            return status;
        payload->attributes = static_cast<Attribute*>(array);
        attribute = &payload->attributes[payload->count++];
        *attribute = {static_cast<unsigned char*>(typeCopy), typeLength, 0, nullptr};
    }
    void* copy = nullptr;
    if (int status = HandleCopyBlock(&copy, value, valueLength, list))
        return status;
    void* array = attribute->values;
    if (int status = HandleReplaceBlock(&array, (attribute->valueCount + 1) * sizeof(AttributeValue), list))
        return status;
    attribute->values = static_cast<AttributeValue*>(array);
    attribute->values[attribute->valueCount++] = {static_cast<unsigned char*>(copy), valueLength};
    return 0;
}

const BerTemplateEntry kAttributeTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerAny, nullptr, nullptr, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

// Reads a SET OF Attribute (any constructed outer tag) into an empty list.
int Decode(ToolkitHandle* list, const unsigned char* in, unsigned int length)
{
    unsigned int header = 0, content = 0, total = 0;
    if (!in || BerReadElement(in, length, &header, &content, &total, 0) || !(in[0] & 0x20) || total != length)
        return kAppBadAttributes;
    return BerForEachElement(in + header, content, kAppBadAttributes, [&](const unsigned char* e, unsigned int, unsigned int,
                                                    unsigned int size) {
        BerSlot type{}, values{};
        void* slots[] = {&type, &values};
        unsigned int used = 0;
        if (BerDecode(kAttributeTemplate, slots, e, size, &used) || used != size || type.length == 0 ||
            values.data[0] != kBerSet)
            return kAppBadAttributes;
        unsigned int vh = 0, vc = 0, vt = 0;
        BerReadElement(values.data, values.length, &vh, &vc, &vt, 1);
        if (vc == 0)
            return kAppBadAttributes;
        return BerForEachElement(values.data + vh, vc, kAppBadAttributes, [&](const unsigned char* v, unsigned int, unsigned int,
                                                        unsigned int vsize) {
            return Append(list, type.data, type.length, v, vsize);
        });
    });
}

int EncodeValues(const void* slot, BerEncoder* encoder, unsigned int)
{
    auto* attribute = static_cast<const Attribute*>(slot);
    for (unsigned int i = 0; i < attribute->valueCount; ++i)
        if (int status = BerAddPiece(encoder, attribute->values[i].der, attribute->values[i].length, kBerAny, 0))
            return status;
    return 0;
}

const BerTemplateEntry kAttributeEncodeTemplate[] = {
    {kBerSequence, nullptr, nullptr, 0},
    {kBerObjectIdentifier, nullptr, nullptr, 0},
    {kBerSet | kBerRepeated, nullptr, EncodeValues, 1},
    {kBerEnd, nullptr, nullptr, 0},
};

int EncodeAttributes(const void* slot, BerEncoder* encoder, unsigned int)
{
    auto* list = static_cast<const AttributeListPayload*>(slot);
    for (unsigned int i = 0; i < list->count; ++i) {
        const Attribute& a = list->attributes[i];
        if (a.valueCount == 0)
            continue; // every value removed: the attribute is gone
        BerSlot type{a.type, a.typeLength, 0};
        void* slots[] = {&type, const_cast<Attribute*>(&a)};
        if (int status = BerAddEncoded(encoder, kAttributeEncodeTemplate, slots))
            return status;
    }
    return 0;
}

const BerTemplateEntry kAttributesTemplate[] = {
    {kBerSet | kBerRepeated, nullptr, EncodeAttributes, 0},
};

int NewList(ToolkitHandle** list, const unsigned char* der, unsigned int length)
{
    if (int status = HandleAlloc(list, nullptr, sizeof(AttributeListPayload), AttributeListKind))
        return status;
    if (der) {
        if (int status = Decode(*list, der, length)) {
            HandleFree(list);
            return status;
        }
    }
    return 0;
}

// The list, decoded from the DER when needed; with create, an empty one
// when the object holds nothing.
int GetList(ToolkitHandle** list, ToolkitHandle* handle, bool create)
{
    AttributesPayload* payload = Payload(handle);
    if (!payload)
        return kAppBadAttributes;
    if (payload->list) {
        *list = payload->list;
        return 0;
    }
    if (!payload->der && !create)
        return kAppBadAttributes;
    if (int status = NewList(list, payload->der, payload->derLength))
        return status;
    if (int status = HandleAttachChild(list, handle))
        return status;
    payload->list = *list;
    return 0;
}

// After a change to the list the DER is stale.
void DropDER(ToolkitHandle* handle)
{
    AttributesPayload* payload = Payload(handle);
    if (payload->der) {
        void* der = payload->der;
        HandleFreeBlock(&der, handle);
        payload->der = nullptr;
        payload->derLength = 0;
    }
}

int ReplaceDER(ToolkitHandle* handle, const unsigned char* der, unsigned int length)
{
    void* block = nullptr;
    if (int status = HandleCopyBlock(&block, der, length, handle))
        return status;
    HandleKeepOnlyBlock(handle, block);
    AttributesPayload* payload = Payload(handle);
    payload->der = static_cast<unsigned char*>(block);
    payload->derLength = length;
    return 0;
}

int CheckString(int tag, const unsigned char* octets, unsigned int length)
{
    if (tag != kTagPrintableString && tag != kTagT61String)
        return kAppStringType;
    if (tag == kTagPrintableString && !IsPrintableString(octets, length))
        return kAppCharacters;
    return 0;
}

// The single value of a typed attribute; 259 unless there is exactly one.
int SingleValue(const AttributeValue** value, ToolkitHandle* handle, const unsigned char* type,
                unsigned int typeLength)
{
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return status;
    Attribute* a = Find(ListOf(list), type, typeLength);
    if (!a || a->valueCount != 1)
        return kAppValueCount;
    *value = &a->values[0];
    return 0;
}

// Splits a primitive element into tag and content.
int SplitValue(int* tag, const unsigned char** content, unsigned int* length, const unsigned char* der,
               unsigned int size)
{
    unsigned int h = 0, c = 0, t = 0;
    if (BerReadElement(der, size, &h, &c, &t, 1) || t != size)
        return kAppDecoding;
    if ((der[0] & 0x20) || (der[0] & 0x1F) == 0x1F)
        return kAppStringType;
    *tag = der[0];
    *content = der + h;
    *length = c;
    return 0;
}

int Replace(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength,
            const std::vector<unsigned char>& value)
{
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, true))
        return status;
    if (Attribute* a = Find(ListOf(list), type, typeLength))
        a->valueCount = 0;
    DropDER(handle);
    return Append(list, type, typeLength, value.data(), static_cast<unsigned int>(value.size()));
}

} // namespace

int CreateAttributesObject(ToolkitHandle** handle)
{
    return HandleAlloc(handle, nullptr, sizeof(AttributesPayload), AttributesKind);
}

void ClearAttributesObject(ToolkitHandle* handle)
{
    HandleClear(handle);
}

void DestroyAttributesObject(ToolkitHandle** handle)
{
    HandleFree(handle);
}

int SetAttributesObjectDER(ToolkitHandle* handle, const ToolkitItem* der, const ToolkitLogCallback* log)
{
    if (!Payload(handle))
        return ReportToolkitError(kContextReadingAttributes, kAppBadHandle, kAppBadAttributes, log);
    ToolkitHandle* check = nullptr;
    int status = NewList(&check, der->data, der->length);
    HandleFree(&check);
    if (status || der->data[0] != kBerSet)
        return ReportToolkitError(kContextDecodingAttributes, status ? status : kAppDecoding, kAppBadAttributes, log);
    return ReplaceDER(handle, der->data, der->length);
}

int SetAttributesObjectFromBER(ToolkitHandle* handle, const unsigned char* octets, unsigned int length,
                               const ToolkitLogCallback* log)
{
    if (!Payload(handle))
        return ReportToolkitError(kContextReadingAttributes, kAppBadHandle, kAppBadAttributes, log);
    ToolkitHandle* list = nullptr;
    if (int status = NewList(&list, octets, length))
        return ReportToolkitError(kContextDecodingAttributes, status, kAppBadAttributes, log);
    void* slots[] = {list->payload};
    ToolkitItem der{};
    int status = BerEncode(kAttributesTemplate, slots, &der);
    HandleFree(&list);
    if (status)
        return MapAlgorithmError(status);
    status = ReplaceDER(handle, der.data, der.length);
    ToolkitFree(der.data);
    return status;
}

int GetAttributesObjectDER(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                           const ToolkitLogCallback* log)
{
    *der = nullptr;
    *length = 0;
    AttributesPayload* payload = Payload(handle);
    if (!payload)
        return ReportToolkitError(kContextReadingAttributes, kAppBadHandle, kAppBadAttributes, log);
    if (!payload->der) {
        if (!payload->list)
            return kAppBadAttributes;
        void* slots[] = {payload->list->payload};
        ToolkitItem encoded{};
        if (int status = BerEncode(kAttributesTemplate, slots, &encoded))
            return MapAlgorithmError(status);
        void* block = encoded.data;
        if (int status = HandleAdoptBlock(&block, encoded.length, handle))
            return status;
        payload->der = static_cast<unsigned char*>(block);
        payload->derLength = encoded.length;
    }
    *der = payload->der;
    *length = payload->derLength;
    return 0;
}

int GetAttributeCount(unsigned int* count, ToolkitHandle* handle)
{
    *count = 0;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return Payload(handle) ? 0 : status;
    for (unsigned int i = 0; i < ListOf(list)->count; ++i)
        *count += ListOf(list)->attributes[i].valueCount ? 1 : 0;
    return 0;
}

int GetAttributeType(const unsigned char** type, unsigned int* length, ToolkitHandle* handle, unsigned int index)
{
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return Payload(handle) ? kAppIndex : status;
    AttributeListPayload* payload = ListOf(list);
    for (unsigned int i = 0; i < payload->count; ++i) {
        const Attribute& a = payload->attributes[i];
        if (a.valueCount && index-- == 0) {
            *type = a.type;
            *length = a.typeLength;
            return 0;
        }
    }
    return kAppIndex;
}

int GetAttributeValueCount(unsigned int* count, ToolkitHandle* handle, const unsigned char* type,
                           unsigned int typeLength)
{
    *count = 0;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return Payload(handle) ? 0 : status;
    if (Attribute* a = Find(ListOf(list), type, typeLength))
        *count = a->valueCount;
    return 0;
}

int GetAttributeValue(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                      const unsigned char* type, unsigned int typeLength, unsigned int index)
{
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return Payload(handle) ? kAppIndex : status;
    Attribute* a = Find(ListOf(list), type, typeLength);
    if (!a || index >= a->valueCount)
        return kAppIndex;
    *der = a->values[index].der;
    *length = a->values[index].length;
    return 0;
}

int GetAttributeValueString(int* tag, const unsigned char** value, unsigned int* length, ToolkitHandle* handle,
                            const unsigned char* type, unsigned int typeLength, unsigned int index)
{
    const unsigned char* der = nullptr;
    unsigned int size = 0;
    if (int status = GetAttributeValue(&der, &size, handle, type, typeLength, index))
        return status;
    return SplitValue(tag, value, length, der, size);
}

int AddAttributeValue(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength,
                      const unsigned char* value, unsigned int valueLength)
{
    if (!Payload(handle))
        return kAppBadAttributes;
    if (!value || valueLength == 0 || !type || typeLength == 0)
        return kAppValueLength;
    unsigned int h = 0, c = 0, t = 0;
    if (BerReadElement(value, valueLength, &h, &c, &t, 1) || t != valueLength)
        return kAppDecoding;
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, true))
        return status;
    DropDER(handle);
    return Append(list, type, typeLength, value, valueLength);
}

int AddAttributeValueString(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength, int tag,
                            const unsigned char* octets, unsigned int length)
{
    if ((tag & 0x1F) == 0x1F || tag < 0 || tag > 0xFF)
        return kAppStringType;
    std::vector<unsigned char> value;
    BerEncodeTLV(tag, octets, length, &value);
    return AddAttributeValue(handle, type, typeLength, value.data(), static_cast<unsigned int>(value.size()));
}

int RemoveAttribute(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength)
{
    ToolkitHandle* list = nullptr;
    if (int status = GetList(&list, handle, false))
        return Payload(handle) ? 0 : status;
    if (Attribute* a = Find(ListOf(list), type, typeLength)) {
        a->valueCount = 0;
        DropDER(handle);
    }
    return 0;
}

int SetChallengePassword(ToolkitHandle* handle, int tag, const unsigned char* octets, unsigned int length)
{
    if (!Payload(handle))
        return kAppBadAttributes;
    if (int status = CheckString(tag, octets, length))
        return status;
    std::vector<unsigned char> value;
    BerEncodeTLV(tag, octets, length, &value);
    return Replace(handle, kOidChallengePassword, sizeof kOidChallengePassword, value);
}

int GetChallengePassword(int* tag, const unsigned char** octets, unsigned int* length, ToolkitHandle* handle)
{
    const AttributeValue* value = nullptr;
    if (int status = SingleValue(&value, handle, kOidChallengePassword, sizeof kOidChallengePassword))
        return status;
    if (int status = SplitValue(tag, octets, length, value->der, value->length))
        return status;
    return CheckString(*tag, *octets, *length);
}

int SetSigningTime(ToolkitHandle* handle, long long seconds)
{
    if (!Payload(handle))
        return kAppBadAttributes;
    char text[14];
    if (int status = FormatUTCTime(seconds, text))
        return status;
    std::vector<unsigned char> value;
    BerEncodeTLV(kTagUTCTime, reinterpret_cast<const unsigned char*>(text), 13, &value);
    return Replace(handle, kOidSigningTime, sizeof kOidSigningTime, value);
}

int GetSigningTime(long long* seconds, ToolkitHandle* handle)
{
    const AttributeValue* value = nullptr;
    if (int status = SingleValue(&value, handle, kOidSigningTime, sizeof kOidSigningTime))
        return status;
    int tag = 0;
    const unsigned char* text = nullptr;
    unsigned int length = 0;
    if (SplitValue(&tag, &text, &length, value->der, value->length) || tag != kTagUTCTime)
        return kToolkitData;
    return ParseUTCTime(text, length, seconds);
}

int SetPostalAddress(ToolkitHandle* handle, const ToolkitTaggedText* lines, unsigned int count)
{
    if (!Payload(handle))
        return kAppBadAttributes;
    if (count < 1 || count > kPostalAddressMaxLines)
        return kAppCharacters;
    std::vector<unsigned char> content, line;
    for (unsigned int i = 0; i < count; ++i) {
        if (lines[i].tag != kTagPrintableString && lines[i].tag != kTagT61String)
            return kAppStringType;
        if (lines[i].length < 1 || lines[i].length > kPostalAddressMaxLine)
            return kAppValueLength;
        if (int status = CheckString(lines[i].tag, lines[i].data, lines[i].length))
            return status;
        BerEncodeTLV(lines[i].tag, lines[i].data, lines[i].length, &line);
        content.insert(content.end(), line.begin(), line.end());
    }
    std::vector<unsigned char> value;
    BerEncodeTLV(kBerSequence, content.data(), static_cast<unsigned int>(content.size()), &value);
    return Replace(handle, kOidPostalAddress, sizeof kOidPostalAddress, value);
}

int GetPostalAddress(ToolkitTaggedText* lines, unsigned int* count, ToolkitHandle* handle)
{
    *count = 0;
    const AttributeValue* value = nullptr;
    if (int status = SingleValue(&value, handle, kOidPostalAddress, sizeof kOidPostalAddress))
        return status;
    unsigned int h = 0, c = 0, t = 0;
    if (BerReadElement(value->der, value->length, &h, &c, &t, 1) || value->der[0] != kBerSequence)
        return kAppDecoding;
    unsigned int found = 0;
    int status = BerForEachElement(value->der + h, c, kAppBadAttributes, [&](const unsigned char* e, unsigned int, unsigned int,
                                                        unsigned int size) {
        if (found == kPostalAddressMaxLines)
            return kAppDecoding;
        ToolkitTaggedText& line = lines[found];
        if (SplitValue(&line.tag, &line.data, &line.length, e, size))
            return kAppDecoding;
        ++found;
        return 0;
    });
    if (status)
        return status == kAppBadAttributes ? kAppDecoding : status;
    *count = found;
    return 0;
}

int RemovePostalAddress(ToolkitHandle* handle)
{
    return RemoveAttribute(handle, kOidPostalAddress, sizeof kOidPostalAddress);
}

int GetPostalAddressCount(unsigned int* count, ToolkitHandle* handle)
{
    ToolkitTaggedText lines[kPostalAddressMaxLines];
    return GetPostalAddress(lines, count, handle);
}

// UTCTime. Every year divisible by 4 is a leap year, which holds for the
// whole range 1970 to 2069.
namespace {

const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int DaysIn(int year, int month)
{
    return month == 2 && year % 4 == 0 ? 29 : kMonthDays[month - 1];
}

long long DaysBefore(int year, int month, int day)
{
    long long days = 0;
    for (int y = 1970; y < year; ++y)
        days += y % 4 == 0 ? 366 : 365;
    for (int m = 1; m < month; ++m)
        days += DaysIn(year, m);
    return days + day - 1;
}

bool Digits(const unsigned char* text, unsigned int count, int* value)
{
    *value = 0;
    for (unsigned int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        *value = *value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

int FormatUTCTime(long long seconds, char out[14])
{
    if (seconds < kUTCTimeFirst || seconds >= kUTCTimeEnd)
        return kAppCharacters;
    long long days = seconds / 86400;
    int rest = static_cast<int>(seconds % 86400);
    int year = 1970;
    while (days >= (year % 4 == 0 ? 366 : 365))
        days -= year++ % 4 == 0 ? 366 : 365;
    int month = 1;
    while (days >= DaysIn(year, month))
        days -= DaysIn(year, month++);
    int fields[6] = {year % 100, month, static_cast<int>(days) + 1, rest / 3600, rest / 60 % 60, rest % 60};
    for (int i = 0; i < 6; ++i) {
        out[2 * i] = static_cast<char>('0' + fields[i] / 10);
        out[2 * i + 1] = static_cast<char>('0' + fields[i] % 10);
    }
    out[12] = 'Z';
    out[13] = 0;
    return 0;
}

int ParseUTCTime(const unsigned char* text, unsigned int length, long long* seconds)
{
    int yy, month, day, hour, minute, second = 0;
    if (length < 11 || !Digits(text, 2, &yy) || !Digits(text + 2, 2, &month) || !Digits(text + 4, 2, &day) ||
        !Digits(text + 6, 2, &hour) || !Digits(text + 8, 2, &minute))
        return kToolkitData;
    unsigned int at = 10;
    if (length - at >= 2 && text[at] >= '0' && text[at] <= '9') {
        if (!Digits(text + at, 2, &second))
            return kToolkitData;
        at += 2;
    }
    int year = yy >= 70 ? 1900 + yy : 2000 + yy;
    if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 || minute > 59 ||
        second > 59)
        return kToolkitData;
    long long offset = 0;
    if (at < length && text[at] == 'Z') {
        ++at;
    } else if (at < length && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (length - at < 5 || !Digits(text + at + 1, 2, &oh) || !Digits(text + at + 3, 2, &om) || oh > 23 ||
            om > 59)
            return kToolkitData;
        offset = (oh * 60LL + om) * 60 * (text[at] == '+' ? 1 : -1);
        at += 5;
    } else {
        return kToolkitData;
    }
    if (at != length)
        return kToolkitData;
    *seconds = DaysBefore(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    return 0;
}
