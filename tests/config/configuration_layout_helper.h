#pragma once
// A complete configuration tree built through the configuration classes,
// and a dump of a tree as sorted "path=value" lines (line breaks in texts
// as \n), so a load in another process can be compared with what was
// saved. Shared by the tests and the config_peer program.

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

// Variant 0 has a server on port 80 (all addresses, enabled) and one on
// 8080 (127.0.0.1, disabled); variant 1 the same on 90 and 9090. Every
// value of every server differs from its default and between servers, and
// each has ACL lines, users, a group, strings, a path with its own ACL and
// CGIExt, a redirection, an icon, two CGI mappings and two MIME types; the
// shared lists are filled too (their texts name the variant).
struct ServerPorts {
    std::uint32_t plain;
    std::uint32_t loopback;
};
ServerPorts VariantPorts(int variant);
void BuildHTTPLayout(CHTTPGlobalConfig& global, int variant);
// One room, "Lobby", and the chat-wide lists.
void BuildChatLayout(CChatGlobalConfig& chat);

std::vector<std::string> DumpHTTP(CHTTPGlobalConfig& global);
std::vector<std::string> DumpChat(CChatGlobalConfig& chat);

// Below the product key: every key the servers of global occupy.
std::vector<std::string> ServerKeyPaths(CHTTPGlobalConfig& global);

// The names of key's subkeys in enumeration order.
std::vector<std::string> SubkeyNames(const platform::RegistryKey& key);
// The text of a named string of scope, "(none)" when it holds none.
std::string StringText(CMacroScope* scope, const char* name);
