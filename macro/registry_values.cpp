#include "macro/registry_values.h"

#include "platform/ascii.h"

#include <vector>

std::string LowerName(std::string_view name)
{
    std::string lower(name);
    for (char& c : lower)
        c = platform::LowerAscii(c);
    return lower;
}

bool LoadRegistryValues(std::string_view path, const std::function<void(std::string, platform::RegistryValue&)>& take)
{
    platform::RegistrySnapshot snapshot;
    platform::RegistryKey key;
    if (platform::RegistryKey::LocalMachine().Open(path, key) != platform::kErrorSuccess)
        return false;
    for (std::uint32_t index = 0;; ++index) {
        std::string name;
        platform::RegistryValue value;
        int result = key.EnumValue(index, name, value);
        if (result == platform::kErrorNoMoreItems)
            break;
        if (result != platform::kErrorSuccess)
            continue; // an unreadable value does not hide the ones after it
        take(LowerName(name), value);
    }
    return true;
}

bool SaveRegistryValues(std::string_view path, const std::function<bool(const std::string&)>& keep,
                        const std::function<bool(const platform::RegistryKey&)>& write)
{
    platform::RegistryTransaction transaction;
    if (transaction.Status() != platform::kErrorSuccess)
        return false;
    platform::RegistryKey key;
    if (platform::RegistryKey::LocalMachine().Create(path, key) != platform::kErrorSuccess)
        return false;
    std::vector<std::string> stale;
    for (std::uint32_t index = 0;; ++index) {
        std::string name;
        std::size_t size = 0;
        int result = key.EnumValue(index, name, nullptr, nullptr, &size);
        if (result == platform::kErrorNoMoreItems)
            break;
        if (result != platform::kErrorSuccess && result != platform::kErrorMoreData)
            return false;
        if (!keep(LowerName(name)))
            stale.push_back(name);
    }
    for (const std::string& name : stale)
        if (key.DeleteValue(name) != platform::kErrorSuccess)
            return false;
    if (!write(key))
        return false;
    return transaction.Commit() == platform::kErrorSuccess;
}
