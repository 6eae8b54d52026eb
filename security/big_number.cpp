// Multiprecision arithmetic over 16-bit digits.

#include "security/big_number.h"

#include <cstring>

namespace {

constexpr std::uint32_t kBase = 0x10000;

// A work area of at most N digits, of which the first used (all by
// default) start zeroed and are zeroed again when it goes out of scope.
template <int N>
struct Work {
    BigDigit d[N];
    int used;
    explicit Work(int count = N) : used(count < N ? count : N) { BigZero(d, used); }
    ~Work() { explicit_bzero(d, sizeof(BigDigit) * static_cast<std::size_t>(used)); }
    operator BigDigit*() { return d; }
};

// Whether a < b as unsigned numbers of n digits.
bool Below(const BigDigit* a, const BigDigit* b, int n)
{
    for (int i = n - 1; i >= 0; --i)
        if (a[i] != b[i])
            return a[i] < b[i];
    return false;
}

int LeadingZeros(BigDigit d)
{
    int n = 0;
    for (BigDigit bit = 0x8000; bit && !(d & bit); bit >>= 1)
        ++n;
    return n;
}

} // namespace

void BigZero(BigDigit* a, int n)
{
    for (int i = 0; i < n; ++i)
        a[i] = 0;
}

void BigCopy(BigDigit* a, const BigDigit* b, int n)
{
    for (int i = 0; i < n; ++i)
        a[i] = b[i];
}

void BigSetSmall(BigDigit* a, int value, int n)
{
    a[0] = static_cast<BigDigit>(value);
    BigDigit fill = value < 0 ? 0xFFFF : 0;
    if (n > 1)
        a[1] = static_cast<BigDigit>(static_cast<unsigned int>(value) >> 16);
    for (int i = 2; i < n; ++i)
        a[i] = fill;
}

int BigFromOctets(BigDigit* a, int n, const unsigned char* bytes, unsigned int length)
{
    BigZero(a, n);
    for (unsigned int i = 0; i < length; ++i) {
        unsigned int place = length - 1 - i; // byte place from the least significant end
        unsigned char byte = bytes[i];
        if (place / 2 >= static_cast<unsigned int>(n)) {
            if (byte)
                return 13;
            continue;
        }
        a[place / 2] |= static_cast<BigDigit>(byte << (8 * (place % 2)));
    }
    return BigSign(a, n) < 0 ? 13 : 0;
}

int BigToOctets(unsigned char* bytes, unsigned int length, const BigDigit* a, int n)
{
    if (BigSign(a, n) < 0)
        return 13;
    for (int i = 0; i < n; ++i)
        for (unsigned int half = 0; half < 2; ++half) {
            unsigned char byte = static_cast<unsigned char>(a[i] >> (8 * half));
            unsigned int place = 2 * static_cast<unsigned int>(i) + half;
            if (place >= length) {
                if (byte)
                    return 13;
                continue;
            }
            bytes[length - 1 - place] = byte;
        }
    for (unsigned int place = 2 * static_cast<unsigned int>(n); place < length; ++place)
        bytes[length - 1 - place] = 0;
    return 0;
}

BigDigit BigAdd(BigDigit* a, const BigDigit* b, const BigDigit* c, int n)
{
    std::uint32_t carry = 0;
    for (int i = 0; i < n; ++i) {
        carry += std::uint32_t(b[i]) + c[i];
        a[i] = static_cast<BigDigit>(carry);
        carry >>= 16;
    }
    return static_cast<BigDigit>(carry);
}

BigDigit BigSub(BigDigit* a, const BigDigit* b, const BigDigit* c, int n)
{
    std::uint32_t borrow = 0;
    for (int i = 0; i < n; ++i) {
        std::uint32_t d = std::uint32_t(b[i]) - c[i] - borrow;
        a[i] = static_cast<BigDigit>(d);
        borrow = (d >> 16) & 1;
    }
    return static_cast<BigDigit>(borrow);
}

void BigNegate(BigDigit* a, const BigDigit* b, int n)
{
    for (int i = 0; i < n; ++i)
        a[i] = static_cast<BigDigit>(~b[i]);
    BigIncrement(a, n);
}

void BigIncrement(BigDigit* a, int n)
{
    for (int i = 0; i < n && ++a[i] == 0; ++i) {
    }
}

void BigDecrement(BigDigit* a, int n)
{
    for (int i = 0; i < n && a[i]-- == 0; ++i) {
    }
}

int BigSign(const BigDigit* a, int n)
{
    if (a[n - 1] & 0x8000)
        return -1;
    for (int i = 0; i < n; ++i)
        if (a[i])
            return 1;
    return 0;
}

int BigCompare(const BigDigit* a, const BigDigit* b, int n)
{
    bool negativeA = a[n - 1] & 0x8000, negativeB = b[n - 1] & 0x8000;
    if (negativeA != negativeB)
        return negativeA ? -1 : 1;
    for (int i = n - 1; i >= 0; --i)
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    return 0;
}

int BigDigits(const BigDigit* a, int n)
{
    while (n > 0 && a[n - 1] == 0)
        --n;
    return n;
}

int BigBits(const BigDigit* a, int n)
{
    int digits = BigDigits(a, n);
    if (!digits)
        return 0;
    return 16 * digits - LeadingZeros(a[digits - 1]);
}

void BigMultiply(BigDigit* a, const BigDigit* b, const BigDigit* c, int n)
{
    Work<2 * kBigMaxDigits> t(2 * n);
    int bn = BigDigits(b, n), cn = BigDigits(c, n);
    for (int i = 0; i < bn; ++i) {
        std::uint32_t carry = 0;
        for (int j = 0; j < cn; ++j) {
            carry += std::uint32_t(b[i]) * c[j] + t.d[i + j];
            t.d[i + j] = static_cast<BigDigit>(carry);
            carry >>= 16;
        }
        t.d[i + cn] = static_cast<BigDigit>(carry);
    }
    BigCopy(a, t, 2 * n);
}

void BigSquare(BigDigit* a, const BigDigit* b, int n)
{
    Work<2 * kBigMaxDigits> t(2 * n);
    const int bn = BigDigits(b, n);
    // The cross products once, doubled, then the squares of the digits.
    for (int i = 0; i < bn; ++i) {
        std::uint32_t carry = 0;
        for (int j = i + 1; j < bn; ++j) {
            carry += std::uint32_t(b[i]) * b[j] + t.d[i + j];
            t.d[i + j] = static_cast<BigDigit>(carry);
            carry >>= 16;
        }
        t.d[i + bn] = static_cast<BigDigit>(carry);
    }
    BigDigit top = 0;
    for (int i = 0; i < 2 * bn; ++i) {
        BigDigit next = static_cast<BigDigit>(t.d[i] >> 15);
        t.d[i] = static_cast<BigDigit>((t.d[i] << 1) | top);
        top = next;
    }
    std::uint32_t carry = 0;
    for (int i = 0; i < bn; ++i) {
        std::uint32_t square = std::uint32_t(b[i]) * b[i];
        std::uint32_t low = t.d[2 * i] + (square & 0xFFFF) + carry;
        t.d[2 * i] = static_cast<BigDigit>(low);
        std::uint32_t high = t.d[2 * i + 1] + (square >> 16) + (low >> 16);
        t.d[2 * i + 1] = static_cast<BigDigit>(high);
        carry = high >> 16;
    }
    BigCopy(a, t, 2 * n);
}

// Knuth's long division: the divisor is shifted until its top digit is
// large, each quotient digit is estimated from the top two digits and
// corrected downward.
void BigDivide(BigDigit* quotient, BigDigit* remainder, const BigDigit* u, int un, const BigDigit* v, int vn)
{
    Work<2 * kBigMaxDigits + 2> q, uu;
    Work<kBigMaxDigits + 1> vv;
    int n = BigDigits(v, vn), m = BigDigits(u, un);
    if (quotient)
        BigZero(quotient, un);
    if (n == 0) {
        // No division by zero: both results are zero.
        if (remainder)
            BigZero(remainder, vn);
        return;
    }
    if (m < n) {
        if (remainder) {
            BigZero(remainder, vn);
            BigCopy(remainder, u, m);
        }
        return;
    }
    int shift = LeadingZeros(v[n - 1]);
    for (int i = n - 1; i >= 0; --i)
        vv.d[i] = static_cast<BigDigit>((v[i] << shift) | (shift && i ? v[i - 1] >> (16 - shift) : 0));
    uu.d[m] = static_cast<BigDigit>(shift ? u[m - 1] >> (16 - shift) : 0);
    for (int i = m - 1; i >= 0; --i)
        uu.d[i] = static_cast<BigDigit>((u[i] << shift) | (shift && i ? u[i - 1] >> (16 - shift) : 0));
    for (int j = m - n; j >= 0; --j) {
        std::uint32_t top = (std::uint32_t(uu.d[j + n]) << 16) | uu.d[j + n - 1];
        std::uint32_t qhat = top / vv.d[n - 1];
        std::uint32_t rhat = top % vv.d[n - 1];
        while (n > 1 && (qhat >= kBase || qhat * vv.d[n - 2] > ((rhat << 16) | uu.d[j + n - 2]))) {
            --qhat;
            rhat += vv.d[n - 1];
            if (rhat >= kBase)
                break;
        }
        if (qhat >= kBase)
            qhat = kBase - 1;
        std::int64_t borrow = 0;
        std::uint32_t carry = 0;
        for (int i = 0; i < n; ++i) {
            std::uint32_t p = qhat * vv.d[i] + carry;
            carry = p >> 16;
            std::int64_t t = std::int64_t(uu.d[i + j]) - (p & 0xFFFF) + borrow;
            uu.d[i + j] = static_cast<BigDigit>(t);
            borrow = t >> 16;
        }
        std::int64_t t = std::int64_t(uu.d[j + n]) - carry + borrow;
        uu.d[j + n] = static_cast<BigDigit>(t);
        if (t < 0) {
            // The estimate was one too large: add the divisor back.
            --qhat;
            std::uint32_t c = 0;
            for (int i = 0; i < n; ++i) {
                c += std::uint32_t(uu.d[i + j]) + vv.d[i];
                uu.d[i + j] = static_cast<BigDigit>(c);
                c >>= 16;
            }
            uu.d[j + n] = static_cast<BigDigit>(uu.d[j + n] + c);
        }
        q.d[j] = static_cast<BigDigit>(qhat);
    }
    if (quotient)
        BigCopy(quotient, q, m - n + 1 < un ? m - n + 1 : un);
    if (remainder) {
        BigZero(remainder, vn);
        for (int i = 0; i < n; ++i)
            remainder[i] = static_cast<BigDigit>((uu.d[i] >> shift) | (shift ? uu.d[i + 1] << (16 - shift) : 0));
    }
}

void BigMod(BigDigit* a, const BigDigit* b, int bn, const BigDigit* c, int cn)
{
    BigDivide(nullptr, a, b, bn, c, cn);
}

namespace {

// Whether a * m (both of count digits) exceeds power.
bool ProductAbove(const BigDigit* a, const BigDigit* m, const BigDigit* power, int count)
{
    Work<2 * kBigMaxDigits + 4> product(2 * count);
    BigMultiply(product, a, m, count);
    Work<2 * kBigMaxDigits + 4> wide(2 * count);
    BigCopy(wide, power, count);
    return Below(wide, product, 2 * count);
}

// reciprocal = floor(b^(2k) / m) for m of k significant digits, k >= 2:
// Newton's iteration x += x (b^(2k) - m x) / b^(2k) climbs from a guess
// below it, then the result is corrected to the floor exactly.
void NewtonReciprocal(BigDigit* reciprocal, const BigDigit* m, int k)
{
    const int count = 2 * k + 2;
    Work<kBigMaxDigits + 4> x(count), mm(count), power(count), difference(count), one(count);
    BigCopy(mm, m, k);
    power.d[2 * k] = 1;
    one.d[0] = 1;
    // The guess from the top two digits, T: b^(k+2) / (T + 1) <= b^(2k) / m.
    std::uint64_t top = (std::uint64_t(m[k - 1]) << 16) | m[k - 2];
    std::uint64_t guess = ~std::uint64_t(0) / (top + 1);
    for (int i = 0; i < 4 && k - 2 + i < count; ++i)
        x.d[k - 2 + i] = static_cast<BigDigit>(guess >> (16 * i));
    Work<2 * kBigMaxDigits + 8> product(2 * count);
    for (int step = 0; step < 16; ++step) {
        BigMultiply(product, mm, x, count);
        bool above = Below(power, product, count);
        for (int i = count; i < 2 * count; ++i)
            above = above || product.d[i] != 0;
        if (above)
            break; // past the reciprocal already: the correction below mends it
        BigSub(difference, power, product, count);
        BigMultiply(product, x, difference, count);
        // The increase is the product's digits from place 2k up.
        bool zero = true;
        for (int i = 2 * k; i < 2 * count; ++i)
            zero = zero && product.d[i] == 0;
        if (zero)
            break;
        BigAdd(x, x, product.d + 2 * k, count);
    }
    // Downward while x m exceeds b^(2k), then up to the floor.
    for (int guard = 0; guard < 64 && ProductAbove(x, mm, power, count); ++guard)
        BigDecrement(x, count);
    Work<kBigMaxDigits + 4> next(count);
    for (int guard = 0; guard < 64; ++guard) {
        BigAdd(next, x, one, count);
        if (ProductAbove(next, mm, power, count))
            break;
        BigCopy(x, next, count);
    }
    BigCopy(reciprocal, x, k + 2);
}

} // namespace

void BigModulusSet(BigModulus* modulus, const BigDigit* m, int n)
{
    BigZero(modulus->m, kBigMaxDigits);
    BigCopy(modulus->m, m, n);
    modulus->n = n;
    int k = BigDigits(m, n);
    modulus->digits = k;
    BigZero(modulus->reciprocal, kBigMaxDigits);
    if (k >= 2) {
        NewtonReciprocal(modulus->reciprocal, m, k);
        return;
    }
    // One digit: a short division does.
    Work<4> power(3), q(3);
    power.d[2] = 1;
    BigDivide(q, nullptr, power, 3, m, 1);
    BigCopy(modulus->reciprocal, q, 3);
}

void BigModulusClear(BigModulus* modulus)
{
    explicit_bzero(modulus, sizeof *modulus);
}

namespace {

// The digits of b * c (bn and cn digits) from place low up; the carries of
// the places below are left out, so the result may fall short by a little.
void MultiplyHigh(BigDigit* t, const BigDigit* b, int bn, const BigDigit* c, int cn, int low)
{
    for (int i = 0; i < bn; ++i) {
        std::uint32_t carry = 0;
        for (int j = low - i > 0 ? low - i : 0; j < cn; ++j) {
            carry += std::uint32_t(b[i]) * c[j] + t[i + j];
            t[i + j] = static_cast<BigDigit>(carry);
            carry >>= 16;
        }
        t[i + cn] = static_cast<BigDigit>(carry);
    }
}

// b * c mod b^(top + 1).
void MultiplyLow(BigDigit* t, const BigDigit* b, int bn, const BigDigit* c, int cn, int top)
{
    for (int i = 0; i < bn && i <= top; ++i) {
        std::uint32_t carry = 0;
        int last = cn - 1 < top - i ? cn - 1 : top - i;
        for (int j = 0; j <= last; ++j) {
            carry += std::uint32_t(b[i]) * c[j] + t[i + j];
            t[i + j] = static_cast<BigDigit>(carry);
            carry >>= 16;
        }
        if (i + cn <= top)
            t[i + cn] = static_cast<BigDigit>(carry);
    }
}

// a (n digits) = x mod m for x (2n digits) below m^2: Barrett's estimate
// q = floor(floor(x / b^(k-1)) * reciprocal / b^(k+1)) is at most a few
// short, so r = x - q m needs at most a few subtractions of m.
void Reduce(BigDigit* a, const BigDigit* x, const BigModulus* modulus)
{
    const int k = modulus->digits;
    const int n = modulus->n;
    Work<2 * kBigMaxDigits + 4> q2(2 * k + 4);
    Work<kBigMaxDigits + 2> r(k + 1), qm(k + 1);
    // Only the places from k - 1 up count towards q.
    // k + 2 digits of the reciprocal: it needs them when m is a power of b.
    MultiplyHigh(q2, x + k - 1, k + 1, modulus->reciprocal, k + 2, k - 1);
    const BigDigit* q = q2.d + k + 1;
    MultiplyLow(qm, q, k + 1, modulus->m, k, k);
    BigCopy(r, x, k + 1);
    BigSub(r, r, qm, k + 1);
    for (int guard = 0; guard < 8 && !Below(r, modulus->m, k + 1); ++guard)
        BigSub(r, r, modulus->m, k + 1);
    BigZero(a, n);
    BigCopy(a, r, k);
}

} // namespace

void BigModMultiply(BigDigit* a, const BigDigit* b, const BigDigit* c, const BigModulus* modulus)
{
    Work<2 * kBigMaxDigits> t(2 * modulus->n);
    BigMultiply(t, b, c, modulus->n);
    Reduce(a, t, modulus);
}

void BigModSquare(BigDigit* a, const BigDigit* b, const BigModulus* modulus)
{
    Work<2 * kBigMaxDigits> t(2 * modulus->n);
    BigSquare(t, b, modulus->n);
    Reduce(a, t, modulus);
}

void BigModExp(BigDigit* a, const BigDigit* b, const BigDigit* e, int en, const BigModulus* modulus)
{
    const int n = modulus->n;
    const int bits = BigBits(e, en);
    const int width = bits <= 3 ? 1 : bits <= 15 ? 2 : bits <= 63 ? 3 : 4;
    // Odd powers b^1, b^3, ..., made the first time a window needs them.
    Work<8 * kBigMaxDigits> powers;
    Work<kBigMaxDigits> square, result;
    BigCopy(powers, b, n);
    int madeUpTo = 0;
    BigSetSmall(result, 1, n);
    if (modulus->digits == 1 && modulus->m[0] == 1)
        BigZero(result, n);
    auto bit = [&](int i) { return (e[i / 16] >> (i % 16)) & 1; };
    for (int i = bits - 1; i >= 0;) {
        if (!bit(i)) {
            BigModSquare(result, result, modulus);
            --i;
            continue;
        }
        int low = i - width + 1 < 0 ? 0 : i - width + 1;
        while (!bit(low))
            ++low;
        int value = 0;
        for (int j = i; j >= low; --j) {
            value = (value << 1) | bit(j);
            BigModSquare(result, result, modulus);
        }
        int index = value >> 1;
        if (index > madeUpTo) {
            if (madeUpTo == 0)
                BigModSquare(square, b, modulus);
            for (int j = madeUpTo + 1; j <= index; ++j)
                BigModMultiply(powers.d + j * kBigMaxDigits, powers.d + (j - 1) * kBigMaxDigits, square, modulus);
            madeUpTo = index;
        }
        BigModMultiply(result, result, powers.d + index * kBigMaxDigits, modulus);
        i = low - 1;
    }
    BigCopy(a, result, n);
}
