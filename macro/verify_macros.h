#pragma once
// The verify macros: tests of form input for conditions. Each test prints
// "T" when it holds and nothing otherwise; none reports an error, so a
// missing or malformed value simply fails.
//
//   verify-int (value, [min], [max])    an integer, within the bounds
//   verify-num (value, [min], [max])    a real number, within the bounds
//   verify-money (value, [min], [max])  as verify-int
//   verify-len (text, [min], [max])     its length, within the bounds
//   verify-pict (text, picture)         9 digit, A upper, a lower, _ letter,
//                                       \x the character x, others themselves
//   verify-card (number)                the brand when the check digit is right
//   card-prefix (number, count)         the first count digits as a number
//
// An empty or absent bound does not apply; bounds are inclusive.

#include <cstdint>
#include <string>
#include <string_view>

class CMacroContext;

// The brand of a card number whose check digit is right ("visa", "mc",
// "diners", "amex", "discover", "unknown"); empty otherwise.
std::string CardBrand(std::string_view number);

// The first count digits of number (every digit when count is negative),
// accumulated as a 32-bit number that wraps.
std::int32_t CardPrefix(std::string_view number, long long count);

// Registers verify-int, verify-num, verify-money, verify-len, verify-pict,
// verify-card and card-prefix in global in that order, replacing macros of
// the same names; nothing in a read-only scope.
void RegisterVerifyMacros(CMacroContext& global);
