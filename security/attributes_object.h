#pragma once
// The attributes object: a SET OF Attribute (type, SET OF value), kept as
// DER, as a decoded list, or both, with typed accessors for the
// challengePassword, signingTime and postalAddress attributes.

#include "security/toolkit_handle.h"

// A string value with its universal tag (19 PrintableString, 20 T61String).
struct ToolkitTaggedText {
    int tag;
    const unsigned char* data;
    unsigned int length;
};

inline constexpr unsigned char kOidChallengePassword[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x07};
inline constexpr unsigned char kOidSigningTime[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x05};
inline constexpr unsigned char kOidPostalAddress[] = {0x55, 0x04, 0x10};

inline constexpr unsigned int kPostalAddressMaxLines = 6;
inline constexpr unsigned int kPostalAddressMaxLine = 30;
// UTCTime's two-digit years: 1970 to 2069.
inline constexpr long long kUTCTimeFirst = 0;                 // 1970-01-01 00:00:00
inline constexpr long long kUTCTimeEnd = 3155760000LL;        // 2070-01-01 00:00:00

int CreateAttributesObject(ToolkitHandle** handle);
void ClearAttributesObject(ToolkitHandle* handle);
void DestroyAttributesObject(ToolkitHandle** handle);
// Copies a DER SET OF Attribute; 258 when it does not decode.
int SetAttributesObjectDER(ToolkitHandle* handle, const ToolkitItem* der, const ToolkitLogCallback* log);
// Decodes any BER encoding, its outer tag taken as SET, and keeps it as DER.
int SetAttributesObjectFromBER(ToolkitHandle* handle, const unsigned char* octets, unsigned int length,
                               const ToolkitLogCallback* log);
// The DER (a SET), made from the list when needed; 258 when there is
// neither. The bytes belong to the object.
int GetAttributesObjectDER(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                           const ToolkitLogCallback* log);

int GetAttributeCount(unsigned int* count, ToolkitHandle* handle);
int GetAttributeType(const unsigned char** type, unsigned int* length, ToolkitHandle* handle, unsigned int index);
int GetAttributeValueCount(unsigned int* count, ToolkitHandle* handle, const unsigned char* type,
                           unsigned int typeLength);
int GetAttributeValue(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                      const unsigned char* type, unsigned int typeLength, unsigned int index);
int GetAttributeValueString(int* tag, const unsigned char** value, unsigned int* length, ToolkitHandle* handle,
                            const unsigned char* type, unsigned int typeLength, unsigned int index);
int AddAttributeValue(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength,
                      const unsigned char* value, unsigned int valueLength);
int AddAttributeValueString(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength, int tag,
                            const unsigned char* octets, unsigned int length);
int RemoveAttribute(ToolkitHandle* handle, const unsigned char* type, unsigned int typeLength);

int SetChallengePassword(ToolkitHandle* handle, int tag, const unsigned char* octets, unsigned int length);
int GetChallengePassword(int* tag, const unsigned char** octets, unsigned int* length, ToolkitHandle* handle);
// Seconds since 1970-01-01 00:00:00 UTC; 263 outside 1970 to 2069.
int SetSigningTime(ToolkitHandle* handle, long long seconds);
int GetSigningTime(long long* seconds, ToolkitHandle* handle);
int SetPostalAddress(ToolkitHandle* handle, const ToolkitTaggedText* lines, unsigned int count);
// lines must have room for kPostalAddressMaxLines entries.
int GetPostalAddress(ToolkitTaggedText* lines, unsigned int* count, ToolkitHandle* handle);
int RemovePostalAddress(ToolkitHandle* handle);
int GetPostalAddressCount(unsigned int* count, ToolkitHandle* handle);

// UTCTime text: writing gives YYMMDDHHMMSSZ (263 outside 1970 to 2069);
// reading takes YYMMDDHHMM, optional seconds, then Z or +hhmm / -hhmm, and
// answers 524 for anything else.
int FormatUTCTime(long long seconds, char out[14]);
int ParseUTCTime(const unsigned char* text, unsigned int length, long long* seconds);
