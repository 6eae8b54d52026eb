#pragma once
// The time built-ins and the one time format routine that pages, access-log
// lines, directory indexes and chat pages share.
//
// Times are seconds since 1970-01-01 00:00 UTC, read and written as 64-bit
// numbers so that they go past 2038.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

class CMacroContext;
class CTextBuffer;

// fmtltime and fmtgtime without a format: "3:07 pm 3/5/96".
inline constexpr const char* kDefaultTimeFormat = "h:mm aa m/d/y";

// t-zone asks the system for the zone's name at most this often.
inline constexpr std::uint64_t kTimeZoneRefreshMs = 60000;
// The longest zone name t-zone shows, as the system's own name field holds.
inline constexpr std::size_t kMaxTimeZoneNameBytes = 31;

// Appends time formatted by the format codes: d/D day or day name, m/M month
// or (after an hour) minutes or month name, n minutes, H and h hours, s
// seconds, w weekday from Monday = 0, y year, a/A am or pm, _ line feeds; a
// run of one letter chooses the width ("dd" two digits, "dddd" the long
// name). '\' takes the next byte literally; other bytes are copied.
void FormatTime(CTextBuffer* out, const std::tm& time, std::string_view format);

// The broken-down form of seconds since 1970, in UTC or local time; false
// when the year does not fit the broken-down form.
bool BreakDownTime(std::int64_t seconds, bool utc, std::tm* result);

// Registers time, gmttime, localtime, fmtltime, fmtgtime, t-zone,
// makeltime, makegtime, month, day, wday, year, hour and minute in scope,
// replacing macros of the same names; nothing in a read-only scope.
void RegisterTimeMacros(CMacroContext& global);
