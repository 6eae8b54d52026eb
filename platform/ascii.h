#pragma once
// Byte-level character helpers shared by every parser. They look only at
// ASCII, whatever the locale, because the names and formats they serve do.

#include <cstddef>
#include <string_view>

namespace platform {

// 'A'..'Z' become 'a'..'z'; every other byte stays.
constexpr char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b differ at most in the case of 'A'..'Z'.
constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

// The value of one hexadecimal digit in either case, or -1.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace platform
