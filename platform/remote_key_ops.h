#pragma once
// What a RegistryKey of another machine does instead of using the local
// hive: each operation one request over its connection. Internal to the
// registry; callers use RegistryKey and RemoteRegistry.

#include "platform/registry.h"

namespace platform {

struct RemoteKeyOps {
    static void Close(RegistryKey& key);
    static int Open(const RegistryKey& key, std::string_view path, RegistryKey& result,
                    RegistryDisposition* disposition, bool create);
    static int SetValue(const RegistryKey& key, std::string_view name, std::uint32_t type, const void* data,
                        std::size_t size);
    static int QueryValue(const RegistryKey& key, std::string_view name, std::uint32_t* type, void* data,
                          std::size_t* size);
    static int QueryValue(const RegistryKey& key, std::string_view name, RegistryValue& value);
    static int EnumValue(const RegistryKey& key, std::uint32_t index, std::string& name, std::uint32_t* type,
                         void* data, std::size_t* size);
    static int EnumValue(const RegistryKey& key, std::uint32_t index, std::string& name, RegistryValue& value);
    static int EnumKey(const RegistryKey& key, std::uint32_t index, std::string& name);
    static int QueryInfo(const RegistryKey& key, std::uint32_t* subkeys, std::uint32_t* values);
    static int QueryPath(const RegistryKey& key, std::string& path);
    // which: 0 a value, 1 a key without subkeys, 2 a tree.
    static int Delete(const RegistryKey& key, int which, std::string_view name);
    // step: 0 begin, 1 commit, 2 roll back.
    static int Transaction(RemoteRegistry& remote, int step);
    // The channel session a far key was opened in (0 for the root).
    static std::uint32_t KeySession(const RegistryKey& key) { return static_cast<std::uint32_t>(key.m_generation); }
};

} // namespace platform
