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
//
// Key and value names hold no control character but the tab: a line break
// would split its line, and an escape would reach the terminal of whoever
// reads the text. Import refuses to write such a name; export leaves it out
// (a key with its subtree) and names it among the omitted.

#include "platform/registry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Hex data lines are wrapped before they pass this many columns (the
// continuation backslash included), so exports stay readable in a terminal.
inline constexpr std::size_t kRegistryTextLineWidth = 80;

// One key line or value line an import applied, for callers that look at
// the names written (a key line alone has no value name).
struct RegistryTextWrite {
    std::string key; // the path as the text gives it, root included
    std::optional<std::string> value;
    std::optional<std::uint32_t> number; // a dword's
};

struct RegistryTextResult {
    int code = kErrorSuccess;
    std::size_t line = 0;  // the import line at fault; 0 when no line is
    std::string message;   // for people; empty on success
    // Export only: what was left out, each named for people (see
    // ShownRegistryName); the rest of the text is whole.
    std::vector<std::string> omitted;
    // Import only: what was written, in the text's order.
    std::vector<RegistryTextWrite> written;

    bool Ok() const { return code == kErrorSuccess; }
};

// Whether a key or value name can go through the text form (see above).
bool IsRegistryTextName(std::string_view name);
// name with every control character (the tab included) and DEL written as
// \xHH, so that showing it cannot steer a terminal.
std::string ShownRegistryName(std::string_view name);

// The text of key and everything below it, read from one committed state.
// A name the text cannot hold is left out and listed in omitted; only a
// failure to read the hive, or key's own name, fails the export.
RegistryTextResult ExportRegistryText(const RegistryKey& key, std::string& text);

// Applies a REGEDIT4 text, all of it or (on an error) none of it.
RegistryTextResult ImportRegistryText(std::string_view text);

} // namespace platform
