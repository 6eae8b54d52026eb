#pragma once
// What a user or group name may not hold. Access lines split their fields
// on ',' and blanks, and Basic credentials split on ':', so a name holding
// one of them could be stored yet never be matched: a Reject line written
// for it would silently never apply.

#include <string_view>

inline constexpr std::string_view kReservedNameCharacters = ": \r\n\t,";

inline bool IsValidAccountName(std::string_view name)
{
    return name.find_first_of(kReservedNameCharacters) == std::string_view::npos;
}
