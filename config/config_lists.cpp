#include "config/config_lists.h"

#include "config/chat_config.h"
#include "config/http_server_config.h"
#include "platform/ascii.h"

#include <algorithm>
#include <set>

namespace {

// Ports are 16-bit; a room list never suggests one past the last.
constexpr std::uint32_t kLastPort = 65535;
constexpr std::uint32_t kFirstChatPort = 8000;

template <class Elements, class Predicate>
typename Elements::value_type* FindFirst(Elements& elements, Predicate matches)
{
    for (auto& element : elements)
        if (matches(element))
            return &element;
    return nullptr;
}

template <class Elements>
bool RemoveElement(Elements& elements, const typename Elements::value_type* config)
{
    for (auto at = elements.begin(); at != elements.end(); ++at) {
        if (&*at == config) {
            elements.erase(at);
            return true;
        }
    }
    return false;
}

// The exact pair first; then a wildcard on either side of the same port,
// which Linux will not bind beside a specific address.
template <class Elements, class Eligible>
typename Elements::value_type* FindPortAddress(Elements& elements, std::uint32_t port, std::uint32_t address,
                                               Eligible eligible)
{
    auto exact = FindFirst(elements, [&](const auto& c) {
        auto s = c.GetSettings();
        return eligible(*s) && s->port == port && s->address == address;
    });
    if (exact)
        return exact;
    return FindFirst(elements, [&](const auto& c) {
        auto s = c.GetSettings();
        return eligible(*s) && s->port == port && (s->address == 0 || address == 0);
    });
}

} // namespace

CHTTPServerConfigList::CHTTPServerConfigList() = default;
CHTTPServerConfigList::~CHTTPServerConfigList() = default;

CHTTPServerConfig& CHTTPServerConfigList::AddTail()
{
    return m_elements.emplace_back();
}

CHTTPServerConfig& CHTTPServerConfigList::AddTail(const CHTTPServerConfig& config)
{
    CHTTPServerConfig& element = m_elements.emplace_back();
    element = config;
    return element;
}

bool CHTTPServerConfigList::Remove(const CHTTPServerConfig* config)
{
    return RemoveElement(m_elements, config);
}

void CHTTPServerConfigList::RemoveAll()
{
    m_elements.clear();
}

std::size_t CHTTPServerConfigList::GetCount() const
{
    return m_elements.size();
}

bool CHTTPServerConfigList::IsEmpty() const
{
    return m_elements.empty();
}

CHTTPServerConfigList::Elements::iterator CHTTPServerConfigList::begin()
{
    return m_elements.begin();
}

CHTTPServerConfigList::Elements::iterator CHTTPServerConfigList::end()
{
    return m_elements.end();
}

CHTTPServerConfigList::Elements::const_iterator CHTTPServerConfigList::begin() const
{
    return m_elements.begin();
}

CHTTPServerConfigList::Elements::const_iterator CHTTPServerConfigList::end() const
{
    return m_elements.end();
}

CHTTPServerConfig* CHTTPServerConfigList::FindByLogFile(std::string_view name)
{
    return FindFirst(m_elements, [&](const CHTTPServerConfig& c) { return platform::EqualsIgnoringCase(c.GetSettings()->logFile, name); });
}

CHTTPServerConfig* CHTTPServerConfigList::FindByPortAddress(std::uint32_t port, std::uint32_t address)
{
    return FindPortAddress(m_elements, port, address, [](const CServiceSettings&) { return true; });
}

CHTTPServerConfig* CHTTPServerConfigList::FindByKeyName(std::string_view name)
{
    return FindFirst(m_elements, [&](const CHTTPServerConfig& c) { return platform::EqualsIgnoringCase(c.GetKeyName(), name); });
}

CChatRoomConfigList::CChatRoomConfigList() = default;
CChatRoomConfigList::~CChatRoomConfigList() = default;

CChatRoomConfig& CChatRoomConfigList::AddTail()
{
    return m_elements.emplace_back();
}

CChatRoomConfig& CChatRoomConfigList::AddTail(const CChatRoomConfig& config)
{
    CChatRoomConfig& element = m_elements.emplace_back();
    element = config;
    return element;
}

bool CChatRoomConfigList::Remove(const CChatRoomConfig* config)
{
    return RemoveElement(m_elements, config);
}

void CChatRoomConfigList::RemoveAll()
{
    m_elements.clear();
}

std::size_t CChatRoomConfigList::GetCount() const
{
    return m_elements.size();
}

bool CChatRoomConfigList::IsEmpty() const
{
    return m_elements.empty();
}

CChatRoomConfigList::Elements::iterator CChatRoomConfigList::begin()
{
    return m_elements.begin();
}

CChatRoomConfigList::Elements::iterator CChatRoomConfigList::end()
{
    return m_elements.end();
}

CChatRoomConfigList::Elements::const_iterator CChatRoomConfigList::begin() const
{
    return m_elements.begin();
}

CChatRoomConfigList::Elements::const_iterator CChatRoomConfigList::end() const
{
    return m_elements.end();
}

CChatRoomConfig* CChatRoomConfigList::FindByName(std::string_view name)
{
    return FindFirst(m_elements, [&](const CChatRoomConfig& c) { return platform::EqualsIgnoringCase(c.GetRoomSettings()->name, name); });
}

CChatRoomConfig* CChatRoomConfigList::FindByLogFile(std::string_view name)
{
    return FindFirst(m_elements, [&](const CChatRoomConfig& c) { return platform::EqualsIgnoringCase(c.GetSettings()->logFile, name); });
}

CChatRoomConfig* CChatRoomConfigList::FindByPortAddress(std::uint32_t port, std::uint32_t address)
{
    return FindPortAddress(m_elements, port, address, [](const CServiceSettings& s) { return s.enabled != 0; });
}

std::uint32_t CChatRoomConfigList::NextFreePort() const
{
    std::set<std::uint32_t> used;
    for (const CChatRoomConfig& room : m_elements)
        used.insert(room.GetSettings()->port);
    std::uint32_t highest = used.empty() ? 0 : *used.rbegin();
    if (highest < kFirstChatPort)
        return kFirstChatPort;
    if (highest < kLastPort)
        return highest + 1;
    for (std::uint32_t port = kFirstChatPort; port <= kLastPort; ++port)
        if (!used.count(port))
            return port;
    return 0;
}
