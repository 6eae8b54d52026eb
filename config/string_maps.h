#pragma once
// The plain text-to-text HTTP lists, each the REG_SZ values of one key:
// MIME types by file extension (Mappings), icons by name (Icons) and
// redirections from one URL to another (Redirections). A server's map has
// the global one as its parent.
//
// Key texts fold A-Z to lower case; value texts are kept as stored. Names
// and texts are read whole, so a long value neither is cut nor ends the
// load early.

#include "config/registry_map.h"

#include <string>
#include <string_view>

class CRegStringMap : public CRegistryMap<std::string> {
public:
    CRegStringMap() = default;
    CRegStringMap(const CRegStringMap& other);
    CRegStringMap& operator=(const CRegStringMap& other);

    // Rebuilds the map from the values of its key (empty without a key).
    void Load() override;
    // Rewrites parent\name in one transaction: every value deleted, one
    // REG_SZ per entry. The caller touches the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;
};

// A string map whose parent is a map of the same class.
template <class Self>
class CRegStringMapOf : public CRegStringMap {
public:
    void Assign(const Self& other) { CRegStringMap::operator=(other); }
    void SetParent(Self* parent) { SetParentMap(parent); }
    Self* GetParent() const { return static_cast<Self*>(GetParentMap()); }
};

class CMIMETypeMap : public CRegStringMapOf<CMIMETypeMap> {};
class CIconMap : public CRegStringMapOf<CIconMap> {};
class CRedirectionMap : public CRegStringMapOf<CRedirectionMap> {};
