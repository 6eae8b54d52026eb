#pragma once
// The program's string table: every default text (pages, log lines, status
// reason phrases, descriptions) under its numeric id, and the tables of
// named strings built from it. The entries come from strings.tsv and
// tables.tsv in this folder, turned into C++ at build time.

#include <cstdint>
#include <string>

// One named string's default: the entries firstId .. firstId + count - 1
// joined without separators. A table ends with a row whose name is null.
struct DefaultStringRow {
    const char* name; // lower case
    std::uint32_t firstId;
    std::uint32_t count;
    std::uint32_t descriptionId; // for the configuration pages; loading ignores it
};

// An entry is read into a 255-byte buffer with its NUL, so one entry gives at
// most 254 bytes; the generator refuses longer entries.
inline constexpr std::size_t kStringEntryBufferSize = 255;
inline constexpr std::size_t kMaxStringEntryLength = kStringEntryBufferSize - 1;

// The entry's text, or null when the table has no such id.
const char* LoadStringById(unsigned id);

// The row's default text; an id that does not exist adds an empty piece.
std::string LoadDefaultText(const DefaultStringRow& row);

// The HTTP servers' shared Strings list, the proxy's, the chat rooms', and
// what engine start adds to the global scope (the copyright notice).
extern const DefaultStringRow kHttpDefaultStrings[];
extern const DefaultStringRow kProxyDefaultStrings[];
extern const DefaultStringRow kChatDefaultStrings[];
extern const DefaultStringRow kGlobalDefaultStrings[];
