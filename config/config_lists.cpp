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

CHTTPServerConfig* CHTTPServerConfigList::FindByLogFile(std::string_view name)
{
    return FindFirst(m_elements, [&](const CHTTPServerConfig& c) {
        return platform::EqualsIgnoringCase(c.GetSettings()->logFile, name);
    });
}

CHTTPServerConfig* CHTTPServerConfigList::FindByPortAddress(std::uint32_t port, std::uint32_t address)
{
    return FindPortAddress(m_elements, port, address, [](const CServiceSettings&) { return true; });
}

CHTTPServerConfig* CHTTPServerConfigList::FindByKeyName(std::string_view name)
{
    return FindFirst(m_elements,
                     [&](const CHTTPServerConfig& c) { return platform::EqualsIgnoringCase(c.GetKeyName(), name); });
}

CChatRoomConfigList::CChatRoomConfigList() = default;
CChatRoomConfigList::~CChatRoomConfigList() = default;

CChatRoomConfig* CChatRoomConfigList::FindByName(std::string_view name)
{
    return FindFirst(m_elements, [&](const CChatRoomConfig& c) {
        return platform::EqualsIgnoringCase(c.GetRoomSettings()->name, name);
    });
}

CChatRoomConfig* CChatRoomConfigList::FindByLogFile(std::string_view name)
{
    return FindFirst(m_elements, [&](const CChatRoomConfig& c) {
        return platform::EqualsIgnoringCase(c.GetSettings()->logFile, name);
    });
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
