#include "config/registry_helpers.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

std::string TextOf(const platform::RegistryValue& value)
{
    const char* bytes = reinterpret_cast<const char*>(value.data.data());
    const void* nul = std::memchr(bytes, 0, value.data.size());
    std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes) : value.data.size();
    return std::string(bytes, length);
}

// A key's values and subkeys as read, so that the copy is written from what
// the source held before the copy began (the destination may lie inside it).
struct KeyImage {
    std::string name; // empty for the image's root
    std::vector<std::pair<std::string, platform::RegistryValue>> values;
    std::vector<KeyImage> subkeys;
};

void ReadImage(const platform::RegistryKey& source, KeyImage& image, int depth)
{
    std::string name;
    platform::RegistryValue value;
    for (std::uint32_t index = 0; source.EnumValue(index, name, value) == platform::kErrorSuccess; ++index)
        image.values.emplace_back(name, value);
    if (depth >= kMaxRegistryCopyDepth)
        return;
    for (std::uint32_t index = 0; source.EnumKey(index, name) == platform::kErrorSuccess; ++index) {
        platform::RegistryKey subkey;
        if (source.Open(name, subkey) != platform::kErrorSuccess)
            continue;
        image.subkeys.push_back(KeyImage{name, {}, {}});
        ReadImage(subkey, image.subkeys.back(), depth + 1);
    }
}

void WriteImage(const platform::RegistryKey& destination, const KeyImage& image)
{
    for (const auto& [name, value] : image.values)
        destination.SetValue(name, value.type, value.data.data(), value.data.size());
    for (const KeyImage& child : image.subkeys) {
        platform::RegistryKey subkey;
        if (destination.Create(child.name, subkey) == platform::kErrorSuccess)
            WriteImage(subkey, child);
    }
}

} // namespace

int RegQueryString(const platform::RegistryKey& key, std::string_view valueName, std::string& out)
{
    platform::RegistryValue value;
    int result = key.QueryValue(valueName, value);
    if (result == platform::kErrorSuccess)
        out = TextOf(value);
    return result;
}

int RegSetString(const platform::RegistryKey& key, std::string_view valueName, std::string_view text)
{
    return key.SetString(valueName, text, platform::kRegSz);
}

int RegEnumValueString(const platform::RegistryKey& key, std::uint32_t index, std::string& name, std::string& data)
{
    std::string valueName;
    platform::RegistryValue value;
    int result = key.EnumValue(index, valueName, value);
    if (result == platform::kErrorSuccess) {
        name = std::move(valueName);
        data = TextOf(value);
    }
    return result;
}

int RegQueryDword(const platform::RegistryKey& key, std::string_view valueName, std::uint32_t& value)
{
    platform::RegistryValue stored;
    int result = key.QueryValue(valueName, stored);
    if (result != platform::kErrorSuccess)
        return result;
    if (stored.type != platform::kRegDword || stored.data.size() != sizeof value) {
        ReportUnreadableValue(key, valueName);
        return platform::kErrorUnsupportedType;
    }
    std::memcpy(&value, stored.data.data(), sizeof value);
    return platform::kErrorSuccess;
}

platform::RegistryKey RegDuplicateKey(const platform::RegistryKey& key)
{
    platform::RegistryKey copy;
    if (key.IsOpen())
        key.Duplicate(copy);
    return copy;
}

bool RegDeleteAllValues(const platform::RegistryKey& key)
{
    std::uint32_t count = 0;
    if (key.QueryInfo(nullptr, &count) != platform::kErrorSuccess)
        return true;
    platform::RegistryTransaction transaction;
    // Index 0 until it holds a value that stays; each pass deletes one value
    // or steps past one, so at most count passes are made.
    std::uint32_t index = 0;
    std::string name;
    platform::RegistryValue value;
    for (std::uint32_t pass = 0; pass < count; ++pass) {
        if (key.EnumValue(index, name, value) != platform::kErrorSuccess)
            break;
        if (key.DeleteValue(name) != platform::kErrorSuccess)
            ++index;
    }
    transaction.Commit();
    return true;
}

bool RegDeleteKeyTree(const platform::RegistryKey& parent, std::string_view subkey)
{
    platform::RegistryKey key;
    if (parent.Open(subkey, key) != platform::kErrorSuccess)
        return false;
    key.Close();
    parent.DeleteTree(subkey);
    return true;
}

int RegCopyKeyTree(const platform::RegistryKey& srcParent, std::string_view srcSubkey,
                   const platform::RegistryKey& dstParent, std::string_view dstSubkey)
{
    platform::RegistryKey source;
    if (srcParent.Open(srcSubkey, source) != platform::kErrorSuccess)
        return 0;
    platform::RegistryTransaction transaction;
    KeyImage image;
    ReadImage(source, image, 0);
    platform::RegistryKey destination;
    if (dstParent.Create(dstSubkey, destination) != platform::kErrorSuccess)
        return 0;
    WriteImage(destination, image);
    transaction.Commit();
    return 0;
}
