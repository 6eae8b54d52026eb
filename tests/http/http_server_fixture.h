#pragma once
// What the HTTP server tests share: a hive and a document root of their own
// in a temporary directory, the HTTP strings scope with the default pages,
// a real CHTTPServer on 127.0.0.1 at a port chosen at run time, and a raw
// client that sends bytes and reads replies.

#include "config/config_fixture.h"
#include "config/http_server_config.h"
#include "framework/server.h"
#include "framework/text_buffer.h"
#include "framework/loopback.h"
#include "framework/wsocket.h"
#include "http/http_server.h"
#include "macro/core_macros.h"
#include "macro/macro_context.h"
#include "macro/named_strings.h"
#include "resources/string_table.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace http_test {

using ::FreePort;

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One reply taken apart.
struct Reply {
    int status = 0;
    std::string head; // status line and headers, CR LF included
    std::string body;
    bool Has(const std::string& headerLine) const { return head.find(headerLine + "\r\n") != std::string::npos; }
};

// Splits a stream of replies; a reply without Content-length runs to the end.
inline std::vector<Reply> SplitReplies(std::string stream)
{
    std::vector<Reply> replies;
    while (!stream.empty()) {
        Reply reply;
        std::size_t end = stream.find("\r\n\r\n");
        if (stream.rfind("HTTP/", 0) != 0 || end == std::string::npos) {
            reply.body = stream;
            replies.push_back(reply);
            break;
        }
        reply.head = stream.substr(0, end + 2);
        reply.status = std::atoi(reply.head.c_str() + reply.head.find(' ') + 1);
        stream.erase(0, end + 4);
        std::size_t length = std::string::npos;
        std::string lower = reply.head;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (std::size_t at = lower.find("\r\ncontent-length: "); at != std::string::npos)
            length = std::strtoul(reply.head.c_str() + at + 18, nullptr, 10);
        reply.body = stream.substr(0, length);
        stream.erase(0, length == std::string::npos ? stream.size() : std::min(length, stream.size()));
        replies.push_back(reply);
    }
    return replies;
}

class HTTPServerTest : public ConfigTest {
protected:
    static void SetUpTestSuite()
    {
        InitMacroLibrary();
        ::setenv("VELMORA_SHM_PREFIX", ("vhttp" + std::to_string(::getpid())).c_str(), 1);
        BindSocketAPI();
    }
    static void TearDownTestSuite() { ::unsetenv("VELMORA_SHM_PREFIX"); }

    void SetUp() override
    {
        ConfigTest::SetUp();
        m_global = std::make_unique<CMacroContext>();
        RegisterCoreMacros(*m_global);
        m_strings = std::make_unique<CMacroContext>(m_global.get());
        m_strings->LoadStrings(kHttpDefaultStrings, 0);
        SetHTTPStringsScope(m_strings.get());
        m_root = m_dir / "www";
        std::filesystem::create_directories(m_root);
        m_port = FreePort();
    }
    void TearDown() override
    {
        StopAllServers();
        DeleteAllServers();
        m_server = nullptr;
        SetHTTPStringsScope(nullptr);
        m_strings.reset();
        m_global.reset();
        ConfigTest::TearDown();
    }

    // A configuration on 127.0.0.1 at m_port serving m_root; edit tweaks it.
    void Configure(CHTTPServerConfig& config, const std::function<void(CServiceSettings&, CHTTPSettings&)>& edit)
    {
        auto service = std::make_shared<CServiceSettings>(*config.GetSettings());
        auto http = std::make_shared<CHTTPSettings>(*config.GetHTTPSettings());
        service->port = m_port;
        service->address = htonl(INADDR_LOOPBACK);
        service->connTimeout = 5;
        http->rootDir = m_root;
        http->urlCacheFlushInterval = 0;
        if (edit)
            edit(*service, *http);
        config.SetSettings(service);
        config.SetHTTPSettings(http);
    }

    // Starts a server; lists may fill the configuration's lists first.
    CHTTPServer* StartServer(const std::function<void(CServiceSettings&, CHTTPSettings&)>& edit = {},
                             const std::function<void(CHTTPServerConfig&)>& lists = {})
    {
        CHTTPServerConfig config;
        Configure(config, edit);
        SetValues("Server\\Mappings",
                  {{"txt", "text/plain"}, {"htm", "text/html"}, {"bin", "application/octet-stream"}});
        config.GetMappings().LoadFromKey(Key("Server"), "Mappings");
        if (lists)
            lists(config);
        m_server = new CHTTPServer(config);
        EXPECT_EQ(m_server->Start(0), 0);
        return m_server;
    }

    // Lists are read from the hive as a running server reads them (a map
    // without a key would empty itself at its first refresh).
    void SetValues(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values)
    {
        platform::RegistryKey key = Key(path);
        for (const auto& [name, value] : values)
            key.SetString(name, value);
    }
    // An access list of the server's key: lines stored as values "0", "1", ...
    void SetACL(const std::string& path, const std::vector<std::string>& lines)
    {
        std::vector<std::pair<std::string, std::string>> values;
        for (std::size_t i = 0; i < lines.size(); ++i)
            values.emplace_back(std::to_string(i), lines[i]);
        SetValues(path, values);
    }

    // Sends the bytes on a new connection and reads until the server closes
    // it (or 5 s pass). Unless asked to keep it open, the client's sending
    // side is shut down after the bytes; a program the request runs then
    // sees its client gone.
    std::string Exchange(const std::string& bytes, bool endInput = true)
    {
        WSocket client;
        client.SetTimeout(5000);
        if (client.Connect("127.0.0.1", m_port) != 0)
            return "(no connection)";
        if (!bytes.empty())
            client.SendText(bytes, false);
        // Nothing more comes: the server sees the end of its input.
        if (endInput)
            ::shutdown(client.GetHandle(), SHUT_WR);
        std::string received;
        char buffer[8192];
        for (;;) {
            int got = client.Read(buffer, sizeof buffer);
            if (got <= 0)
                break;
            received.append(buffer, static_cast<std::size_t>(got));
        }
        return received;
    }
    Reply Ask(const std::string& bytes, bool endInput = true)
    {
        std::vector<Reply> replies = SplitReplies(Exchange(bytes, endInput));
        return replies.empty() ? Reply{} : replies.front();
    }
    static std::string Get(const std::string& url, const std::string& headers = "")
    {
        return "GET " + url + " HTTP/1.0\r\n" + headers + "\r\n";
    }
    // The default text of a named string as the server expands it.
    std::string Page(const std::string& name)
    {
        CTextBuffer out;
        m_strings->Expand(&out, "%" + name + "%");
        return out.ToString();
    }

    std::unique_ptr<CMacroContext> m_global;
    std::unique_ptr<CMacroContext> m_strings;
    std::string m_root;
    std::uint16_t m_port = 0;
    CHTTPServer* m_server = nullptr;
};

} // namespace http_test
