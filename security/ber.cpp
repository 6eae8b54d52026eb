// The BER/DER template engine: a recursive decoder over the template, and
// an encoder that flattens the template into pieces and writes DER from the
// end backwards.

#include "security/ber.h"

#include "security/byte_block.h"
#include "security/toolkit_internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

unsigned int TagOf(const BerTemplateEntry* e)
{
    return e->flags & 0xFF;
}

bool IsGroup(const BerTemplateEntry* e)
{
    unsigned int tag = TagOf(e);
    if (e->flags & kBerRepeated)
        return false;
    return tag == kBerSequence || tag == kBerSet || ((e->flags & kBerGroup) && (tag & 0x20));
}

// The entry after e, its members and their end when e is a group.
const BerTemplateEntry* SkipEntry(const BerTemplateEntry* e)
{
    if (!IsGroup(e))
        return e + 1;
    ++e;
    while (TagOf(e) != kBerEnd)
        e = SkipEntry(e);
    return e + 1;
}

// Empties the plain slots of an absent optional entry and its members.
void ClearSlots(const BerTemplateEntry* e, void* const* slots)
{
    const BerTemplateEntry* end = SkipEntry(e);
    if (IsGroup(e) && slots[e->slot])
        *static_cast<BerSlot*>(slots[e->slot]) = {};
    for (; e < end; ++e)
        if (TagOf(e) != kBerEnd && !e->decode && !IsGroup(e) && slots[e->slot])
            *static_cast<BerSlot*>(slots[e->slot]) = {};
}

struct Element {
    unsigned char identifier;
    const unsigned char* start;
    const unsigned char* content;
    unsigned int contentLength;
    unsigned int totalLength;
};

int ReadElement(const unsigned char* in, unsigned int length, Element* element, int depth)
{
    unsigned int header = 0, content = 0, total = 0;
    if (int status = BerReadElement(in, length, &header, &content, &total, depth))
        return status;
    *element = {in[0], in, in + header, content, total};
    return 0;
}

int DecodeMembers(const BerTemplateEntry*& e, void* const* slots, const unsigned char* in, unsigned int length,
                  int depth);

// Decodes element against entry e (a value, a repeated entry or a group).
int DecodeEntry(const BerTemplateEntry* e, void* const* slots, const Element& element, int depth)
{
    if (IsGroup(e)) {
        // An optional group's slot tells whether it was there.
        if ((e->flags & kBerOptional) && slots[e->slot])
            *static_cast<BerSlot*>(slots[e->slot]) = {element.start, element.totalLength, 0};
        const BerTemplateEntry* member = e + 1;
        return DecodeMembers(member, slots, element.content, element.contentLength, depth + 1);
    }
    void* slot = slots[e->slot];
    if (e->decode)
        return e->decode(slot, element.content, element.contentLength) ? kToolkitData : 0;
    if (!slot)
        return 0;
    unsigned int tag = TagOf(e);
    if (tag == kBerAny || tag == kBerEncoded)
        *static_cast<BerSlot*>(slot) = {element.start, element.totalLength, 0};
    else
        *static_cast<BerSlot*>(slot) = {element.content, element.contentLength, 0};
    return 0;
}

// Decodes the members from e up to their end entry, which e is left past;
// the members must use the content up exactly.
int DecodeMembers(const BerTemplateEntry*& e, void* const* slots, const unsigned char* in, unsigned int length,
                  int depth)
{
    if (depth > kBerMaxDepth)
        return kToolkitData;
    unsigned int position = 0;
    for (; TagOf(e) != kBerEnd; e = SkipEntry(e)) {
        Element element{};
        bool present = false;
        if (position < length) {
            if (ReadElement(in + position, length - position, &element, depth))
                return kToolkitData;
            unsigned int tag = TagOf(e);
            present = tag == kBerAny || tag == kBerEncoded || element.identifier == tag;
        }
        if (!present) {
            if (!(e->flags & kBerOptional))
                return kToolkitData;
            ClearSlots(e, slots);
            continue;
        }
        if (int status = DecodeEntry(e, slots, element, depth))
            return status;
        position += element.totalLength;
    }
    ++e;
    return position == length ? 0 : kToolkitData;
}

} // namespace

int BerReadElement(const unsigned char* in, unsigned int length, unsigned int* headerLength,
                   unsigned int* contentLength, unsigned int* totalLength, int depth)
{
    if (depth > kBerMaxDepth)
        return 5;
    unsigned int at = 0;
    if (length < 2)
        return 6;
    unsigned char identifier = in[at++];
    if ((identifier & 0x1F) == 0x1F) {
        // High tag number: further bytes until one with bit 7 clear.
        do {
            if (at >= length)
                return 6;
        } while (in[at++] & 0x80);
    }
    if (at >= length)
        return 6;
    unsigned char first = in[at++];
    unsigned int content = 0;
    if (first < 0x80) {
        content = first;
    } else if (first == 0x81 || first == 0x82) {
        unsigned int bytes = first & 0x7F;
        if (length - at < bytes)
            return 6;
        for (unsigned int i = 0; i < bytes; ++i)
            content = (content << 8) | in[at++];
    } else if (first == 0x80) {
        if (!(identifier & 0x20))
            return 5;
        // The content runs to the first 00 00 at this level; nested
        // elements (indefinite ones too) are skipped whole.
        unsigned int position = at;
        for (;;) {
            if (length - position < 2)
                return 6;
            if (in[position] == 0 && in[position + 1] == 0)
                break;
            unsigned int h = 0, c = 0, t = 0;
            if (int status = BerReadElement(in + position, length - position, &h, &c, &t, depth + 1))
                return status;
            position += t;
        }
        *headerLength = at;
        *contentLength = position - at;
        *totalLength = position + 2;
        return 0;
    } else {
        return 5;
    }
    if (content > length - at)
        return 6;
    *headerLength = at;
    *contentLength = content;
    *totalLength = at + content;
    return 0;
}

int BerDecode(const BerTemplateEntry* entries, void* const* slots, const unsigned char* in, unsigned int length,
              unsigned int* used)
{
    Element element{};
    if (!in || ReadElement(in, length, &element, 0))
        return kToolkitData;
    unsigned int tag = TagOf(entries);
    if (tag != kBerAny && tag != kBerEncoded && element.identifier != tag)
        return kToolkitData;
    if (int status = DecodeEntry(entries, slots, element, 0))
        return status;
    if (used)
        *used = element.totalLength;
    return 0;
}

namespace {

// Reads until room is full or the reader has no more.
int Fill(BerReader reader, void* context, unsigned char* buffer, unsigned int room, unsigned int* filled)
{
    while (*filled < room) {
        unsigned int got = 0;
        if (int status = reader(context, buffer + *filled, room - *filled, &got))
            return status;
        if (got == 0 || got > room - *filled)
            break;
        *filled += got;
    }
    return 0;
}

void FreeHeld(unsigned char* buffer, unsigned int size)
{
    explicit_bzero(buffer, size);
    ToolkitFree(buffer);
}

} // namespace

int BerDecodeStream(const BerTemplateEntry* entries, void* const* slots, BerReader reader, void* context,
                    ToolkitItem* held, unsigned int* used)
{
    *held = {nullptr, 0};
    unsigned int size = kBerStreamFirst, filled = 0;
    auto* buffer = static_cast<unsigned char*>(ToolkitAlloc(size));
    if (!buffer)
        return kToolkitNoMemory;
    int status = Fill(reader, context, buffer, size, &filled);
    unsigned int header = 0, content = 0, total = 0;
    if (!status && filled == size && BerReadElement(buffer, filled, &header, &content, &total, 0) == 6) {
        auto* large = static_cast<unsigned char*>(ToolkitAlloc(kBerStreamLarge));
        if (!large) {
            status = kToolkitNoMemory;
        } else {
            CryptoMemCopy(large, buffer, filled);
            FreeHeld(buffer, size);
            buffer = large;
            size = kBerStreamLarge;
            status = Fill(reader, context, buffer, size, &filled);
        }
    }
    if (!status)
        status = BerDecode(entries, slots, buffer, filled, used);
    if (status) {
        FreeHeld(buffer, size);
        return status;
    }
    *held = {buffer, size};
    return 0;
}

// Encoding.

namespace {

enum PieceKind { kStart, kEnd, kContent, kPrefixPiece, kRaw };

struct Piece {
    const unsigned char* data;
    unsigned int length;
    unsigned int tag;
    int kind;
    bool sorted;
};

} // namespace

struct BerEncoder {
    std::vector<Piece> pieces;
    std::vector<std::vector<unsigned char>> scratch;
    int status = 0;

    ~BerEncoder()
    {
        for (auto& block : scratch)
            explicit_bzero(block.data(), block.size());
    }

    int Add(const Piece& piece)
    {
        if (piece.length > kBerMaxPiece || pieces.size() >= kBerMaxPieces)
            return kToolkitEncodingTooLong;
        pieces.push_back(piece);
        return 0;
    }
};

int BerAddPiece(BerEncoder* encoder, const unsigned char* data, unsigned int length, unsigned int tag,
                unsigned int flags)
{
    int kind = (flags & kBerPrefix) ? kPrefixPiece : (tag == kBerAny || tag == kBerEncoded) ? kRaw : kContent;
    return encoder->Add({data, length, tag, kind, false});
}

unsigned char* BerScratch(BerEncoder* encoder, unsigned int length)
{
    encoder->scratch.emplace_back(length ? length : 1);
    return encoder->scratch.back().data();
}

int BerAddEncoded(BerEncoder* encoder, const BerTemplateEntry* entries, void* const* slots)
{
    ToolkitItem item{};
    if (int status = BerEncode(entries, slots, &item))
        return status;
    unsigned char* room = BerScratch(encoder, item.length);
    CryptoMemCopy(room, item.data, item.length);
    ToolkitFree(item.data);
    return BerAddPiece(encoder, room, item.length, kBerAny, 0);
}

namespace {

unsigned int HeaderLength(unsigned int content)
{
    return content < 128 ? 2 : content < 256 ? 3 : 4;
}

int EncodeMembers(const BerTemplateEntry*& e, void* const* slots, BerEncoder* encoder);

int EncodeEntry(const BerTemplateEntry* e, void* const* slots, BerEncoder* encoder)
{
    const unsigned int tag = TagOf(e);
    const bool optional = e->flags & kBerOptional;
    void* slot = slots[e->slot];
    if (IsGroup(e)) {
        // An optional group is written when its slot holds a value.
        if (optional && (!slot || !static_cast<BerSlot*>(slot)->data))
            return 0;
        bool sorted = tag == kBerSet || (e->flags & 0x1820) == 0x1820;
        if (int status = encoder->Add({nullptr, 0, tag, kStart, sorted}))
            return status;
        const BerTemplateEntry* member = e + 1;
        if (int status = EncodeMembers(member, slots, encoder))
            return status;
        return encoder->Add({nullptr, 0, tag, kEnd, false});
    }
    const std::size_t before = encoder->pieces.size();
    if (e->flags & kBerRepeated) {
        bool sorted = (e->flags & 0x231) == 0x231;
        if (int status = encoder->Add({nullptr, 0, tag, kStart, sorted}))
            return status;
        if (int status = e->encode(slot, encoder, tag))
            return status;
        return encoder->Add({nullptr, 0, tag, kEnd, false});
    }
    if (e->encode) {
        if (int status = e->encode(slot, encoder, tag))
            return status;
    } else if (slot && static_cast<BerSlot*>(slot)->data) {
        auto* value = static_cast<BerSlot*>(slot);
        if (int status = BerAddPiece(encoder, value->data, value->length, tag, 0))
            return status;
    }
    if (encoder->pieces.size() == before && !optional)
        return kToolkitFailure;
    return 0;
}

int EncodeMembers(const BerTemplateEntry*& e, void* const* slots, BerEncoder* encoder)
{
    for (; TagOf(e) != kBerEnd; e = SkipEntry(e))
        if (int status = EncodeEntry(e, slots, encoder))
            return status;
    ++e;
    return 0;
}

void WriteHeader(unsigned char* out, unsigned int& position, unsigned int tag, unsigned int content)
{
    if (content < 128) {
        out[--position] = static_cast<unsigned char>(content);
    } else if (content < 256) {
        out[--position] = static_cast<unsigned char>(content);
        out[--position] = 0x81;
    } else {
        out[--position] = static_cast<unsigned char>(content);
        out[--position] = static_cast<unsigned char>(content >> 8);
        out[--position] = 0x82;
    }
    out[--position] = static_cast<unsigned char>(tag);
}

// Orders the encoded members in [begin, end): bytewise, a prefix first.
int SortMembers(unsigned char* begin, unsigned int length)
{
    struct Member {
        const unsigned char* data;
        unsigned int length;
    };
    if (length == 0)
        return 0; // an empty SET OF: nothing to order
    std::vector<Member> members;
    for (unsigned int at = 0; at < length;) {
        unsigned int h = 0, c = 0, t = 0;
        if (BerReadElement(begin + at, length - at, &h, &c, &t, 0))
            return kToolkitFailure;
        members.push_back({begin + at, t});
        at += t;
    }
    std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
        int c = CryptoMemCompare(a.data, b.data, std::min(a.length, b.length));
        return c != 0 ? c < 0 : a.length < b.length;
    });
    std::vector<unsigned char> sorted;
    sorted.reserve(length);
    for (const Member& m : members)
        sorted.insert(sorted.end(), m.data, m.data + m.length);
    CryptoMemCopy(begin, sorted.data(), length);
    explicit_bzero(sorted.data(), sorted.size());
    return 0;
}

// The total length, groups measured from the innermost outwards; a
// content's prefix pieces count with it.
int MeasurePieces(const std::vector<Piece>& pieces, unsigned int* total)
{
    std::vector<unsigned long> open{0};
    for (std::size_t i = pieces.size(); i-- > 0;) {
        const Piece& p = pieces[i];
        switch (p.kind) {
        case kEnd: open.push_back(0); break;
        case kRaw:
        case kPrefixPiece: open.back() += p.length; break;
        case kContent: {
            unsigned long content = p.length;
            while (i > 0 && pieces[i - 1].kind == kPrefixPiece)
                content += pieces[--i].length;
            if (content > kBerMaxPiece)
                return kToolkitEncodingTooLong;
            open.back() += content + HeaderLength(static_cast<unsigned int>(content));
            break;
        }
        case kStart: {
            unsigned long content = open.back();
            open.pop_back();
            if (content > kBerMaxEncoding || open.empty())
                return kToolkitEncodingTooLong;
            open.back() += content + HeaderLength(static_cast<unsigned int>(content));
            break;
        }
        }
        if (open.back() > kBerMaxEncoding)
            return kToolkitEncodingTooLong;
    }
    *total = static_cast<unsigned int>(open.back());
    return 0;
}

} // namespace

int BerEncode(const BerTemplateEntry* entries, void* const* slots, ToolkitItem* out)
{
    *out = {nullptr, 0};
    BerEncoder encoder;
    const BerTemplateEntry* e = entries;
    if (int status = EncodeEntry(e, slots, &encoder))
        return status;
    unsigned int room = 0;
    if (int status = MeasurePieces(encoder.pieces, &room))
        return status;
    auto* block = static_cast<unsigned char*>(ToolkitAlloc(room));
    if (!block)
        return kToolkitNoMemory;
    unsigned int position = room;
    std::vector<unsigned int> ends;
    int status = 0;
    const std::vector<Piece>& pieces = encoder.pieces;
    for (std::size_t i = pieces.size(); i-- > 0 && !status;) {
        const Piece& p = pieces[i];
        switch (p.kind) {
        case kEnd: ends.push_back(position); break;
        case kRaw:
        case kPrefixPiece: // a prefix without its element: written as it stands
            position -= p.length;
            CryptoMemCopy(block + position, p.data, p.length);
            break;
        case kContent: {
            unsigned int end = position;
            position -= p.length;
            CryptoMemCopy(block + position, p.data, p.length);
            while (i > 0 && pieces[i - 1].kind == kPrefixPiece) {
                --i;
                position -= pieces[i].length;
                CryptoMemCopy(block + position, pieces[i].data, pieces[i].length);
            }
            if (end - position > kBerMaxPiece)
                status = kToolkitEncodingTooLong;
            else
                WriteHeader(block, position, p.tag, end - position);
            break;
        }
        case kStart: {
            unsigned int end = ends.back();
            ends.pop_back();
            if (p.sorted)
                status = SortMembers(block + position, end - position);
            if (end - position > kBerMaxEncoding)
                status = kToolkitEncodingTooLong;
            if (!status)
                WriteHeader(block, position, p.tag, end - position);
            break;
        }
        }
    }
    if (!status && position != 0)
        status = kToolkitFailure; // the measure and the writing disagree
    if (status) {
        explicit_bzero(block, room);
        ToolkitFree(block);
        return status;
    }
    *out = {block, room};
    return 0;
}

// Value handlers.

int BerDecodeUnsigned(void* slot, const unsigned char* content, unsigned int length)
{
    if (length == 0 || (content[0] & 0x80))
        return kToolkitData;
    while (length && content[0] == 0) {
        ++content;
        --length;
    }
    *static_cast<BerSlot*>(slot) = {content, length, 0};
    return 0;
}

int BerEncodeUnsigned(const void* slot, BerEncoder* encoder, unsigned int tag)
{
    auto* value = static_cast<const BerSlot*>(slot);
    if (!value || !value->data)
        return 0;
    const unsigned char* data = value->data;
    unsigned int length = value->length;
    while (length && data[0] == 0) {
        ++data;
        --length;
    }
    static const unsigned char kZero = 0;
    if (length == 0 || (data[0] & 0x80))
        if (int status = BerAddPiece(encoder, &kZero, 1, 0, kBerPrefix))
            return status;
    return BerAddPiece(encoder, data, length, tag, 0);
}

int BerDecodeFixed(void* slot, const unsigned char* content, unsigned int length)
{
    auto* field = static_cast<BerSlot*>(slot);
    BerSlot value{};
    if (BerDecodeUnsigned(&value, content, length))
        return kToolkitData;
    if (value.length > field->length)
        return kToolkitData;
    auto* out = const_cast<unsigned char*>(field->data);
    CryptoMemSet(out, 0, field->length - value.length);
    CryptoMemCopy(out + field->length - value.length, value.data, value.length);
    return 0;
}

int BerDecodeInteger16(void* slot, const unsigned char* content, unsigned int length)
{
    unsigned char field[2];
    BerSlot fixed = {field, 2, 0};
    if (BerDecodeFixed(&fixed, content, length))
        return kToolkitData;
    *static_cast<unsigned short*>(slot) = static_cast<unsigned short>((field[0] << 8) | field[1]);
    return 0;
}

int BerEncodeInteger16(const void* slot, BerEncoder* encoder, unsigned int tag)
{
    unsigned int value = *static_cast<const unsigned short*>(slot);
    unsigned char* bytes = BerScratch(encoder, 2);
    bytes[0] = static_cast<unsigned char>(value >> 8);
    bytes[1] = static_cast<unsigned char>(value);
    BerSlot field = {bytes, 2, 0};
    return BerEncodeUnsigned(&field, encoder, tag);
}

int BerDecodeInteger32(void* slot, const unsigned char* content, unsigned int length)
{
    unsigned char field[4];
    BerSlot fixed = {field, 4, 0};
    if (BerDecodeFixed(&fixed, content, length))
        return kToolkitData;
    *static_cast<unsigned int*>(slot) = (unsigned(field[0]) << 24) | (unsigned(field[1]) << 16) |
                                        (unsigned(field[2]) << 8) | field[3];
    return 0;
}

int BerEncodeInteger32(const void* slot, BerEncoder* encoder, unsigned int tag)
{
    unsigned int value = *static_cast<const unsigned int*>(slot);
    unsigned char* bytes = BerScratch(encoder, 4);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    BerSlot field = {bytes, 4, 0};
    return BerEncodeUnsigned(&field, encoder, tag);
}

int BerDecodeVersionZero(void*, const unsigned char* content, unsigned int length)
{
    BerSlot value{};
    if (BerDecodeUnsigned(&value, content, length) || value.length != 0)
        return kToolkitData;
    return 0;
}

int BerEncodeVersionZero(const void*, BerEncoder* encoder, unsigned int tag)
{
    static const unsigned char kZero = 0;
    return BerAddPiece(encoder, &kZero, 1, tag, 0);
}

int BerDecodeBitString(void* slot, const unsigned char* content, unsigned int length)
{
    if (length == 0 || content[0] > 7 || (content[0] && length < 2))
        return kToolkitData;
    *static_cast<BerSlot*>(slot) = {content + 1, length - 1, content[0]};
    return 0;
}

int BerEncodeBitString(const void* slot, BerEncoder* encoder, unsigned int tag)
{
    auto* value = static_cast<const BerSlot*>(slot);
    if (!value || !value->data)
        return 0;
    if (value->unusedBits > 7 || (value->unusedBits && value->length == 0))
        return kToolkitFailure;
    unsigned char* count = BerScratch(encoder, 1);
    *count = static_cast<unsigned char>(value->unusedBits);
    if (int status = BerAddPiece(encoder, count, 1, 0, kBerPrefix))
        return status;
    if (!value->unusedBits || value->length == 0)
        return BerAddPiece(encoder, value->data, value->length, tag, 0);
    // The last byte's unused bits are written as zeros.
    unsigned char* data = BerScratch(encoder, value->length);
    CryptoMemCopy(data, value->data, value->length);
    data[value->length - 1] &= static_cast<unsigned char>(0xFF << value->unusedBits);
    return BerAddPiece(encoder, data, value->length, tag, 0);
}

void BerEncodeTLV(int tag, const unsigned char* value, unsigned int length, std::vector<unsigned char>* out)
{
    unsigned char header[4];
    unsigned int position = sizeof header;
    WriteHeader(header, position, static_cast<unsigned int>(tag), length);
    out->assign(header + position, header + sizeof header);
    out->insert(out->end(), value, value + length);
}
