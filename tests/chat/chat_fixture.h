#pragma once
// The chat rooms end to end: a hive of their own with rooms under
// ChatRoom\Rooms on 127.0.0.1 at ports chosen at run time, the real engine
// start (StartServices) and the real curl as the client.

#include "config/child_process_helper.h"
#include "e2e/e2e_server.h"
#include "framework/server.h"
#include "service/engine.h"
#include "service/engine_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace chat_test {

struct Reply {
    int exitCode = -1;
    std::string head; // status line and headers
    std::string body;
    int Status() const { return head.size() > 12 ? std::atoi(head.c_str() + 9) : 0; }
};

class ChatE2ETest : public EngineHiveTest {
protected:
    static void SetUpTestSuite() { EnterSuite("vchat"); }

    void SetUp() override
    {
        EngineHiveTest::SetUp();
        if (::access("/usr/bin/curl", X_OK) != 0)
            GTEST_SKIP() << "curl is not installed";
        m_product.SetDword("Workers", 0);
    }

    // A room on a free loopback port; values override the test defaults.
    std::uint16_t AddRoom(const std::string& name, const std::map<std::string, std::uint32_t>& numbers = {},
                          const std::map<std::string, std::string>& texts = {})
    {
        std::uint16_t port = e2e::FreePort();
        platform::RegistryKey key = Key("ChatRoom\\Rooms\\" + name);
        std::map<std::string, std::uint32_t> values = {{"Port", port},       {"Address", htonl(INADDR_LOOPBACK)},
                                                       {"Enabled", 1},       {"ConnTimeout", 10},
                                                       {"Lines", 50},        {"Timeout", 300},
                                                       {"UseFibers", m_fibers}};
        for (const auto& [value, number] : numbers)
            values[value] = number;
        for (const auto& [value, number] : values)
            key.SetDword(value, number);
        key.SetString("Name", name);
        key.SetString("LogFile", m_dir / ("home/log/" + name + ".log"));
        for (const auto& [value, text] : texts)
            key.SetString(value, text);
        return static_cast<std::uint16_t>(values["Port"]);
    }
    // Engine start with the worker pool of `workers` fibers' threads (0: threads only).
    void Start(std::uint32_t workers = 0)
    {
        m_product.SetDword("Workers", workers);
        if (workers != 0) {
            BindFiberAPI();
            BindCompletionPortAPI();
        }
        ASSERT_EQ(StartServices(), 0);
    }
    std::string Log(const std::string& room) { return e2e::ReadFile(m_dir / ("home/log/" + room + ".log")); }

    std::string URL(std::uint16_t port, const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    // curl -0 with the given arguments; the head and the body apart.
    Reply Curl(std::vector<std::string> args)
    {
        std::vector<std::string> all = {"-s", "-0", "--max-time", "20", "-D", m_dir / "head.out", "-o",
                                        m_dir / "body.out"};
        all.insert(all.end(), args.begin(), args.end());
        ::unlink((m_dir / "head.out").c_str());
        ::unlink((m_dir / "body.out").c_str());
        std::string ignored;
        Reply reply;
        reply.exitCode = RunProgram("/usr/bin/curl", all, ignored, 30000);
        reply.head = e2e::ReadFile(m_dir / "head.out");
        reply.body = e2e::ReadFile(m_dir / "body.out");
        return reply;
    }
    Reply Get(std::uint16_t port, const std::string& path, std::vector<std::string> extra = {})
    {
        extra.push_back(URL(port, path));
        return Curl(extra);
    }
    Reply Post(std::uint16_t port, const std::string& path, const std::string& body, std::vector<std::string> extra = {})
    {
        extra.insert(extra.end(), {"--data", body, URL(port, path)});
        return Curl(extra);
    }

    std::uint32_t m_fibers = 0;
};

inline int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace chat_test

#include "e2e/raw_client.h"

namespace chat_test {

// Sends request on a new connection and reads until the server closes (or
// timeoutMs passes); everything received.
inline std::string RawExchange(std::uint16_t port, const std::string& request, std::uint64_t timeoutMs = 10000)
{
    int fd = e2e::ConnectLoopback(port, false);
    if (fd < 0)
        return {};
    e2e::SendAll(fd, request);
    std::string received;
    std::uint64_t deadline = e2e::NowMs() + timeoutMs;
    char buffer[4096];
    while (e2e::NowMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return received;
}

} // namespace chat_test
