#pragma once
// Dates as HTTP headers and access-log lines write them, and the reader of
// HTTP header dates. All times are UTC.

#include "framework/system_time.h"

#include <cstddef>
#include <string>
#include <string_view>

// Room for either date form whatever the field values; the longest is 42.
inline constexpr std::size_t kDateBufferSize = 64;

// Reads "Sun, 06 Nov 1994 08:49:37 GMT" and "Sunday, 06-Nov-94 08:49:37 GMT".
// Nothing is validated here: the weekday token is skipped (day of week 0), an
// unknown month gives 13 and a number out of the 16-bit range 65535, so a
// caller's conversion (SystemTimeToUnixSeconds) fails on bad text.
SystemTime ParseHTTPDate(std::string_view text);

// "Sun, 06 Nov 1994 08:49:37 GMT" and a NUL into buffer (kDateBufferSize
// bytes); returns the characters without the NUL.
int FormatRFC1123Date(char* buffer, const SystemTime& time);
void FormatRFC1123DateString(std::string& out, const SystemTime& time);

// "06/Nov/1994:08:49:37 +0000" into buffer (kDateBufferSize bytes); no NUL
// is written. Returns the characters written.
int FormatLogDate(char* buffer, const SystemTime& time);
void FormatLogDateString(std::string& out, const SystemTime& time);
