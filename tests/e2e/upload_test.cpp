// curl -T: an upload where a line grants PUT, and one where none does; the
// configured body limits of PUT and forms; the pace a body must keep.

#include "drip_clients.h"
#include "e2e_server.h"
#include "eventually.h"
#include "framework/body_pace.h"
#include "framework/error_reply.h"
#include "raw_client.h"

using namespace e2e;

namespace {

class UploadTest : public E2ETest {};

TEST_F(UploadTest, PutIsStoredOnlyWhereGranted)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/granted.txt", "before");
    WriteFile(m_root + "/granted.txt.~ACL~", "Allow-user: PUT,*,127.0.0.1\r\nAllow-user: GET,*,*\r\n");
    WriteFile(m_root + "/refused.txt", "before");
    std::string upload = m_dir / "upload.txt";
    std::string content;
    for (int i = 0; i < 5000; ++i)
        content += "line " + std::to_string(i) + "\n";
    WriteFile(upload, content);
    StartServers();

    RunResult granted = Curl({"-T", upload, "-w", "%{http_code}", "-o", "/dev/null", URL(port, "/granted.txt")});
    EXPECT_EQ(granted.output, "201");
    EXPECT_EQ(Sha256(m_root + "/granted.txt"), Sha256(upload));
    RunResult back = Curl({"-o", m_dir / "back.txt", "-w", "%{http_code}", URL(port, "/granted.txt")});
    EXPECT_EQ(back.output, "200");
    EXPECT_EQ(Sha256(m_dir / "back.txt"), Sha256(upload)) << "the cache serves the new document";

    RunResult refused = Curl({"-T", upload, "-w", "%{http_code}", "-o", "/dev/null", URL(port, "/refused.txt")});
    EXPECT_EQ(refused.output, "401");
    EXPECT_EQ(ReadFile(m_root + "/refused.txt"), "before");
}

TEST_F(UploadTest, TheConfiguredBodyLimitsAnswer413AndKeepTheDocument)
{
    std::uint16_t port = FreePort();
    platform::RegistryKey server = Key(AddServer(port));
    server.SetDword("MaxPutSize", 100);
    server.SetDword("MaxFormSize", 100);
    WriteFile(m_root + "/doc.txt", "before");
    WriteFile(m_root + "/doc.txt.~ACL~", "Allow-user: *,*,*\r\n");
    WriteFile(m_root + "/form.htm", "%expand%[%form(a)]");
    StartServers();

    auto status = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"-w", "%{http_code}", "-o", "/dev/null"});
        return Curl(args).output;
    };
    WriteFile(m_dir / "small.txt", std::string(100, 's'));
    WriteFile(m_dir / "large.txt", std::string(101, 'l'));
    EXPECT_EQ(status({"-T", m_dir / "large.txt", URL(port, "/doc.txt")}), "413");
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "before");
    EXPECT_EQ(status({"-T", m_dir / "small.txt", URL(port, "/doc.txt")}), "201");
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), std::string(100, 's'));

    EXPECT_EQ(status({"-d", "a=" + std::string(98, 'x'), URL(port, "/form.htm")}), "200");
    EXPECT_EQ(status({"-d", "a=" + std::string(99, 'x'), URL(port, "/form.htm")}), "413");
}

TEST_F(UploadTest, ATrickledBodyIsCutOffAndAnHonestSlowOneIsNot)
{
    std::uint16_t port = FreePort();
    // Far beyond the test: each trickled byte renews it, so only the body's
    // pace can end the trickle.
    Key(AddServer(port)).SetDword("ConnTimeout", 300);
    WriteFile(m_root + "/form.htm", "%expand%[%form(a)]");
    WriteFile(m_root + "/plain.txt", "plain");
    StartServers();

    std::uint64_t start = NowMs();
    DripClients trickle(port, {"POST /form.htm HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                  "Content-Length: 100000\r\n\r\na="}, 1000);
    ASSERT_EQ(trickle.Connected(), 1);
    // An honest slow upload, 100 KB at 10 KB/s, meanwhile.
    const std::string value(100000, 'x');
    WriteFile(m_dir / "form.txt", "a=" + value);
    RunResult honest =
        Curl({"--limit-rate", "10K", "--data-binary", "@" + std::string(m_dir / "form.txt"), URL(port, "/form.htm")});
    EXPECT_EQ(honest.output, "[" + value + "]");

    EXPECT_TRUE(Eventually([&] { return trickle.Closed() == 1; }, 90000)) << "the trickle still holds its slot";
    EXPECT_EQ(trickle.Replied(), static_cast<long>(FormatErrorReply(408, {}, nullptr).size()));
    std::printf("[ trickle ] a body at 1 byte/s held its connection %llu ms\n",
                static_cast<unsigned long long>(NowMs() - start));
    EXPECT_EQ(Curl({URL(port, "/plain.txt")}).output, "plain");
}

// ConnTimeout 0 lets a client's reads take as long as they like: a body that
// pauses past the pace's grace still reaches its form.
TEST_F(UploadTest, WithoutAConnTimeoutABodyMayPauseAtWill)
{
    std::uint16_t port = FreePort();
    Key(AddServer(port)).SetDword("ConnTimeout", 0);
    WriteFile(m_root + "/form.htm", "%expand%[%form(a)]");
    StartServers();

    RawClient client(port);
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send("POST /form.htm HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                            "Content-Length: 7\r\n\r\na=pa"));
    // The pause: the server must neither answer nor close meanwhile.
    ParsedReply reply;
    ASSERT_EQ(client.Read(kBodyGraceMs + 5000, reply), RawClient::kTimedOut) << reply.status;
    ASSERT_TRUE(client.Send("use"));
    ASSERT_EQ(client.Read(30000, reply), RawClient::kReply);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "[pause]");
}

} // namespace
