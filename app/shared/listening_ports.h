#pragma once
// The sockets the enabled servers of every family listen on, so that a page
// can refuse a port that a server of another kind (or another room) already
// holds: a room given the port of an HTTP server or of the proxy would only
// fail when the servers start. Linux refuses to bind all addresses and a
// specific address on one port, so those clash as well as an exact match.
//
// A page finds the families through the Servers page that holds its sheet
// (its ancestor widgets); a page shown outside a settings sheet sees none.

#include "framework/listening_port.h"

#include <cstdint>
#include <vector>

class CChatRoomConfigList;
class CHTTPServerConfigList;
class CServiceConfig;
class QWidget;

struct CListeningSocket {
    std::uint32_t port = 0;
    std::uint32_t address = 0; // network byte order; 0 = all
};

// The sockets config opens when it starts: Port unless it serves SSL only,
// and SSLPort with SSL; none when it is disabled.
std::vector<CListeningSocket> ListeningSockets(const CServiceConfig& config);
void AddListeningSockets(const CHTTPServerConfigList& servers, std::vector<CListeningSocket>& to);
void AddListeningSockets(const CChatRoomConfigList& rooms, std::vector<CListeningSocket>& to);

// True when a socket on port and address could not be bound beside taken.
bool SocketTaken(const std::vector<CListeningSocket>& taken, std::uint32_t port, std::uint32_t address);

// The family a page edits; its sockets are the page's own business.
enum class ServerFamily { http, chat, proxy };

// The sockets of the other families, as the Servers page above page holds
// them; empty when page is in no settings sheet.
std::vector<CListeningSocket> OtherFamiliesSockets(const QWidget* page, ServerFamily editing);

// True when port and address clash with sameFamily (the other servers of
// the edited one's own list) or with the other families above page.
bool PortInUse(const QWidget* page, ServerFamily editing, std::vector<CListeningSocket> sameFamily,
               std::uint32_t port, std::uint32_t address);
// The SSL page's test: with SSL on, config's SSL port may be neither its
// own plain port (unless it serves SSL only) nor one PortInUse finds.
bool SSLPortInUse(const QWidget* page, ServerFamily editing, std::vector<CListeningSocket> sameFamily,
                  const CServiceConfig& config);
