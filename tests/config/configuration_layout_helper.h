#pragma once
// A complete configuration tree for the whole-tree tests, built through the
// configuration classes, and a dump of a loaded or built tree as sorted
// "path=value" lines, so a load in another process can be compared with
// what was saved. Shared by the tests and the config_peer program.

#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kHTTPKeyPath = "Software\\Tessaline\\Velmora\\HTTP";
inline constexpr const char* kChatKeyPath = "Software\\Tessaline\\Velmora\\ChatRoom";

// 127.0.0.1 in network byte order (first octet in the low byte).
inline constexpr std::uint32_t kLoopbackAddress = 0x0100007F;

// The two servers of a variant: variant 0 listens on 80 (all addresses) and
// 8080 (127.0.0.1), variant 1 on 90 and 9090. Every server has its own ACL
// lines, users, groups, strings, paths (with ACL and CGIExt), redirections,
// icons, CGI mappings and MIME types; the global lists are filled too.
struct ServerPorts {
    std::uint32_t plain;
    std::uint32_t loopback;
};
ServerPorts VariantPorts(int variant);

// Fills global (which may have been loaded; the servers are replaced) with
// the variant's servers and lists.
void BuildHTTPLayout(CHTTPGlobalConfig& global, int variant);
// One room, "Lobby", with its service values, users and strings, and the
// chat-wide lists.
void BuildChatLayout(CChatGlobalConfig& chat);

// Sorted lines; every value of every server, list and room.
std::vector<std::string> DumpHTTP(CHTTPGlobalConfig& global);
std::vector<std::string> DumpChat(CChatGlobalConfig& chat);

// The registry key paths (below the product key) the HTTP servers of
// global occupy, one per key of their trees.
std::vector<std::string> ServerKeyPaths(CHTTPGlobalConfig& global);
