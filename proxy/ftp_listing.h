#pragma once
// The lines of an FTP server's LIST reply, turned into the lines of the
// proxy's HTML directory page. Both MS-DOS ("01-05-97 10:30AM <DIR> docs")
// and Unix ("drwxr-xr-x 2 user group 512 Jan 5 12:00 docs") layouts are
// read; any other line names a file by its first word.
//
// Whatever the server sends is shown as text only: names, sizes and dates
// are HTML-escaped, and a name goes into its link percent-encoded.

#include "framework/text_buffer.h"

#include <string>
#include <string_view>

struct CFTPListEntry {
    std::string name; // without the '/' of a directory
    std::string size;
    std::string date;
    std::string time;
    bool directory = false;
};

// Two digits, '-', two digits, '-', two digits at the start of text.
bool IsDashedDate(std::string_view text);

// Reads one listing line (its line end may still be on it). False for a
// line that lists nothing: empty, ".", ".." or a name that could not be
// followed as a link (one holding '/', or a NUL).
bool ParseFTPListLine(std::string_view line, CFTPListEntry& entry);

// The extension that chooses a file's MIME type: the text after the last
// '.', lower-cased; "*" when there is none.
std::string FTPExtension(std::string_view name);

// Appends the page line of one entry: the icon (when not empty), the link
// with the name padded to 31 columns, the size, date, time and type.
void AppendFTPListEntry(CTextBuffer& out, const CFTPListEntry& entry, std::string_view type,
                        std::string_view icon);

// The head of a directory page, with the link to the parent directory.
void AppendFTPListHead(CTextBuffer& out, std::string_view directory);
// The end of a directory page.
void AppendFTPListTail(CTextBuffer& out);
