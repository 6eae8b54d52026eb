#pragma once
// Small registry helpers every configuration class uses, over any open key
// of platform/registry.h. They report registry result codes (the Win32
// numbers of registry.h) and never throw.
//
// Values are read whole, however long: a name or text is never cut at a
// buffer size, so no load loses what follows a long entry.

#include "framework/text_util.h"
#include "platform/registry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The value's bytes up to the first NUL, whatever its type. On failure the
// result is returned and out is left as it was.
int RegQueryString(const platform::RegistryKey& key, std::string_view valueName, std::string& out);

// Writes text as REG_SZ with its terminating NUL.
int RegSetString(const platform::RegistryKey& key, std::string_view valueName, std::string_view text);

// Value number index (creation order): its whole name, and its data up to
// the first NUL whatever its type. kErrorNoMoreItems past the end; on any
// failure name and data are left as they were.
int RegEnumValueString(const platform::RegistryKey& key, std::uint32_t index, std::string& name, std::string& data);

// A configuration number: only a REG_DWORD of exactly 4 bytes sets value;
// any other type or size answers kErrorUnsupportedType and keeps value, and
// is said (ReportUnreadableValue): someone stored it meaning something.
int RegQueryDword(const platform::RegistryKey& key, std::string_view valueName, std::uint32_t& value);

// The key's path below the product key, short enough for a log line.
std::string ConfigKeyName(const platform::RegistryKey& key);

// Reports, through the configuration's logger (service_config.h), a value
// of key that is there but cannot be read as what it configures.
void ReportUnreadableValue(const platform::RegistryKey& key, std::string_view valueName);

// A second handle on an open key; a closed key when key is closed or the open fails.
platform::RegistryKey RegDuplicateKey(const platform::RegistryKey& key);

// Deletes every value of key. A value that cannot be deleted is stepped
// over, so the loop always ends. Returns true.
bool RegDeleteAllValues(const platform::RegistryKey& key);

// Deletes parent\subkey with its whole subtree. False when it cannot be
// opened; true otherwise (also when the delete itself failed).
bool RegDeleteKeyTree(const platform::RegistryKey& parent, std::string_view subkey);

// The configuration tree is a few levels deep; a copy stops below this
// depth rather than recurse without bound.
inline constexpr int kMaxRegistryCopyDepth = 32;

// Copies srcParent\srcSubkey with its values (types and data whole, in
// enumeration order) and subkeys into dstParent\dstSubkey, creating it.
// The source is read whole first, so a destination inside the source gets
// one copy of what the source held.
// Values of the destination with other names stay. The copy is one
// transaction. Nothing happens when the source does not open. Returns 0.
int RegCopyKeyTree(const platform::RegistryKey& srcParent, std::string_view srcSubkey,
                   const platform::RegistryKey& dstParent, std::string_view dstSubkey);

// Deletes, with their subtrees, the subkeys of key whose folded names are
// not in kept. The names are gathered first, so deleting one never makes
// the enumeration skip its neighbour.
template <class Map>
void DeleteStaleSubkeys(const platform::RegistryKey& key, const Map& kept)
{
    std::vector<std::string> stale;
    std::string subkey;
    for (std::uint32_t index = 0; key.EnumKey(index, subkey) == platform::kErrorSuccess; ++index) {
        if (!kept.count(LowerCaseString(subkey)))
            stale.push_back(subkey);
    }
    for (const std::string& old : stale)
        RegDeleteKeyTree(key, old);
}
