// DES with combined S-box/permutation tables over 16-bit words.

#include "security/des.h"

#include "security/toolkit_internal.h"

#include <cstring>

namespace {

const unsigned char kPC1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};
const unsigned char kPC2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};
const unsigned char kForwardShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
const unsigned char kReverseShifts[16] = {0, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
const unsigned char kIP[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4, 62, 54, 46, 38, 30, 22, 14, 6,
    64, 56, 48, 40, 32, 24, 16, 8, 57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7,
};
const unsigned char kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                              2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
const unsigned char kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,  13, 1,  10, 6, 12, 11,
     9,  5,  3,  8, 4,  1,  14, 8,  13, 6,  2,  11, 15, 12, 9, 7,  3, 10, 5,  0,  15, 12, 8,  2,  4,  9, 1,  7,
     5,  11, 3,  14, 10, 0, 6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7, 15, 2,  8,  14, 12, 0, 1,  10,
     6,  9,  11, 5,  0,  14, 7,  11, 10, 4, 13, 1,  5,  8, 12, 6,  9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,
     11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7, 0,  9,  3,  4,  6,  10, 2,  8, 5,  14,
     12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,  1, 10, 13, 0,  6,  9, 8,  7,
     4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2, 8,  5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15, 0,  3,  4,  7, 2,  12,
     1,  10, 14, 9,  10, 6,  9,  0,  12, 11, 7, 13, 15, 1,  3,  14, 5,  2,  8,  4,  3,  15, 0,  6,  10, 1, 13, 8,
     9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,  14, 11, 2,  12, 4,  7,  13, 1,  5,  0, 15, 10,
     3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5, 6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2, 13,
     6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12, 9,  5,  6,  1, 13, 14,
     0,  11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,  4,  3,  2,  12, 9,  5, 15, 10,
     11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0, 11, 7,  4,  9,  1,  10, 14, 3, 5,  12,
     2,  15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,  0,  5,  9,  2,  6, 11, 13, 8,  1,  4, 10, 7,
     9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,  7,  4,  12, 5, 6,  11,
     0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,  2, 1,  14, 7,  4,  10, 8, 13,
     15, 12, 9,  0,  3,  5,  6,  11},
};

// The combined tables: entry v of table k is P applied to S-box k's output
// for the 6 input bits v, as {high word, low word}; the initial and final
// permutations as contributions of each input byte.
struct Tables {
    std::uint16_t sp[8][64][2];
    std::uint16_t ip[8][256][4];
    std::uint16_t fp[8][256][4];

    Tables()
    {
        for (int k = 0; k < 8; ++k)
            for (int v = 0; v < 64; ++v) {
                int row = ((v >> 4) & 2) | (v & 1);
                int col = (v >> 1) & 15;
                std::uint32_t s = std::uint32_t(kS[k][row * 16 + col]) << (28 - 4 * k);
                std::uint32_t p = 0;
                for (int i = 0; i < 32; ++i)
                    if (s & (0x80000000u >> (kP[i] - 1)))
                        p |= 0x80000000u >> i;
                sp[k][v][0] = static_cast<std::uint16_t>(p >> 16);
                sp[k][v][1] = static_cast<std::uint16_t>(p);
            }
        unsigned char inverse[64];
        for (int i = 0; i < 64; ++i)
            inverse[kIP[i] - 1] = static_cast<unsigned char>(i + 1);
        Fill(ip, kIP);
        Fill(fp, inverse);
    }

    // table[byte][value]: the output words (most significant first) that
    // input byte `byte` holding `value` contributes under permutation perm.
    static void Fill(std::uint16_t table[8][256][4], const unsigned char* perm)
    {
        for (int byte = 0; byte < 8; ++byte)
            for (int value = 0; value < 256; ++value) {
                std::uint16_t words[4] = {};
                for (int i = 0; i < 64; ++i) {
                    int from = perm[i] - 1;
                    if (from / 8 == byte && (value & (0x80 >> (from % 8))))
                        words[i / 16] |= static_cast<std::uint16_t>(0x8000 >> (i % 16));
                }
                for (int w = 0; w < 4; ++w)
                    table[byte][value][w] = words[w];
            }
    }
};

const Tables& TheTables()
{
    static const Tables tables;
    return tables;
}

void Permute(const std::uint16_t table[8][256][4], const unsigned char* in, std::uint16_t words[4])
{
    words[0] = words[1] = words[2] = words[3] = 0;
    for (int b = 0; b < 8; ++b)
        for (int w = 0; w < 4; ++w)
            words[w] |= table[b][in[b]][w];
}

void RoundKey(const unsigned char* cd, std::uint16_t key[4])
{
    unsigned char groups[8];
    for (int g = 0; g < 8; ++g) {
        unsigned char bits = 0;
        for (int i = 0; i < 6; ++i)
            bits = static_cast<unsigned char>((bits << 1) | cd[kPC2[g * 6 + i] - 1]);
        groups[g] = static_cast<unsigned char>(bits << 1);
    }
    for (int w = 0; w < 4; ++w)
        key[w] = static_cast<std::uint16_t>(groups[2 * w] | (groups[2 * w + 1] << 8));
    explicit_bzero(groups, sizeof groups);
}

// Rotates each 28-bit half (one bit a byte) left (n > 0) or right (n < 0).
void RotateHalves(unsigned char* cd, int n)
{
    for (int half = 0; half < 2; ++half) {
        unsigned char* h = cd + 28 * half;
        unsigned char copy[28];
        for (int i = 0; i < 28; ++i)
            copy[i] = h[((i + n) % 28 + 28) % 28];
        CryptoMemCopy(h, copy, 28);
    }
}

void Schedule(DESKeySchedule* schedule, const unsigned char* key, bool forward)
{
    unsigned char cd[56];
    for (int i = 0; i < 56; ++i) {
        int bit = kPC1[i] - 1;
        cd[i] = (key[bit / 8] >> (7 - bit % 8)) & 1;
    }
    for (int r = 0; r < 16; ++r) {
        RotateHalves(cd, forward ? kForwardShifts[r] : -kReverseShifts[r]);
        RoundKey(cd, schedule->round[r]);
    }
    explicit_bzero(cd, sizeof cd);
}

inline std::uint32_t RotateLeft(std::uint32_t x, int n)
{
    n &= 31;
    return n ? (x << n) | (x >> (32 - n)) : x;
}

} // namespace

void DESKeyScheduleForward(DESKeySchedule* schedule, const unsigned char key[8])
{
    Schedule(schedule, key, true);
}

void DESKeyScheduleReverse(DESKeySchedule* schedule, const unsigned char key[8])
{
    Schedule(schedule, key, false);
}

void DESBlockTransform(const DESKeySchedule* schedule, unsigned char out[8], const unsigned char in[8])
{
    const Tables& t = TheTables();
    std::uint16_t w[4];
    Permute(t.ip, in, w);
    std::uint16_t left[2] = {w[0], w[1]};
    std::uint16_t right[2] = {w[2], w[3]};
    for (int r = 0; r < 16; ++r) {
        // The expansion: group k takes bits 4k..4k+5 of R (bit 0 being bit
        // 32), brought into bits 1 to 6 of a byte to meet the round key.
        std::uint32_t rr = (std::uint32_t(right[0]) << 16) | right[1];
        rr = (rr >> 1) | (rr << 31);
        std::uint16_t high = 0, low = 0;
        const std::uint16_t* key = schedule->round[r];
        for (int word = 0; word < 4; ++word) {
            std::uint16_t data = static_cast<std::uint16_t>(((RotateLeft(rr, 8 * word + 6) & 63) << 1) |
                                                            ((RotateLeft(rr, 8 * word + 10) & 63) << 9));
            std::uint16_t x = (data ^ key[word]) & 0x7E7E;
            const std::uint16_t* a = t.sp[2 * word][(x & 0xFF) >> 1];
            const std::uint16_t* b = t.sp[2 * word + 1][x >> 9];
            high ^= a[0] ^ b[0];
            low ^= a[1] ^ b[1];
        }
        std::uint16_t newRight[2] = {static_cast<std::uint16_t>(left[0] ^ high),
                                     static_cast<std::uint16_t>(left[1] ^ low)};
        left[0] = right[0];
        left[1] = right[1];
        right[0] = newRight[0];
        right[1] = newRight[1];
    }
    // The halves swap before the final permutation.
    unsigned char pre[8] = {
        static_cast<unsigned char>(right[0] >> 8), static_cast<unsigned char>(right[0]),
        static_cast<unsigned char>(right[1] >> 8), static_cast<unsigned char>(right[1]),
        static_cast<unsigned char>(left[0] >> 8),  static_cast<unsigned char>(left[0]),
        static_cast<unsigned char>(left[1] >> 8),  static_cast<unsigned char>(left[1]),
    };
    Permute(t.fp, pre, w);
    for (int i = 0; i < 4; ++i) {
        out[2 * i] = static_cast<unsigned char>(w[i] >> 8);
        out[2 * i + 1] = static_cast<unsigned char>(w[i]);
    }
    explicit_bzero(pre, sizeof pre);
}

int CBCTransform(const void* schedule, unsigned char chain[8], unsigned char residue[8], unsigned int* residueLen,
                 CBCBlockFunction block, unsigned char* out, unsigned int* outLen, unsigned int maxOut,
                 const unsigned char* in, unsigned int inLen)
{
    unsigned long long total = static_cast<unsigned long long>(*residueLen) + inLen;
    *outLen = 0;
    unsigned long long produce = total / 8 * 8;
    if (produce > maxOut)
        return 10;
    if (total < 8) {
        CryptoMemCopy(residue + *residueLen, in, inLen);
        *residueLen += inLen;
        return 0;
    }
    unsigned int used = 8 - *residueLen;
    CryptoMemCopy(residue + *residueLen, in, used);
    unsigned char work[8];
    const unsigned char* next = residue;
    unsigned int written = 0;
    for (;;) {
        for (int i = 0; i < 8; ++i)
            work[i] = next[i] ^ chain[i];
        block(schedule, out + written, work);
        CryptoMemCopy(chain, out + written, 8);
        written += 8;
        if (inLen - used < 8)
            break;
        next = in + used;
        used += 8;
    }
    *residueLen = inLen - used;
    CryptoMemCopy(residue, in + used, *residueLen);
    *outLen = written;
    explicit_bzero(work, sizeof work);
    return 0;
}

int CBCFinalCheck(unsigned int residueLen)
{
    return residueLen ? 6 : 0;
}

void DESSetOddParity(unsigned char key[8])
{
    for (int i = 0; i < 8; ++i) {
        unsigned char b = static_cast<unsigned char>(key[i] & 0xFE);
        unsigned int ones = static_cast<unsigned int>(__builtin_popcount(b));
        key[i] = static_cast<unsigned char>(b | ((ones & 1) ? 0 : 1));
    }
}

bool DESHasOddParity(const unsigned char key[8])
{
    for (int i = 0; i < 8; ++i)
        if (!(__builtin_popcount(key[i]) & 1))
            return false;
    return true;
}

namespace {

int DESKeySet(ToolkitKeyObject key, const void* value)
{
    auto* given = static_cast<const ToolkitItem*>(value);
    if (given->length != 8 || !DESHasOddParity(given->data))
        return kToolkitKeyForm;
    ToolkitItem* item = nullptr;
    if (int status = MemoryListAllocate(&key->memory, sizeof(ToolkitItem), reinterpret_cast<void**>(&item)))
        return status;
    if (int status = KeyCopyBytes(key, given->data, 8, item))
        return status;
    return InfoListAdd(&key->info, DESKeyInfoType, item);
}

int DESKeyGet(void** out, ToolkitKeyObject key)
{
    auto* raw = static_cast<ToolkitItem*>(InfoListFind(&key->info, RawKeyInfoType));
    if (!raw || raw->length != 8)
        return kToolkitKeyForm;
    ToolkitItem* item = nullptr;
    if (int status = MemoryListAllocate(&key->memory, sizeof(ToolkitItem), reinterpret_cast<void**>(&item)))
        return status;
    if (int status = KeyCopyBytes(key, raw->data, 8, item))
        return status;
    DESSetOddParity(item->data);
    *out = item;
    return 0;
}

const ToolkitKeyInfo kDESKeyInfo = {DESKeySet, DESKeyGet};

} // namespace

int DESKeyInfoType(const void** out)
{
    *out = &kDESKeyInfo;
    return 1;
}
