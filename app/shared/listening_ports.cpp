#include "app/shared/listening_ports.h"

#include "app/shared/servers_page.h"
#include "config/chat_config.h"
#include "config/config_lists.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "proxy/proxy_settings.h"

std::vector<CListeningSocket> ListeningSockets(const CServiceConfig& config)
{
    std::shared_ptr<const CServiceSettings> s = config.GetSettings();
    std::vector<CListeningSocket> sockets;
    if (!s->enabled)
        return sockets;
    if (!(s->useSSL && s->sslOnly))
        sockets.push_back({s->port, s->address});
    if (s->useSSL)
        sockets.push_back({s->sslPort, s->address});
    return sockets;
}

namespace {

template <class List>
void AddAll(const List& list, std::vector<CListeningSocket>& to)
{
    for (const auto& config : list)
        for (const CListeningSocket& socket : ListeningSockets(config))
            to.push_back(socket);
}

} // namespace

void AddListeningSockets(const CHTTPServerConfigList& servers, std::vector<CListeningSocket>& to)
{
    AddAll(servers, to);
}

void AddListeningSockets(const CChatRoomConfigList& rooms, std::vector<CListeningSocket>& to)
{
    AddAll(rooms, to);
}

bool SocketTaken(const std::vector<CListeningSocket>& taken, std::uint32_t port, std::uint32_t address)
{
    for (const CListeningSocket& socket : taken)
        if (socket.port == port && (socket.address == address || socket.address == 0 || address == 0))
            return true;
    return false;
}

std::vector<CListeningSocket> OtherFamiliesSockets(const QWidget* page, ServerFamily editing)
{
    std::vector<CListeningSocket> sockets;
    const CServersPage* servers = nullptr;
    for (const QWidget* at = page; at && !servers; at = at->parentWidget())
        servers = qobject_cast<const CServersPage*>(at);
    if (!servers)
        return sockets;
    if (editing != ServerFamily::http)
        AddListeningSockets(servers->HTTP().GetServers(), sockets);
    if (editing != ServerFamily::chat)
        AddListeningSockets(servers->Chat().GetRooms(), sockets);
    if (editing != ServerFamily::proxy)
        for (const CListeningSocket& socket : ListeningSockets(servers->Proxy()))
            sockets.push_back(socket);
    return sockets;
}

bool PortInUse(const QWidget* page, ServerFamily editing, std::vector<CListeningSocket> sameFamily,
               std::uint32_t port, std::uint32_t address)
{
    for (const CListeningSocket& socket : OtherFamiliesSockets(page, editing))
        sameFamily.push_back(socket);
    return SocketTaken(sameFamily, port, address);
}

bool SSLPortInUse(const QWidget* page, ServerFamily editing, std::vector<CListeningSocket> sameFamily,
                  const CServiceConfig& config)
{
    std::shared_ptr<const CServiceSettings> s = config.GetSettings();
    if (!s->useSSL)
        return false;
    if (!s->sslOnly && s->sslPort == s->port)
        return true;
    return PortInUse(page, editing, std::move(sameFamily), s->sslPort, s->address);
}
