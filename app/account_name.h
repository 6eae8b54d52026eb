#pragma once
// What a user or group name may not hold. Access lines split their fields
// on ',' and blanks, and a password file on ':', so a name holding one of
// them could be stored but never named by an access line: a Reject line for
// it would silently never apply.

#include <QString>

#include <string_view>

inline constexpr std::string_view kReservedNameCharacters = ": \r\n\t,";

inline bool IsValidAccountName(std::string_view name)
{
    return name.find_first_of(kReservedNameCharacters) == std::string_view::npos;
}

// Exact membership of name in a list of names, letter case ignored (names
// are stored folded); a prefix is no match.
inline bool SameAccountName(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }
