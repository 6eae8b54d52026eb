#pragma once
// The small text tests the HTTP server's parsers share: names compared
// without regard to ASCII case, blanks trimmed from a header value, and a
// number that must be decimal digits and nothing else (the last two live in
// framework/text_util.h, since the proxy reads the same header values).

#include "framework/text_util.h"
#include "platform/ascii.h"

using platform::EqualsIgnoringCase;
