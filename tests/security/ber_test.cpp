#include "security/ber.h"

#include "security/big_number.h"
#include "security/byte_block.h"
#include "toolkit_helper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

// A 512-bit key in PKCS #8 DER.
const Bytes kKey = FromHex(
    "30820154020100300d06092a864886f70d01010105000482013e3082013a020100024100c600a7ff0ab55c66a27a590c"
    "52ac487536fb66d50f4f0cee6090a3b5d231b0f2d4205bdf4adeccb32ecb0e15d82edab38ebce6c9ab665bea7854b4a4"
    "915e8fd90203010001024100998ea4bb2d08de3252cbe407a48e2c5b8b5a89b3aefdb59fa1904b06958f2814ada915a0"
    "84804b49c05ae47ae24040b20286df9932aa58ad7f2f51b49256c209022100e2f4fe9c13389a7a82ac8108384a439555"
    "cc029823787a9526cfec6c9787b3ef022100df5720a6dd58730646a7ab1d2a18c6dafec81f79e5f556852370207427c2"
    "10b702202ec83b77668ae364df6cb9883d3a29a62db248d29d7527277981a0855dd2ce2702202d2bcb0fd4bed9ecd007"
    "83654fa95936dbc7100eb082f16fd61e0c8251b43f7b0220259791444234d188a29d9241be77aee37953c2bb4e3a43f5"
    "772295c4fec00fe8");

Bytes Repeat(const Bytes& piece, int times)
{
    Bytes out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

// Encodes one value through a one-entry template.
int EncodeOne(unsigned int flags, BerEncodeHandler handler, BerSlot value, Bytes* out)
{
    const BerTemplateEntry entries[] = {{flags, nullptr, handler, 0}};
    void* slots[] = {&value};
    ToolkitItem item{};
    int status = BerEncode(entries, slots, &item);
    out->assign(reinterpret_cast<char*>(item.data), item.length);
    ToolkitFree(item.data);
    return status;
}

BerSlot Slot(const Bytes& b, unsigned int unusedBits = 0)
{
    return {U(b), static_cast<unsigned int>(b.size()), unusedBits};
}

// c^e mod n: the public side, to make blocks for the private one.
Bytes PublicOperation(const ToolkitRSAPrivateKey& key, const Bytes& block)
{
    const int n = 40;
    BigDigit m[kBigMaxDigits] = {}, e[kBigMaxDigits] = {}, c[kBigMaxDigits] = {}, r[kBigMaxDigits] = {};
    EXPECT_EQ(BigFromOctets(m, n, key.modulus.data, key.modulus.length), 0);
    EXPECT_EQ(BigFromOctets(e, n, key.publicExponent.data, key.publicExponent.length), 0);
    EXPECT_EQ(BigFromOctets(c, n, U(block), static_cast<unsigned int>(block.size())), 0);
    auto modulus = std::make_unique<BigModulus>();
    BigModulusSet(modulus.get(), m, n);
    BigModExp(r, c, e, n, modulus.get());
    Bytes out(block.size(), '\0');
    EXPECT_EQ(BigToOctets(reinterpret_cast<unsigned char*>(out.data()), static_cast<unsigned int>(out.size()), r, n), 0);
    return out;
}

} // namespace

TEST(BerReadElement, LengthFormsAndBounds)
{
    const struct {
        const char* what;
        Bytes in;
        int status;
        unsigned int header, content, total;
    } cases[] = {
        {"short form", FromHex("020100"), 0, 2, 1, 3},
        {"0x81", FromHex("0481020102"), 0, 3, 2, 5},
        {"0x82 256", FromHex("04820100") + Bytes(256, 'x'), 0, 4, 256, 260},
        {"0x82 one short", FromHex("04820100") + Bytes(255, 'x'), 6, 0, 0, 0},
        {"0x83 refused", FromHex("0483000001") + "x", 5, 0, 0, 0},
        {"0x84 refused", FromHex("048400000001") + "x", 5, 0, 0, 0},
        {"length past the input", FromHex("30050201"), 6, 0, 0, 0},
        {"length byte missing", FromHex("30"), 6, 0, 0, 0},
        {"0x82 bytes missing", FromHex("308201"), 6, 0, 0, 0},
        {"indefinite", FromHex("3080020105" "0000"), 0, 2, 3, 7},
        {"indefinite nested", FromHex("3080" "3080020105" "0000" "0000"), 0, 2, 7, 11},
        {"indefinite primitive", FromHex("0480010000"), 5, 0, 0, 0},
        {"indefinite unended", FromHex("3080020105"), 6, 0, 0, 0},
        {"indefinite ends mid-marker", FromHex("308000"), 6, 0, 0, 0},
        {"high tag number", FromHex("1f810100"), 0, 4, 0, 4},
        {"high tag number cut", FromHex("1f8181"), 6, 0, 0, 0},
        {"deep indefinite nesting", Repeat(FromHex("3080"), 40) + Repeat(FromHex("0000"), 40), 5, 0, 0, 0},
        {"nesting at the limit", Repeat(FromHex("3080"), kBerMaxDepth + 1) + Repeat(FromHex("0000"), kBerMaxDepth + 1),
         0, 2, 4 * kBerMaxDepth, 4 * kBerMaxDepth + 4},
    };
    for (const auto& c : cases) {
        // An exact-size copy, so a read past the end is caught.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[c.in.size()]);
        std::copy(c.in.begin(), c.in.end(), copy.get());
        unsigned int header = 0, content = 0, total = 0;
        int status = BerReadElement(copy.get(), static_cast<unsigned int>(c.in.size()), &header, &content, &total, 0);
        EXPECT_EQ(status, c.status) << c.what;
        if (status == 0 && c.status == 0) {
            EXPECT_EQ(header, c.header) << c.what;
            EXPECT_EQ(content, c.content) << c.what;
            EXPECT_EQ(total, c.total) << c.what;
        }
    }
}

TEST(BerEncode, ValuesAndLengths)
{
    const Bytes longer = Bytes(200, 'a'), longest = Bytes(300, 'b');
    const Bytes zero = FromHex("00"), empty, byte80 = FromHex("80"), padded = FromHex("000080"), ff = FromHex("ff");
    const struct {
        const char* what;
        unsigned int flags;
        BerEncodeHandler handler;
        BerSlot value;
        int status;
        Bytes expected;
    } cases[] = {
        {"INTEGER 128", kBerInteger, BerEncodeUnsigned, Slot(byte80), 0, FromHex("02020080")},
        {"INTEGER 0", kBerInteger, BerEncodeUnsigned, Slot(zero), 0, FromHex("020100")},
        {"INTEGER of nothing", kBerInteger, BerEncodeUnsigned, Slot(empty), 0, FromHex("020100")},
        {"INTEGER leading zeros", kBerInteger, BerEncodeUnsigned, Slot(padded), 0, FromHex("02020080")},
        {"BIT STRING masked", kBerBitString, BerEncodeBitString, Slot(ff, 3), 0, FromHex("030203f8")},
        {"BIT STRING 8 unused", kBerBitString, BerEncodeBitString, Slot(ff, 8), 520, {}},
        {"BIT STRING unused without data", kBerBitString, BerEncodeBitString, Slot(empty, 1), 520, {}},
        {"0x81 length", kBerOctetString, nullptr, Slot(longer), 0, FromHex("0481c8") + longer},
        {"0x82 length", kBerOctetString, nullptr, Slot(longest), 0, FromHex("0482012c") + longest},
        {"missing mandatory", kBerOctetString, nullptr, BerSlot{}, 520, {}},
    };
    for (const auto& c : cases) {
        Bytes out;
        EXPECT_EQ(EncodeOne(c.flags, c.handler, c.value, &out), c.status) << c.what;
        EXPECT_EQ(ToHex(out), ToHex(c.expected)) << c.what;
    }
}

TEST(BerEncode, SetsAreSortedAndLimitsHold)
{
    const BerTemplateEntry set[] = {
        {kBerSet, nullptr, nullptr, 0},          {kBerOctetString, nullptr, nullptr, 0},
        {kBerOctetString, nullptr, nullptr, 1},  {kBerOctetString, nullptr, nullptr, 2},
        {kBerEnd, nullptr, nullptr, 0},
    };
    const Bytes b = "b", a = "a", ab = "ab";
    BerSlot values[] = {Slot(b), Slot(ab), Slot(a)};
    void* slots[] = {&values[0], &values[1], &values[2]};
    ToolkitItem out{};
    ASSERT_EQ(BerEncode(set, slots, &out), 0);
    EXPECT_EQ(ToHex(Bytes(reinterpret_cast<char*>(out.data), out.length)), "310a04016104016204026162");
    ToolkitFree(out.data);

    // One piece past 32767 bytes, and a whole past 32767 bytes.
    const Bytes big(20000, 'z'), huge(32768, 'z');
    BerSlot two[] = {Slot(big), Slot(big), Slot(a)};
    void* twoSlots[] = {&two[0], &two[1], &two[2]};
    EXPECT_EQ(BerEncode(set, twoSlots, &out), 537);
    Bytes ignored;
    EXPECT_EQ(EncodeOne(kBerOctetString, nullptr, Slot(huge), &ignored), 537);
}

TEST(BerDecode, TemplatesRefuseWhatTheyDoNotDescribe)
{
    // {SEQUENCE {OID, ANY OPTIONAL}, BIT STRING}
    const BerTemplateEntry spki[] = {
        {kBerSequence, nullptr, nullptr, 0},   {kBerSequence, nullptr, nullptr, 0},
        {kBerObjectIdentifier, nullptr, nullptr, 0}, {kBerAny | kBerOptional, nullptr, nullptr, 1},
        {kBerEnd, nullptr, nullptr, 0},        {kBerBitString, BerDecodeBitString, nullptr, 2},
        {kBerEnd, nullptr, nullptr, 0},
    };
    const struct {
        const char* what;
        Bytes in;
        int status;
        bool parameters;
    } cases[] = {
        {"with parameters", FromHex("300b" "3005" "0601" "2a" "0500" "0302" "00ff"), 0, true},
        {"optional absent", FromHex("3009" "3003" "0601" "2a" "0302" "00ff"), 0, false},
        {"indefinite lengths", FromHex("3080" "3080" "0601" "2a" "0000" "0302" "00ff" "0000"), 0, false},
        {"8 unused bits", FromHex("3009" "3003" "0601" "2a" "0302" "08ff"), 524, false},
        {"unused bits without data", FromHex("3008" "3003" "0601" "2a" "0301" "01"), 524, false},
        {"empty BIT STRING content", FromHex("3007" "3003" "0601" "2a" "0300"), 524, false},
        {"trailing element", FromHex("300c" "3003" "0601" "2a" "0302" "00ff" "0500"), 524, false},
        {"missing mandatory", FromHex("3005" "3003" "0601" "2a"), 524, false},
        {"wrong tag", FromHex("3009" "3003" "0401" "2a" "0302" "00ff"), 524, false},
        {"outer length short", FromHex("3009" "3003" "0601" "2a" "0302" "00"), 524, false},
        {"inner length past the outer", FromHex("3005" "3009" "0601" "2a" "0302" "00ff"), 524, false},
    };
    for (const auto& c : cases) {
        std::unique_ptr<unsigned char[]> copy(new unsigned char[c.in.size()]);
        std::copy(c.in.begin(), c.in.end(), copy.get());
        BerSlot values[3] = {};
        values[1] = {U(c.in), 99, 0}; // must be emptied when absent
        void* slots[] = {&values[0], &values[1], &values[2]};
        unsigned int used = 0;
        EXPECT_EQ(BerDecode(spki, slots, copy.get(), static_cast<unsigned int>(c.in.size()), &used), c.status)
            << c.what;
        if (c.status == 0) {
            EXPECT_EQ(used, c.in.size()) << c.what;
            EXPECT_EQ(values[1].data != nullptr, c.parameters) << c.what;
            EXPECT_EQ(ToHex(Bytes(reinterpret_cast<const char*>(values[2].data), values[2].length)), "ff") << c.what;
        }
    }

    const BerTemplateEntry integer[] = {{kBerInteger, BerDecodeUnsigned, nullptr, 0}};
    for (const char* hex : {"0200", "0201ff", "020180"}) {
        Bytes in = FromHex(hex);
        BerSlot value{};
        void* slots[] = {&value};
        EXPECT_EQ(BerDecode(integer, slots, U(in), static_cast<unsigned int>(in.size()), nullptr), 524) << hex;
    }
}

TEST(PrivateKeyEncoding, EveryCutOrForeignAlgorithmIsRefused)
{
    int status = -1;
    ToolkitKeyObject key = LoadPrivateKey(kKey, &status);
    ASSERT_EQ(status, 0);
    DestroyKeyObject(&key);
    for (std::size_t cut = 0; cut < kKey.size(); ++cut) {
        key = LoadPrivateKey(kKey.substr(0, cut), &status);
        EXPECT_EQ(status, 524) << cut;
        EXPECT_EQ(key, nullptr);
    }
    Bytes foreign = kKey;
    foreign[19] = 0x0b; // 1.2.840.113549.1.1.11 in place of rsaEncryption
    LoadPrivateKey(foreign, &status);
    EXPECT_EQ(status, 542);
}

TEST(PrivateKeyEncoding, TheKeyKeepsItsOwnCopyOfTheNumbers)
{
    auto input = std::make_unique<Bytes>(kKey);
    int status = -1;
    ToolkitKeyObject key = LoadPrivateKey(*input, &status);
    ASSERT_EQ(status, 0);
    Bytes before;
    ASSERT_EQ(RsaSign(key, "reload", &before), 0);
    // The configuration's block goes away (as on a reload) while the key lives.
    std::fill(input->begin(), input->end(), '\xA5');
    input.reset();
    Bytes after;
    ASSERT_EQ(RsaSign(key, "reload", &after), 0);
    EXPECT_EQ(ToHex(after), ToHex(before));
    void* value = nullptr;
    ASSERT_EQ(GetKeyInfo(&value, key, PrivateKeyEncodedInfoType), 0);
    auto* encoded = static_cast<ToolkitItem*>(value);
    EXPECT_EQ(ToHex(Bytes(reinterpret_cast<char*>(encoded->data), encoded->length)), ToHex(kKey));
    DestroyKeyObject(&key);
}

TEST(RsaPadding, BlocksAndLimits)
{
    int status = -1;
    ToolkitKeyObject key = LoadPrivateKey(kKey, &status);
    ASSERT_EQ(status, 0);
    void* value = nullptr;
    ASSERT_EQ(GetKeyInfo(&value, key, RSAPrivateKeyInfoType), 0);
    const auto& numbers = *static_cast<ToolkitRSAPrivateKey*>(value);
    const Bytes message = "secret";
    auto block = [&](const char* head, std::size_t padding) {
        return FromHex(head) + Bytes(padding, '\x5a') + Bytes(1, '\0') + message;
    };
    const struct {
        const char* what;
        Bytes plain;
        int status;
    } cases[] = {
        {"type 2", block("0002", 64 - 3 - message.size()), 0},
        {"type 1", block("0001", 64 - 3 - message.size()), 524},
        {"no leading zero", block("0102", 64 - 3 - message.size()), 524},
        {"padding of 7", FromHex("0002") + Bytes(7, '\x5a') + Bytes(1, '\0') + Bytes(64 - 10, 'm'), 524},
        {"padding of 8", FromHex("0002") + Bytes(8, '\x5a') + Bytes(1, '\0') + Bytes(64 - 11, 'm'), 0},
        {"no zero after padding", FromHex("0002") + Bytes(62, '\x5a'), 524},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.plain.size(), 64u) << c.what;
        Bytes out;
        EXPECT_EQ(RsaDecrypt(key, PublicOperation(numbers, c.plain), &out), c.status) << c.what;
        if (c.status == 0) {
            EXPECT_EQ(out, c.plain.substr(c.plain.find('\0', 2) + 1)) << c.what;
        }
    }
    Bytes out;
    EXPECT_EQ(RsaDecrypt(key, Bytes(65, '\0'), &out), 525) << "more than a block";
    EXPECT_EQ(RsaDecrypt(key, Bytes(63, '\0'), &out), 525) << "less than a block";
    EXPECT_EQ(RsaSign(key, Bytes(54, 'm'), &out), 525) << "leaves less than 11 bytes";
    EXPECT_EQ(RsaSign(key, Bytes(53, 'm'), &out), 0);
    // The signature is the type 1 block under the private operation.
    EXPECT_EQ(ToHex(PublicOperation(numbers, out)), ToHex(FromHex("0001") + Bytes(8, '\xff') + Bytes(1, '\0') +
                                                         Bytes(53, 'm')));
    DestroyKeyObject(&key);

    // A modulus of 1032 bits is too long for the operation.
    ToolkitKeyObject large = nullptr;
    CreateKeyObject(&large);
    Bytes modulus(129, '\xff'), small = FromHex("03");
    ToolkitItem m = {reinterpret_cast<unsigned char*>(modulus.data()), 129};
    ToolkitItem s = {const_cast<unsigned char*>(U(small)), 1};
    ToolkitRSAPrivateCRTKey crt = {m, {s, s}, {s, s}, s};
    ASSERT_EQ(SetKeyInfo(large, RSAPrivateCRTKeyInfoType, &crt), 0);
    EXPECT_EQ(RsaDecrypt(large, Bytes(129, '\0'), &out), 533);
    DestroyKeyObject(&large);
}

namespace {

struct Source {
    Bytes bytes;
    std::size_t at = 0;
    unsigned int chunk = 100;
    int failure = 0;
};

int ReadSource(void* context, unsigned char* buffer, unsigned int room, unsigned int* got)
{
    auto* source = static_cast<Source*>(context);
    if (source->failure)
        return source->failure;
    std::size_t n = std::min<std::size_t>({room, source->chunk, source->bytes.size() - source->at});
    std::copy_n(source->bytes.begin() + static_cast<std::ptrdiff_t>(source->at), n, buffer);
    source->at += n;
    *got = static_cast<unsigned int>(n);
    return 0;
}

Bytes OctetString(std::size_t n)
{
    Bytes length = n < 128 ? Bytes(1, static_cast<char>(n))
                           : FromHex("82") + Bytes(1, static_cast<char>(n >> 8)) + Bytes(1, static_cast<char>(n));
    return FromHex("04") + length + Bytes(n, 'o');
}

} // namespace

TEST(BerDecodeStream, ElementsPastTheFirstBufferAreReadOn)
{
    const BerTemplateEntry octets[] = {{kBerOctetString, nullptr, nullptr, 0}};
    const struct {
        const char* what;
        std::size_t content;
        int failure;
        int status;
    } cases[] = {
        {"fits the first buffer", 100, 0, 0},
        {"needs the larger buffer", 3000, 0, 0},
        {"fills the larger buffer", kBerStreamLarge - 4, 0, 0},
        {"larger than both", kBerStreamLarge, 0, 524},
        {"reader failure", 10, 279, 279},
    };
    for (const auto& c : cases) {
        Source source{OctetString(c.content) + "trailing", 0, 700, c.failure};
        BerSlot value{};
        void* slots[] = {&value};
        ToolkitItem held{};
        unsigned int used = 0;
        EXPECT_EQ(BerDecodeStream(octets, slots, ReadSource, &source, &held, &used), c.status) << c.what;
        if (c.status == 0) {
            EXPECT_EQ(value.length, c.content) << c.what;
            EXPECT_EQ(used, OctetString(c.content).size()) << c.what;
            EXPECT_EQ(Bytes(reinterpret_cast<const char*>(value.data), value.length), Bytes(c.content, 'o')) << c.what;
        }
        EXPECT_EQ(held.data != nullptr, c.status == 0) << c.what;
        ToolkitFree(held.data);
    }
}

TEST(BerEncode, FixedWidthIntegersRoundTrip)
{
    const BerTemplateEntry sequence[] = {
        {kBerSequence, nullptr, nullptr, 0},
        {kBerInteger, BerDecodeInteger16, BerEncodeInteger16, 0},
        {kBerInteger, BerDecodeInteger32, BerEncodeInteger32, 1},
        {kBerEnd, nullptr, nullptr, 0},
    };
    unsigned short small = 0x8001;
    unsigned int large = 0x80000000u;
    void* slots[] = {&small, &large};
    ToolkitItem out{};
    ASSERT_EQ(BerEncode(sequence, slots, &out), 0);
    Bytes der(reinterpret_cast<char*>(out.data), out.length);
    ToolkitFree(out.data);
    EXPECT_EQ(ToHex(der), "300c" "0203008001" "02050080000000");
    small = 0;
    large = 0;
    ASSERT_EQ(BerDecode(sequence, slots, U(der), static_cast<unsigned int>(der.size()), nullptr), 0);
    EXPECT_EQ(small, 0x8001);
    EXPECT_EQ(large, 0x80000000u);
    Bytes tooWide = FromHex("3009" "0203010000" "02020100");
    EXPECT_EQ(BerDecode(sequence, slots, U(tooWide), static_cast<unsigned int>(tooWide.size()), nullptr), 524);
}
