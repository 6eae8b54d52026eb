// The real velmorad started as a login shell starts it (a soft limit of
// 1,024 open descriptors) against crowds from one address: it lifts its
// limit, cuts trickled chat bodies as the HTTP port cuts its own, and when
// descriptors run out all the same, a new client from elsewhere is served.

#include "drip_clients.h"
#include "e2e/e2e_server.h"
#include "e2e/raw_client.h"
#include "eventually.h"
#include "framework/error_reply.h"
#include "platform/clock.h"
#include "platform/eventlog.h"
#include "platform/service.h"
#include "service_process.h"
#include "service_site_test.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <optional>
#include <sstream>

namespace {

constexpr const char* kName = "Velmora";
// The soft limit a login shell gives.
constexpr int kShellLimit = 1024;

class ClientLimitsTest : public ServiceSiteTest {
protected:
    ClientLimitsTest() : ServiceSiteTest("vlim") {}

    // Installs the service and starts it with the limit on open descriptors
    // given to prlimit ("soft:" or "soft:hard"); its process id, or 0.
    pid_t StartUnder(const std::string& nofile)
    {
        e2e::RunResult installed = e2e::RunProgram({BinDir() + "/service/velmorad", "-install"}, m_dir / "install.out");
        EXPECT_EQ(installed.output, "Service successfully installed!\n");
        e2e::RunResult started = e2e::RunProgram(
            {"prlimit", "--nofile=" + nofile, "timeout", "90", BinDir() + "/tools/velmora-sc", "start", kName},
            m_dir / "sc.out");
        EXPECT_EQ(started.exitCode, 0) << started.output;
        platform::ServiceStatus status;
        platform::ServiceController(kName).QueryStatus(status);
        return status.currentState == platform::kServiceRunning ? static_cast<pid_t>(status.processId) : 0;
    }
    // A GET from 127.0.0.2, another client address than the crowd's.
    struct Got {
        std::string status; // "" when no reply came within 30 s
        std::string body;
        double seconds = 0;
    };
    Got GetFromElsewhere(std::uint16_t port, const std::string& path)
    {
        e2e::RunResult run = e2e::RunProgram({"curl", "-s", "--max-time", "30", "--interface", "127.0.0.2", "-w",
                                              "|%{http_code}|%{time_total}",
                                              "http://127.0.0.1:" + std::to_string(port) + path},
                                             m_dir / "curl.out");
        Got got;
        std::size_t second = run.output.rfind('|');
        std::size_t first = second == std::string::npos || second == 0 ? std::string::npos
                                                                       : run.output.rfind('|', second - 1);
        if (run.exitCode != 0 || first == std::string::npos)
            return got;
        got.body = run.output.substr(0, first);
        got.status = run.output.substr(first + 1, second - first - 1);
        got.seconds = std::stod(run.output.substr(second + 1));
        return got;
    }
    std::string Log() { return e2e::ReadFile(m_dir / "home/log/Velmora.log"); }

};

// The soft and hard "Max open files" of a process.
std::pair<std::string, std::string> OpenFileLimits(pid_t process)
{
    std::ifstream limits("/proc/" + std::to_string(process) + "/limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream words(line.substr(14));
            std::string soft;
            std::string hard;
            words >> soft >> hard;
            return {soft, hard};
        }
    }
    return {};
}

std::size_t Occurrences(const std::string& text, const std::string& part)
{
    std::size_t times = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++times;
    return times;
}

TEST_F(ClientLimitsTest, AStartUnderALoginShellsLimitRaisesItToTheHardLimit)
{
    pid_t service = StartUnder(std::to_string(kShellLimit) + ":");
    ASSERT_GT(service, 0);
    auto [soft, hard] = OpenFileLimits(service);
    if (hard == std::to_string(kShellLimit))
        GTEST_SKIP() << "the hard limit on open files is the login shell's soft one";
    EXPECT_EQ(soft, hard);
}

TEST_F(ClientLimitsTest, TrickledChatBodiesAreCutAndOthersAreServedMeanwhile)
{
    constexpr int kBodies = 1000;
    if (!e2e::RaiseOpenFileLimit(kBodies + 256))
        GTEST_SKIP() << "the hard limit on open files is below " << kBodies + 256;
    std::uint16_t chat = e2e::FreePort();
    platform::RegistryKey room = Key("ChatRoom\\Rooms\\Club");
    room.SetDword("Port", chat);
    room.SetDword("Address", htonl(INADDR_LOOPBACK));
    room.SetDword("Enabled", 1);
    // Far beyond the test: a trickle renews it at every byte.
    room.SetDword("ConnTimeout", 120);
    room.SetString("Name", "Club");
    ASSERT_GT(StartUnder(std::to_string(kShellLimit) + ":"), 0);
    ASSERT_TRUE(Eventually([&] { return GetFromElsewhere(chat, "/Join").status == "200"; }, 30000));

    // Each declares a body far longer than it sends, then sends a byte a
    // second: below any upload's pace, above the per-read time-out's.
    std::vector<std::string> starts(kBodies, "POST /Chat HTTP/1.0\r\nContent-Length: 8192\r\n\r\nname=");
    DripClients drips(chat, starts, 1000);
    ASSERT_EQ(drips.Connected(), kBodies);
    ASSERT_TRUE(Eventually([&] { return drips.Rounds() >= 5; }, 60000));

    // Meanwhile the room and the web site answer another address at once.
    struct Case {
        std::uint16_t port;
        const char* path;
    };
    const Case cases[] = {{chat, "/Join"}, {m_port, "/"}};
    for (const Case& c : cases) {
        Got got = GetFromElsewhere(c.port, c.path);
        EXPECT_EQ(got.status, "200") << c.path << " unanswered";
        std::printf("GET %s from 127.0.0.2 beside %d trickled bodies: %.3f s\n", c.path, kBodies, got.seconds);
    }
    // Every body is cut with a 408, as the HTTP port cuts its own: the ones
    // over the address's share at once, the rest when their pace runs out.
    const std::uint64_t began = platform::MonotonicMs();
    EXPECT_TRUE(Eventually([&] { return drips.Closed() == kBodies; }, 120000))
        << drips.Closed() << " of " << kBodies << " closed";
    std::printf("%d trickled bodies cut within %.1f s\n", drips.Closed(), (platform::MonotonicMs() - began) / 1000.0);
    EXPECT_EQ(drips.Replied(), static_cast<long>(kBodies * FormatErrorReply(408, {}, nullptr).size()));
}

TEST_F(ClientLimitsTest, AFloodPastTheDescriptorLimitLeavesANewClientServedAndIsSaidOnce)
{
    // Silent connections by the thousand where the hard limit leaves no
    // room to grow: only the oldest making room lets a newcomer in. No head
    // limit, and a time-out far beyond the test, so that nothing else
    // would close them.
    constexpr int kFlood = 1500;
    if (!e2e::RaiseOpenFileLimit(kFlood + 256))
        GTEST_SKIP() << "the hard limit on open files is below " << kFlood + 256;
    m_server.SetDword("HeaderTimeout", 0);
    m_server.SetDword("ConnTimeout", 300);
    const char* modes[] = {"threads", "fibers"};
    for (std::uint32_t fibers : {0u, 1u}) {
        SCOPED_TRACE(modes[fibers]);
        m_server.SetDword("UseFibers", fibers);
        std::filesystem::remove(m_dir / "home/log/Velmora.log");
        const std::string limit = std::to_string(kShellLimit);
        ASSERT_GT(StartUnder(limit + ":" + limit), 0);
        ASSERT_EQ(GetFromElsewhere(m_port, "/").body, "service page\n");

        std::vector<int> flood;
        for (int i = 0; i < kFlood; ++i) {
            int fd = e2e::ConnectLoopback(m_port, false);
            ASSERT_GE(fd, 0) << "connection " << i;
            flood.push_back(fd);
        }
        Got got = GetFromElsewhere(m_port, "/");
        EXPECT_EQ(got.body, "service page\n");
        std::printf("GET from 127.0.0.2 past %d silent connections (%s): %.3f s\n", kFlood, modes[fibers],
                    got.seconds);
        EXPECT_EQ(GetFromElsewhere(m_port, "/").body, "service page\n");
        for (int fd : flood)
            ::close(fd);

        const std::string log = Log();
        EXPECT_EQ(Occurrences(log, "] Out of descriptors (limit " + limit + "): "), 1u) << log;
        EXPECT_EQ(Occurrences(log, "] Descriptors stay limited to " + limit + " (the hard limit)"), 1u) << log;
        StopLeftoverService(kName);
        e2e::RunProgram({BinDir() + "/service/velmorad", "-remove"}, m_dir / "remove.out");
    }
}

} // namespace
