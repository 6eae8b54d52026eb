#pragma once
// The arithmetic macros: integer and real sums, differences, products,
// quotients and remainders, min, max and avg, comparisons, absolute values,
// truncation and rounding, bitwise operations, rand, fmt, and conversion
// between dotted IPv4 addresses and integers.
//
// Numbers are text in and text out. Integers read like atoi but wrap modulo
// 2^32 ("4294967295" reads as -1) and compute in wrapping 32-bit arithmetic;
// reals read the decimal form (sign, digits, fraction, exponent) and print as
// "%g" does. Both are independent of the process's locale.

#include <cstdint>

class CMacroContext;

// A page cannot ask fmt for more decimals than this: a double holds 17
// significant digits, so further places add nothing, and an unbounded count
// would let one reference demand gigabytes of zeros.
inline constexpr int kMaxFmtDecimals = 100;

// Seeds the calling thread's rand state; each thread starts with 1.
void SeedMacroRandom(std::uint32_t seed);

// Registers the twenty-nine arithmetic macros in scope in table order
// (min, max, iadd, add, isub, sub, imult, mult, idiv, div, imod, avg, lt,
// gt, lte, gte, equ, iabs, abs, trunc, round, iand, ior, ixor, inot, rand,
// fmt, iptoint, inttoip), replacing macros of those names; nothing in a
// read-only scope.
void RegisterMathMacros(CMacroContext& global);
