#pragma once
// The small stateless text functions every subsystem uses: case folding,
// tokens and delimited fields, wildcard matching, dotted IPv4 addresses,
// base64 and form (URL) coding. None keeps state; each allocates only its
// result, so any thread or fiber may call them.
//
// The HTML escapes (html_text.h) and the HTTP and log dates (http_date.h)
// are included here so that one header brings every text utility.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// text without its leading blanks and tabs and its trailing blanks, tabs and
// CRs (what is left of a line end read up to its LF).
std::string_view TrimBlanks(std::string_view text);

// The whole text as a decimal number: false for an empty text, any
// character other than a digit (a sign too), or a value over INT64_MAX.
bool ParseDecimal(std::string_view text, std::int64_t* value);

// Copies src to dst folding only 'A'..'Z' to lower case (bytes above 127
// stay as they are), writes the NUL and returns a pointer to it in dst.
// dst must hold strlen(src) + 1 bytes.
char* LowerCaseCopy(char* dst, const char* src);

// The same folding into a new string: macro, list and header names are
// compared in this form.
std::string LowerCaseString(std::string_view text);

// Skips the delimiters at *cursor, stores the following run up to the next
// delimiter (or the end) in out and leaves *cursor at what stopped it.
// Delimiters only give an empty token with *cursor at the end.
void NextToken(std::string& out, const char** cursor, const char* delimiters);

// Field index (0-based) of text, fields being maximal runs of characters
// outside the delimiter set; empty when there is no such field.
std::string GetDelimitedField(std::string_view text, std::string_view delimiters, int index);

// The blank-separated (space or tab) word number index (0-based) of text;
// empty when there is no such word.
std::string_view Word(std::string_view text, int index);

// Calls function(name, value) for each '&'-separated piece of a URL-encoded
// text, still encoded. Leading '=' of a piece are skipped; the name runs to
// the next '='; the value starts after the run of '=' and valueEnds bytes
// that follows and stops at the next of them. An empty piece ends the walk.
template <typename Function> void ForEachFormPiece(std::string_view text, const char* valueEnds, Function&& function)
{
    std::size_t at = 0;
    for (;;) {
        while (at < text.size() && text[at] == '&')
            ++at;
        std::size_t end = text.find('&', at);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view piece = text.substr(at, end - at);
        at = end;
        if (piece.empty())
            return;
        std::size_t nameStart = piece.find_first_not_of('=');
        if (nameStart == std::string_view::npos)
            nameStart = piece.size();
        std::size_t nameEnd = piece.find('=', nameStart);
        if (nameEnd == std::string_view::npos)
            nameEnd = piece.size();
        const std::string skip = std::string("=") + valueEnds;
        std::size_t valueStart = piece.find_first_not_of(skip, nameEnd);
        if (valueStart == std::string_view::npos)
            valueStart = piece.size();
        std::size_t valueEnd = piece.find_first_of(skip, valueStart);
        if (valueEnd == std::string_view::npos)
            valueEnd = piece.size();
        function(piece.substr(nameStart, nameEnd - nameStart), piece.substr(valueStart, valueEnd - valueStart));
    }
}

// True when the whole text matches the whole pattern: '?' matches one
// character, '*' any run (the empty one too); case-sensitive. Runs in
// O(text x pattern) time at worst, whatever the pattern.
bool WildcardMatch(std::string_view text, std::string_view pattern);

// An IPv4 address is held in network byte order: the lowest byte is the
// first octet of the dotted form. Dotted text is at most 15 characters.
inline constexpr std::size_t kIPAddressBufferSize = 16;
// Writes the dotted form and a NUL into buffer (kIPAddressBufferSize bytes);
// returns the characters written without the NUL.
int FormatIPAddressToBuffer(char* buffer, std::uint32_t address);
void FormatIPAddress(std::string& out, std::uint32_t address);

// Sets out to the decoded bytes (any byte value may appear). Characters
// outside the alphabet decode as 32; '=' in the third or fourth place of a
// group adds nothing; a short last group of one or two characters yields
// one byte, of three characters two.
void Base64Decode(std::string& out, std::string_view text);

// Form encoding: space becomes '+', letters and digits stay, every other
// byte becomes '%' and two upper-case hex digits.
void URLEncode(std::string& out, std::string_view text);
// '+', CR and LF become spaces, "%hh" the byte; a '%' without two hex
// digits after it stays as it is.
void URLDecode(std::string& out, std::string_view text);
std::string URLDecodeString(std::string_view text);

// Percent-decodes a URL path ("%20" -> ' '; '+' stays '+'). False for a
// malformed escape, an encoded NUL, '/' or '\' (which would let one segment
// pose as two).
bool DecodeURLPath(std::string& out, std::string_view path);
// Percent-encodes text for a URL path: letters, digits, '-', '.', '_', '~'
// and '/' stay, every other byte becomes '%' and two upper-case hex digits.
void URLEncodePath(std::string& out, std::string_view text);

#include "framework/html_text.h"
#include "framework/http_date.h"
