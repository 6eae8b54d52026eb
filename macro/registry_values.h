#pragma once
// Loading and saving a flat key of named values (the counters, the
// persistent values): a load reads every value whole, whatever the length of
// its name or data, and a save rewrites the key as one hive transaction.

#include "platform/registry.h"

#include <functional>
#include <string>
#include <string_view>

// Calls take(lower-cased name, value) for every value of the key path under
// HKEY_LOCAL_MACHINE. False when the key cannot be opened.
bool LoadRegistryValues(std::string_view path, const std::function<void(std::string, platform::RegistryValue&)>& take);

// Creates or opens the key, deletes every value whose lower-cased name keep
// refuses (all names are collected before the first delete, so none is
// skipped), then lets write store the table's values; all in one
// transaction. False, with nothing changed, when any step failed.
bool SaveRegistryValues(std::string_view path, const std::function<bool(const std::string&)>& keep,
                        const std::function<bool(const platform::RegistryKey&)>& write);

std::string LowerName(std::string_view name);
