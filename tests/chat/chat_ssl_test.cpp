// A chat room's secure port: engine start installs the SSL layer, and the
// SSL 2.0 client of the HTTP tests (tests/e2e/sslv2_client.py) joins the
// room list over it, resuming its session on the next connection, with the
// same bytes the plain port sends.

#include "chat_fixture.h"

#include <cstdlib>

namespace {

using chat_test::ChatE2ETest;
using chat_test::Reply;

const char kPython[] = "/usr/bin/python3";
const char kOpenSSL[] = "/usr/bin/openssl";

class ChatSSLTest : public ChatE2ETest, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void SetUp() override
    {
        ChatE2ETest::SetUp();
        if (IsSkipped())
            return;
        m_fibers = GetParam() ? 1 : 0;
        std::string ignored;
        if (::access(kOpenSSL, X_OK) != 0 || RunProgram(kPython, {"-c", "import cryptography"}, ignored) != 0)
            GTEST_SKIP() << "openssl or python3-cryptography is not installed";
        ASSERT_EQ(RunProgram(kOpenSSL, {"req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", m_dir / "key.pem",
                                        "-out", m_dir / "cert.pem", "-days", "1", "-subj", "/CN=127.0.0.1"},
                             ignored),
                  0);
    }
    std::string Md5(const std::string& bytes)
    {
        e2e::WriteFile(m_dir / "md5.in", bytes);
        std::string out;
        RunProgram("/usr/bin/md5sum", {m_dir / "md5.in"}, out);
        return out.substr(0, 32);
    }
};

TEST_P(ChatSSLTest, TheRoomListArrivesOverTheSecurePortAndTheSessionResumes)
{
    const std::uint16_t sslPort = e2e::FreePort();
    const std::uint16_t port =
        AddRoom("Secure", {{"UseSSL", 1}, {"SSLPort", sslPort}},
                {{"PrivKey", e2e::ReadFile(m_dir / "key.pem")}, {"SignedCert", e2e::ReadFile(m_dir / "cert.pem")}});
    Start(GetParam());

    Reply plain = Get(port, "/Index");
    ASSERT_EQ(plain.Status(), 200) << plain.head;
    std::string out;
    RunProgram(kPython,
               {std::string(VELMORA_SOURCE_DIR) + "/tests/e2e/sslv2_client.py", std::to_string(sslPort), "fetch",
                "/Index", "/Index"},
               out);
    // The first connection makes the session, the second resumes it; both
    // get the plain port's page byte for byte.
    const std::string md5 = Md5(plain.body);
    std::size_t first = out.find("\"resumed\": false");
    std::size_t second = out.find("\"resumed\": true");
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_NE(second, std::string::npos) << out;
    EXPECT_EQ(out.find("\"error\""), std::string::npos) << out;
    std::size_t at = 0;
    int pages = 0;
    for (; (at = out.find("\"md5\": \"", at)) != std::string::npos; at += 8, ++pages)
        EXPECT_EQ(out.substr(at + 8, 32), md5) << out;
    EXPECT_EQ(pages, 2) << out;
    EXPECT_NE(out.find("HTTP/1.0 200 OK"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Modes, ChatSSLTest, ::testing::Values(0u, 2u),
                         [](const auto& info) { return info.param ? "Fibers" : "Threads"; });

} // namespace
