#pragma once
// Multiprecision numbers: arrays of 16-bit digits, least significant digit
// first, in two's complement over their digit count (the top bit of the top
// digit is the sign). Every function takes the digit count it works on.

#include <cstdint>

using BigDigit = std::uint16_t;

// Large enough for a product of two numbers the size of a 1024-bit modulus
// held with a spare digit.
inline constexpr int kBigMaxDigits = 140;

// Reads big-endian bytes into n digits; 13 when the value needs the sign bit
// or more digits.
int BigFromOctets(BigDigit* a, int n, const unsigned char* bytes, unsigned int length);
// Writes a as length big-endian bytes, zero-filled on the left; 13 when a is
// negative or does not fit.
int BigToOctets(unsigned char* bytes, unsigned int length, const BigDigit* a, int n);

BigDigit BigAdd(BigDigit* a, const BigDigit* b, const BigDigit* c, int n); // a = b + c, answers the carry
BigDigit BigSub(BigDigit* a, const BigDigit* b, const BigDigit* c, int n); // a = b - c, answers the borrow
void BigNegate(BigDigit* a, const BigDigit* b, int n);
void BigIncrement(BigDigit* a, int n);
void BigDecrement(BigDigit* a, int n);
int BigCompare(const BigDigit* a, const BigDigit* b, int n); // -1, 0, 1; sign first
int BigSign(const BigDigit* a, int n);                       // -1, 0, 1
int BigBits(const BigDigit* a, int n);                       // of a non-negative number
int BigDigits(const BigDigit* a, int n);                     // significant digits
void BigCopy(BigDigit* a, const BigDigit* b, int n);
void BigSetSmall(BigDigit* a, int value, int n);
void BigZero(BigDigit* a, int n);

// a (2n digits) = b * c (n digits each, non-negative).
void BigMultiply(BigDigit* a, const BigDigit* b, const BigDigit* c, int n);
// a (2n digits) = b * b.
void BigSquare(BigDigit* a, const BigDigit* b, int n);
// quotient (un digits, or null) and remainder (vn digits, or null) of u by
// v, both non-negative; a zero v gives zero for both.
void BigDivide(BigDigit* quotient, BigDigit* remainder, const BigDigit* u, int un, const BigDigit* v, int vn);
// a = b mod c: b has bn digits, a and c have cn digits.
void BigMod(BigDigit* a, const BigDigit* b, int bn, const BigDigit* c, int cn);

// Modular arithmetic by Barrett's reduction, the reciprocal of the modulus
// made once.
struct BigModulus {
    BigDigit m[kBigMaxDigits];
    BigDigit reciprocal[kBigMaxDigits];
    int n;      // digit count of the operands
    int digits; // significant digits of m
};
// m (n digits) must be positive.
void BigModulusSet(BigModulus* modulus, const BigDigit* m, int n);
void BigModulusClear(BigModulus* modulus);
void BigModMultiply(BigDigit* a, const BigDigit* b, const BigDigit* c, const BigModulus* modulus);
void BigModSquare(BigDigit* a, const BigDigit* b, const BigModulus* modulus);
// a = b^e mod m; b below m; e has en digits.
void BigModExp(BigDigit* a, const BigDigit* b, const BigDigit* e, int en, const BigModulus* modulus);
