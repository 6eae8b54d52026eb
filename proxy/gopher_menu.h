#pragma once
// Gopher URLs and menus: the item type and selector a URL path names, the
// built-in MIME types and icons of item types, and the HTML line of one
// menu line. What a gopher server sends is shown as text only: display
// text, host, port and selector are HTML-escaped, and the selector goes into
// its link percent-encoded so that it comes back unchanged.

#include "framework/text_buffer.h"

#include <string>
#include <string_view>

// The item type and the selector of a URL path: after one leading '/', the
// type character ('1' when the path ends there), then the selector, in
// which '+' is a blank and '?' a TAB (both dropped at its first position)
// and "%hh" a byte. False for a path whose selector would hold CR, LF or
// NUL, which no gopher server may be sent.
bool DecodeGopherPath(std::string_view path, char& type, std::string& selector);

// The built-in MIME type of an item type; false (and "text/plain") for one
// without.
bool BuiltinGopherMIME(char type, std::string& mime);

// The built-in icon name of an item type; empty for one without.
std::string_view BuiltinGopherIcon(char type);

struct CGopherMenuLine {
    char type = 0;
    std::string display;
    std::string selector;
    std::string host;
    std::string port;
    bool info = false; // a '-' or '3' line: text only
};

// Reads one menu line (its line end may still be on it). False for a line
// that shows nothing (empty, or beginning with '.').
bool ParseGopherMenuLine(std::string_view line, CGopherMenuLine& entry);

// Appends the page line of a menu entry; icon may be empty.
void AppendGopherMenuLine(CTextBuffer& out, const CGopherMenuLine& entry, std::string_view icon);
