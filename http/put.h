#pragma once
// The request body's length, as the PUT handler and the keep-alive loop read
// it. HandlePut itself is a CHTTPServer member (http_server.h).
//
// A PUT stores the body in an unnamed file beside the document, flushes it
// to disk and puts it in place of the document (platform::ReplacementFile),
// so the document is always either the old one or the whole new one; a
// client that stops mid-body, or a crash, leaves the old document and no
// temporary file.

#include <cstdint>
#include <string_view>

enum class BodyLength {
    Missing, // no Content-length line, or an empty value
    Invalid, // negative, not a decimal number, or too large to hold
    Valid,
};

// The first Content-length line of a header text (name compared without
// regard to case, blanks around the value ignored).
BodyLength GetContentLength(std::string_view headerText, std::int64_t& length);
