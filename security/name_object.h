#pragma once
// The name object: an X.500 distinguished name built from attribute-value
// assertions (AVAs), kept as its DER encoding, as a list of AVAs, or both.
// Either is made from the other on demand; a change to the list drops the
// DER.

#include "security/toolkit_handle.h"

#include <vector>

inline constexpr int kTagPrintableString = 19;
inline constexpr int kTagT61String = 20;
inline constexpr int kTagUTCTime = 23;

// A Name longer than this is refused when decoded: the codec's own limit.
inline constexpr unsigned int kNameMaxDer = 32767;

// A-Z, a-z, 0-9, space and ' ( ) + , - . / : = ?
bool IsPrintableString(const unsigned char* value, unsigned int length);

int CreateNameObject(ToolkitHandle** handle);
int CreateNameObjectFromDER(ToolkitHandle** handle, const ToolkitItem* der, const ToolkitLogCallback* log);
// Copies a DER Name; it becomes the only representation. 266 when it does
// not decode as a Name, and the object is then left as it was.
int SetNameObjectDER(ToolkitHandle* handle, const ToolkitItem* der, const ToolkitLogCallback* log);
// Decodes any BER Name and keeps it re-encoded as DER.
int SetNameObjectFromBER(ToolkitHandle* handle, const unsigned char* octets, unsigned int length,
                         const ToolkitLogCallback* log);
// The DER, made from the AVA list when needed; 296 when there is neither.
// The bytes belong to the object.
int GetNameObjectDER(const unsigned char** der, unsigned int* length, ToolkitHandle* handle,
                     const ToolkitLogCallback* log);
// Appends an AVA: oid is the OBJECT IDENTIFIER's content octets, tag the
// value's universal tag; newRDN 1 starts a new relative distinguished name.
int SetNameObjectFromText(unsigned int* index, ToolkitHandle* handle, const unsigned char* oid,
                          unsigned int oidLength, int tag, const unsigned char* value, unsigned int valueLength,
                          int newRDN, const ToolkitLogCallback* log);
int GetNameAVACount(unsigned int* count, ToolkitHandle* handle, const ToolkitLogCallback* log);
int GetNameAVA(const unsigned char** type, unsigned int* typeLength, int* tag, const unsigned char** value,
               unsigned int* valueLength, int* newRDN, ToolkitHandle* handle, unsigned int index,
               const ToolkitLogCallback* log);
void ClearNameObject(ToolkitHandle* handle);
void DestroyNameObject(ToolkitHandle** handle);

// The known attribute types' OID content octets (2.5.4.x).
inline constexpr unsigned char kOidCountryName[] = {0x55, 0x04, 0x06};
inline constexpr unsigned char kOidStateOrProvinceName[] = {0x55, 0x04, 0x08};
inline constexpr unsigned char kOidLocalityName[] = {0x55, 0x04, 0x07};
inline constexpr unsigned char kOidOrganizationName[] = {0x55, 0x04, 0x0A};
inline constexpr unsigned char kOidOrganizationalUnitName[] = {0x55, 0x04, 0x0B};
inline constexpr unsigned char kOidCommonName[] = {0x55, 0x04, 0x03};
inline constexpr unsigned char kOidTitle[] = {0x55, 0x04, 0x0C};
inline constexpr unsigned char kOidStreetAddress[] = {0x55, 0x04, 0x09};
inline constexpr unsigned char kOidPostalCode[] = {0x55, 0x04, 0x11};

