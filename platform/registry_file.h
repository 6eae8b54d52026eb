#pragma once
// The REGEDIT4 text form of a part of the registry, for people and tests:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Tessaline\Velmora]
//   "Name"="text with \\ and \" escaped"
//   @="the default value"
//   "Count"=dword:0000001e
//   "Blob"=hex:01,02,03
//   "Path"=hex(2):25,00            REG_EXPAND_SZ bytes, NUL included
//   "List"=hex(7):61,00,00         REG_MULTI_SZ bytes
//   "Other"=hex(b):...             any other type, the number in hex
//
// Keys come depth first, subkeys in case-insensitive name order, values in
// creation order, a blank line after each key; lines are LF-ended and long
// hex data is wrapped with a trailing backslash. A REG_SZ that is not one
// NUL-terminated line of text is written as hex(1) so that nothing changes on
// the way back in. Import also takes "[-HKEY_...\Key]" (delete the key and
// its subtree), "name"=- (delete the value), CR LF line ends and ';' comment
// lines, and runs in one transaction: any error rolls all of it back.

#include "platform/registry.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Hex data lines are wrapped before they pass this many columns (the
// continuation backslash included), so exports stay readable in a terminal.
inline constexpr std::size_t kRegistryTextLineWidth = 80;

struct RegistryTextResult {
    int code = kErrorSuccess;
    std::size_t line = 0;  // the import line at fault; 0 when no line is
    std::string message;   // for people; empty on success

    bool Ok() const { return code == kErrorSuccess; }
};

// The text of key and everything below it, read from one committed state.
// A name with a line break cannot be written and fails the export.
RegistryTextResult ExportRegistryText(const RegistryKey& key, std::string& text);

// Applies a REGEDIT4 text, all of it or (on an error) none of it.
RegistryTextResult ImportRegistryText(std::string_view text);

} // namespace platform
