#pragma once
// The small text tests the HTTP server's parsers share: names compared
// without regard to ASCII case, blanks trimmed from a header value, and a
// number that must be decimal digits and nothing else.

#include "platform/ascii.h"

#include <cstdint>
#include <string_view>

using platform::EqualsIgnoringCase;

// text without its leading blanks and tabs and its trailing blanks, tabs and
// CRs (what is left of a line end read up to its LF).
std::string_view TrimBlanks(std::string_view text);

// The whole text as a decimal number: false for an empty text, any
// character other than a digit (a sign too), or a value over INT64_MAX.
bool ParseDecimal(std::string_view text, std::int64_t* value);
