#pragma once
// The ordered lists of server configurations that the global HTTP and chat
// configurations hold, by value, in the order of addition (the registry's
// enumeration order after a load). A new element starts with every default;
// the caller then copies a configuration into it. Destroying a list, or
// RemoveAll, destroys each element: its own part first, then its
// CServiceConfig virtual base.
//
// The look-ups serve the configuration pages, which keep log files and
// listening sockets unique. Linux refuses to bind a wildcard address and a
// specific address on one port, so FindByPortAddress reports, after an
// exact match, a configuration on the same port where either address is 0
// (all addresses) as a conflict too, and the pages refuse that pair as they
// refuse a duplicate (string 2051). Two different specific addresses on one
// port do not conflict.
//
// A list belongs to one thread (the loader, or the pages editing a working
// copy); it has no lock of its own.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string_view>

class CHTTPServerConfig;
class CChatRoomConfig;

class CHTTPServerConfigList {
public:
    using Elements = std::list<CHTTPServerConfig>;

    CHTTPServerConfigList();
    ~CHTTPServerConfigList();
    CHTTPServerConfigList(const CHTTPServerConfigList&) = delete;
    CHTTPServerConfigList& operator=(const CHTTPServerConfigList&) = delete;

    // A new element with every default, at the end.
    CHTTPServerConfig& AddTail();
    // A new element at the end, then a copy of config into it.
    CHTTPServerConfig& AddTail(const CHTTPServerConfig& config);
    // Destroys the element config points to; false when it is not in the list.
    bool Remove(const CHTTPServerConfig* config);
    void RemoveAll();
    std::size_t GetCount() const;
    bool IsEmpty() const;

    Elements::iterator begin();
    Elements::iterator end();
    Elements::const_iterator begin() const;
    Elements::const_iterator end() const;

    // The first configuration whose LogFile equals name in any case.
    CHTTPServerConfig* FindByLogFile(std::string_view name);
    // The first with this Port and Address; failing that, the first on this
    // Port where either address is 0. Null when none.
    CHTTPServerConfig* FindByPortAddress(std::uint32_t port, std::uint32_t address);
    // The first whose registry name <port>:<address> equals name in any case.
    CHTTPServerConfig* FindByKeyName(std::string_view name);

private:
    Elements m_elements;
};

class CChatRoomConfigList {
public:
    using Elements = std::list<CChatRoomConfig>;

    CChatRoomConfigList();
    ~CChatRoomConfigList();
    CChatRoomConfigList(const CChatRoomConfigList&) = delete;
    CChatRoomConfigList& operator=(const CChatRoomConfigList&) = delete;

    CChatRoomConfig& AddTail();
    CChatRoomConfig& AddTail(const CChatRoomConfig& config);
    bool Remove(const CChatRoomConfig* config);
    void RemoveAll();
    std::size_t GetCount() const;
    bool IsEmpty() const;

    Elements::iterator begin();
    Elements::iterator end();
    Elements::const_iterator begin() const;
    Elements::const_iterator end() const;

    // The first room whose Name equals name in any case.
    CChatRoomConfig* FindByName(std::string_view name);
    // The first room whose LogFile equals name in any case.
    CChatRoomConfig* FindByLogFile(std::string_view name);
    // As the HTTP list's, among the enabled rooms only.
    CChatRoomConfig* FindByPortAddress(std::uint32_t port, std::uint32_t address);
    // The port for a new room: one above the highest port of the list when
    // that is 8000 or more, else 8000. When the highest is the last port
    // there is, the lowest port from 8000 up that no room uses; 0 when
    // every one is taken.
    std::uint32_t NextFreePort() const;

private:
    Elements m_elements;
};
