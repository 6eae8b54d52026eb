#pragma once
// Virtual paths: a name (the first part of a URL) with a directory, an
// access list and CGI mappings of its own. A server's paths (its Paths key)
// have the shared paths (HTTP\Paths) as their parent map.
//
// Registry form: Paths\<name> per path, with the REG_SZ value Location and
// the subkeys ACL (see reg_access_list.h) and CGIExt (see cgi_mapping.h).
// Names fold A-Z to lower case; the map answers exact names only.

#include "config/cgi_mapping.h"
#include "config/reg_access_list.h"
#include "config/registry_map.h"

#include <string>
#include <string_view>

class CVirtualPath {
public:
    CVirtualPath() = default;
    CVirtualPath(const CVirtualPath& other);
    CVirtualPath& operator=(const CVirtualPath& other);

    // Reads paths\name (not created). Empties the path first; false when
    // that key does not open. One trailing '/' or '\' of Location is dropped.
    bool Load(const platform::RegistryKey& paths, std::string_view name);

    std::string Location;
    CRegAccessList ACL;
    CCGIMappingMap CGIExt;
};

class CVirtualPathMap : public CRegistryMap<CVirtualPath> {
public:
    CVirtualPathMap() = default;
    CVirtualPathMap(const CVirtualPathMap& other);
    CVirtualPathMap& operator=(const CVirtualPathMap& other);
    void Assign(const CVirtualPathMap& other) { *this = other; }

    // Rebuilds the map from the subkeys of its key.
    void Load() override;
    // Rewrites parent\name in one transaction: its values and the subkeys
    // of paths not in the map deleted, each path written afresh. The caller
    // touches the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;

    // Copies of other's entries into this map (the caller holds the locks).
    void Merge(const CVirtualPathMap& other, bool replace) { CopyEntries(other, replace); }
    // Empties this map, then copies every entry of other (both locked).
    void CopyFrom(const CVirtualPathMap& other);

    void SetParent(CVirtualPathMap* parent) { SetParentMap(parent); }
    CVirtualPathMap* GetParent() const { return static_cast<CVirtualPathMap*>(GetParentMap()); }
};
