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

// An ordered list of configurations held by value; the order is the order
// of addition. The element type must be complete where a member is used.
template <class T>
class CConfigList {
public:
    using Elements = std::list<T>;

    CConfigList() = default;
    CConfigList(const CConfigList&) = delete;
    CConfigList& operator=(const CConfigList&) = delete;

    // A new element with every default, at the end.
    T& AddTail() { return m_elements.emplace_back(); }
    // A new element at the end, then a copy of config into it.
    T& AddTail(const T& config)
    {
        T& element = m_elements.emplace_back();
        element = config;
        return element;
    }
    // A copy of config at position (the end when position is past it).
    T& Insert(std::size_t position, const T& config)
    {
        auto at = m_elements.begin();
        for (std::size_t i = 0; i < position && at != m_elements.end(); ++i)
            ++at;
        T& element = *m_elements.emplace(at);
        element = config;
        return element;
    }
    // Where config is in the list; GetCount() when it is not there.
    std::size_t PositionOf(const T* config) const
    {
        std::size_t position = 0;
        for (const T& element : m_elements) {
            if (&element == config)
                break;
            ++position;
        }
        return position;
    }
    // Destroys the element config points to; false when it is not in the list.
    bool Remove(const T* config)
    {
        for (auto at = m_elements.begin(); at != m_elements.end(); ++at) {
            if (&*at == config) {
                m_elements.erase(at);
                return true;
            }
        }
        return false;
    }
    void RemoveAll() { m_elements.clear(); }
    std::size_t GetCount() const { return m_elements.size(); }
    bool IsEmpty() const { return m_elements.empty(); }

    typename Elements::iterator begin() { return m_elements.begin(); }
    typename Elements::iterator end() { return m_elements.end(); }
    typename Elements::const_iterator begin() const { return m_elements.begin(); }
    typename Elements::const_iterator end() const { return m_elements.end(); }

protected:
    Elements m_elements;
};

class CHTTPServerConfigList : public CConfigList<CHTTPServerConfig> {
public:
    CHTTPServerConfigList();
    ~CHTTPServerConfigList();

    // The first configuration whose LogFile equals name in any case.
    CHTTPServerConfig* FindByLogFile(std::string_view name);
    // The first with this Port and Address; failing that, the first on this
    // Port where either address is 0. Null when none.
    CHTTPServerConfig* FindByPortAddress(std::uint32_t port, std::uint32_t address);
    // The first whose registry name <port>:<address> equals name in any case.
    CHTTPServerConfig* FindByKeyName(std::string_view name);
};

class CChatRoomConfigList : public CConfigList<CChatRoomConfig> {
public:
    CChatRoomConfigList();
    ~CChatRoomConfigList();

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
};
