#pragma once
// CRegAccessList: an access list kept in a registry key (a server's or a
// virtual path's ACL key): one REG_SZ value per line, named by its index in
// decimal, taken in the order the registry enumerates them. Shared by all
// threads of a server: it refreshes itself under its lock when the change
// stamp reports a change, and evaluates a copy of its lines outside the
// lock, so neither a group macro nor a slow host-name look-up holds it.
//
// A value that cannot be read makes the list refuse from that line on (see
// access_list.h). A list without a key, or whose key was deleted, keeps its
// lines at a change.

#include "config/access_list.h"
#include "framework/share_lock.h"
#include "framework/thread_data.h"
#include "platform/registry.h"

#include <cstdint>
#include <string_view>

class CRegAccessList : public CAccessList {
public:
    CRegAccessList() : m_heap(GetThreadHeap()) {}
    CRegAccessList(const CRegAccessList& other);
    CRegAccessList& operator=(const CRegAccessList& other);

    // Creates or opens parent\name, keeps it and reads the lines. False and
    // the list unchanged when the key cannot be had.
    bool Load(const platform::RegistryKey& parent, std::string_view name);
    // Rewrites parent\name in one transaction: values deleted, line i
    // written as value "i". The kept key is not changed; the caller touches
    // the change stamp.
    bool Save(const platform::RegistryKey& parent, std::string_view name) const;

    // Copies the lines, a second handle on the other's key, its load tick;
    // this thread's heap becomes the list's.
    void CopyFrom(const CRegAccessList& other);

    // Refreshes, then checks: 1 allow, 0 reject, -1 no line decided.
    int CheckFresh(std::string_view access, std::string_view user, std::string_view clientAddress,
                   CGroupMap* groups, CMacroScope* scope);
    // Refreshes, then checks, -1 meaning allowed only for a list without lines.
    bool IsAllowed(std::string_view access, std::string_view user, std::string_view clientAddress,
                   CGroupMap* groups, CMacroScope* scope);

    std::uint64_t GetLoadTick() const { return m_loadTick; }

private:
    // Under the lock, with the list's heap switched in.
    void ReadLines();
    // The lines after a refresh, copied under the lock.
    void FreshCopy(std::vector<std::string>& lines, std::size_t& unreadableAt);

    platform::RegistryKey m_key;
    // Requests share it to copy the lines; refreshes and edits hold it alone.
    mutable CShareLock m_lock;
    std::uint64_t m_loadTick = 0;
    platform::Heap* m_heap;
};
