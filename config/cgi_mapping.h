#pragma once
// CGI mappings: how a document is run by its file extension. One set is
// shared by all HTTP servers (HTTP\CGIExt), one belongs to each server and
// one to each virtual path; a server's own set has the global one as its
// parent.
//
// Registry form under a key K: one subkey K\<extension> per mapping with
// CommandLine and WorkingDir (REG_SZ) and ExecCGI and CGIProtocol
// (REG_DWORD). An older subkey may carry a DWORD WinCGI instead, which then
// decides the protocol; a save writes CGIProtocol and drops WinCGI.
//
// Extensions fold A-Z to lower case. A reload rebuilds the map from its
// key, so an extension whose subkey has gone stops running; a map without a
// key keeps what it holds.

#include "config/registry_helpers.h"
#include "config/registry_map.h"
#include "framework/text_util.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint32_t kCGIProtocolCGI = 0;
inline constexpr std::uint32_t kCGIProtocolWinCGI = 1;
inline constexpr std::uint32_t kCGIProtocolISAPI = 2;

class CCGIMapping {
public:
    // Reads cgiExt\extension (not created). False, with the defaults, when
    // that key does not open.
    bool Load(const platform::RegistryKey& cgiExt, std::string_view extension);
    // Writes the four values into key after deleting all of its values.
    void Save(const platform::RegistryKey& key) const;

    std::string CommandLine;
    std::string WorkingDir;
    // Any number but WinCGI and ISAPI is run as CGI.
    std::uint32_t CGIProtocol = kCGIProtocolCGI;
    // 0: a request that is not a POST and has no query is served as a document.
    std::uint32_t ExecCGI = 1;
};

class CCGIMappingMap : public CRegistryMap<CCGIMapping> {
public:
    CCGIMappingMap() = default;
    CCGIMappingMap(const CCGIMappingMap& other);
    CCGIMappingMap& operator=(const CCGIMappingMap& other);
    void Assign(const CCGIMappingMap& other) { *this = other; }

    // Rebuilds the map from the subkeys of the held key (unchanged without a key).
    void Load() override;
    // Rewrites parent\name in one transaction: its values and the subkeys
    // of extensions not in the map deleted, one subkey per mapping. The
    // caller touches the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;
    // The writer behind Save; joins a transaction the caller holds.
    static bool WriteTable(const platform::RegistryKey& parent, std::string_view name, const Entries& mappings);

    void SetParent(CCGIMappingMap* parent) { SetParentMap(parent); }
    CCGIMappingMap* GetParent() const { return static_cast<CCGIMappingMap*>(GetParentMap()); }

    // A copy of the entries, under the lock, without a refresh.
    Entries CopyOfEntries() const;
};

