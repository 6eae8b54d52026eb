#pragma once
// The BER/DER template codec. A template is a constant table describing a
// structure element by element; each entry says which slot of the caller's
// slot array takes (decoding) or gives (encoding) its value. Decoding
// accepts BER, indefinite lengths included; encoding writes DER.

#include "security/toolkit.h"

#include <vector>

// Entry flags. The low byte is the element's identifier byte or a pseudo-tag.
inline constexpr unsigned int kBerEnd = 0x1E;     // ends the members of the enclosing group
inline constexpr unsigned int kBerAny = 0x1D;     // the whole element, as it stands
inline constexpr unsigned int kBerEncoded = 0x1B; // an element the caller encoded already
inline constexpr unsigned int kBerOptional = 0x100;
inline constexpr unsigned int kBerRepeated = 0x200; // SET OF / SEQUENCE OF, made by its handler
inline constexpr unsigned int kBerPrefix = 0x400;   // a piece of the content of the element that follows
inline constexpr unsigned int kBerGroup = 0x800;    // a constructed entry with members
inline constexpr unsigned int kBerSorted = 0x1000;

inline constexpr unsigned int kBerInteger = 0x02;
inline constexpr unsigned int kBerBitString = 0x03;
inline constexpr unsigned int kBerOctetString = 0x04;
inline constexpr unsigned int kBerNull = 0x05;
inline constexpr unsigned int kBerObjectIdentifier = 0x06;
inline constexpr unsigned int kBerSequence = 0x30;
inline constexpr unsigned int kBerSet = 0x31;

// Nesting deeper than this (groups, or indefinite lengths skipped inside an
// element) is refused: the decoder's recursion stays bounded on any input.
inline constexpr int kBerMaxDepth = 32;
// DER output limits: one piece, the list of pieces, the whole encoding.
inline constexpr unsigned int kBerMaxPiece = 32767;
inline constexpr unsigned int kBerMaxPieces = 8191;
inline constexpr unsigned int kBerMaxEncoding = 32767;

// A plain slot: {data, length} pointing into the decoded input, or the bytes
// to encode (null data: absent). unusedBits serves BIT STRINGs.
struct BerSlot {
    const unsigned char* data;
    unsigned int length;
    unsigned int unusedBits;
};

struct BerEncoder;
using BerDecodeHandler = int (*)(void* slot, const unsigned char* content, unsigned int length);
// Adds the element's pieces (BerAddPiece); adding none means absent.
using BerEncodeHandler = int (*)(const void* slot, BerEncoder* encoder, unsigned int tag);

struct BerTemplateEntry {
    unsigned int flags;
    BerDecodeHandler decode;
    BerEncodeHandler encode;
    unsigned int slot;
};

// Decodes one element of in against the template; *used (when not null)
// gets the bytes it took. 524 for anything malformed or not as the template
// says, and never reads outside in.
int BerDecode(const BerTemplateEntry* entries, void* const* slots, const unsigned char* in, unsigned int length,
              unsigned int* used);
// Decodes one element that a reader supplies: the first read fills a
// 2048-byte buffer, and an element that does not fit is read on into a
// 32000-byte one. The buffer goes to *held (ToolkitAlloc, owned by the
// caller; the slots point into it). A reader answers 0 with *got bytes (0 at
// the end) or a status, which is passed on; an element longer than the
// larger buffer is 524.
using BerReader = int (*)(void* context, unsigned char* buffer, unsigned int room, unsigned int* got);
inline constexpr unsigned int kBerStreamFirst = 2048;
inline constexpr unsigned int kBerStreamLarge = 32000;
int BerDecodeStream(const BerTemplateEntry* entries, void* const* slots, BerReader reader, void* context,
                    ToolkitItem* held, unsigned int* used);

// Encodes the slots' values; out gets a new block (ToolkitAlloc) owned by the
// caller. 520 for a missing mandatory value, 537 past the limits.
int BerEncode(const BerTemplateEntry* entries, void* const* slots, ToolkitItem* out);

// For encode handlers: a content piece with its identifier (tag 0 with
// kBerPrefix for a piece of the next element's content); data must live
// until BerEncode returns (BerScratch gives such room).
int BerAddPiece(BerEncoder* encoder, const unsigned char* data, unsigned int length, unsigned int tag,
                unsigned int flags);
unsigned char* BerScratch(BerEncoder* encoder, unsigned int length);
// For encode handlers: the slots encoded on their own by entries, added as
// one finished element.
int BerAddEncoded(BerEncoder* encoder, const BerTemplateEntry* entries, void* const* slots);
// tag, length and value as one DER element (lengths below 65536).
void BerEncodeTLV(int tag, const unsigned char* value, unsigned int length, std::vector<unsigned char>* out);

// Reads one element's identifier and length: *headerLength and
// *contentLength, *indefinite for the 0x80 form (content then ends at its
// 00 00, which *contentLength excludes and *totalLength includes).
// Answers 5 for a bad form, 6 for input too short.
int BerReadElement(const unsigned char* in, unsigned int length, unsigned int* headerLength,
                   unsigned int* contentLength, unsigned int* totalLength, int depth);

// Calls visit(element, header length, content length, total length) for
// each element of a content, in order: badForm when one does not read, else
// the first answer of visit that is not 0.
template <class Visit>
int BerForEachElement(const unsigned char* in, unsigned int length, int badForm, Visit visit)
{
    for (unsigned int at = 0; at < length;) {
        unsigned int header = 0, content = 0, total = 0;
        if (BerReadElement(in + at, length - at, &header, &content, &total, 1))
            return badForm;
        if (int status = visit(in + at, header, content, total))
            return status;
        at += total;
    }
    return 0;
}

// Value handlers. The unsigned INTEGER: decode skips leading zeros and
// refuses empty or negative contents; encode drops leading zeros and puts a
// 0x00 in front of a set top bit (or of nothing).
int BerDecodeUnsigned(void* slot, const unsigned char* content, unsigned int length);
int BerEncodeUnsigned(const void* slot, BerEncoder* encoder, unsigned int tag);
// An INTEGER into a fixed field: the slot is a BerSlot whose data and length
// name the field; right-aligned, zero-filled.
int BerDecodeFixed(void* slot, const unsigned char* content, unsigned int length);
// 16-bit integers through an unsigned short slot, 32-bit ones through an
// unsigned int slot.
int BerDecodeInteger16(void* slot, const unsigned char* content, unsigned int length);
int BerEncodeInteger16(const void* slot, BerEncoder* encoder, unsigned int tag);
int BerDecodeInteger32(void* slot, const unsigned char* content, unsigned int length);
int BerEncodeInteger32(const void* slot, BerEncoder* encoder, unsigned int tag);
// A version INTEGER that must be 0; the slot is unused.
int BerDecodeVersionZero(void* slot, const unsigned char* content, unsigned int length);
int BerEncodeVersionZero(const void* slot, BerEncoder* encoder, unsigned int tag);
// BIT STRING: {data, length, unusedBits}.
int BerDecodeBitString(void* slot, const unsigned char* content, unsigned int length);
int BerEncodeBitString(const void* slot, BerEncoder* encoder, unsigned int tag);
