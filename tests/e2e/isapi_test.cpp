// The test extension through a real server: every callback, a 1 MB body
// read with ReadClient, two calls at once, HEAD, and a library that is no
// extension.

#include "e2e_server.h"

#include <thread>
#include <vector>

using namespace e2e;

namespace {

class ISAPITest : public E2ETest {
protected:
    void MapExtension(const std::string& extension, const std::string& library)
    {
        platform::RegistryKey key = Key("HTTP\\CGIExt\\" + extension);
        key.SetString("CommandLine", library);
        key.SetString("WorkingDir", "");
        key.SetDword("ExecCGI", 1);
        key.SetDword("CGIProtocol", 2);
    }
    void SetUp() override
    {
        E2ETest::SetUp();
        if (IsSkipped())
            return;
        m_port = FreePort();
        AddServer(m_port);
        MapExtension("isa", ISAPI_PROBE);
        MapExtension("bad", ISAPI_NOENTRY);
        WriteFile(m_root + "/probe.isa", "");
        WriteFile(m_root + "/none.bad", "");
        WriteFile(m_root + "/local.txt", "served locally");
        StartServers();
    }
    std::uint16_t m_port = 0;
};

TEST_F(ISAPITest, EveryCallbackAnswersAsDesigned)
{
    std::string reply = Curl({"-i", "-H", "X-Custom: yes", URL(m_port, "/probe.isa/more?vars")}).output;
    std::vector<const char*> expected = {
        "HTTP/1.0 200 OK\r\nServer: Velmora/1.51 (Linux; x86_64; A)\r\nDate: ",
        "Content-type: text/plain\r\n\r\nQUERY_STRING=vars ok=1",
        "server_name=127.0.0.1 ok=1",
        "PATH_INFO=/more ok=1",
        "HTTP_X_CUSTOM=yes ok=1",
        "GATEWAY_INTERFACE=CGI/1.1 ok=1",
        "REQUEST_METHOD= ok=0 err=1413",
        "SERVER_PORT= ok=0 err=1413",
        // Seven bytes and the NUL are needed; two fit.
        "small ok=0 err=122 size=8 text=CG\n",
        "foreign ok=0 err=87\n",
        "unknown ok=0 err=1413\n",
    };
    // Built here, so it lives as long as the loop that reads it.
    const std::string mapped = "mapped ok=1 path=" + m_root + "/some/file.txt\n";
    expected.push_back(mapped.c_str());
    for (const char* text : expected)
        EXPECT_NE(reply.find(text), std::string::npos) << text << "\n" << reply;
    EXPECT_EQ(reply.find("JUNK"), std::string::npos) << "the header text ends at its given size";

    struct Row {
        const char* query;
        const char* status;
        const char* location;
        const char* body;
    } rows[] = {
        {"redirect", "302", "http://example.invalid/isapi", ""},
        {"sendurl", "200", "", "served locally"},
        {"missing", "404", "", "gone\n"},
        {"other", "200", "", "plain\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.query);
        RunResult r = Curl({"-o", m_dir / "body.out", "-w", "%{http_code} %{redirect_url}",
                            URL(m_port, std::string("/probe.isa?") + row.query)});
        EXPECT_EQ(r.output, std::string(row.status) + " " + row.location);
        if (*row.body) {
            EXPECT_NE(ReadFile(m_dir / "body.out").find(row.body), std::string::npos);
        }
    }
    RunResult head = Curl({"-I", URL(m_port, "/probe.isa?missing")});
    EXPECT_NE(head.output.find("HTTP/1.0 404 Not here"), std::string::npos) << head.output;
    EXPECT_EQ(head.output.find("gone"), std::string::npos) << "a HEAD reply carries no body";

    std::vector<std::string> lines = LogLines(m_logs.back().path);
    std::string log;
    for (const std::string& line : lines)
        log += line + "\n";
    EXPECT_NE(log.find("\"GET /probe.isa?missing HTTP/1.1\" 404"), std::string::npos) << log;
    EXPECT_NE(log.find("\"GET /probe.isa?redirect HTTP/1.1\" 302"), std::string::npos) << log;
}

TEST_F(ISAPITest, AMegabyteBodyIsReadWithReadClient)
{
    std::string body;
    unsigned hash = 2166136261u;
    for (int i = 0; i < (1 << 20); ++i) {
        body += static_cast<char>('a' + (i * 7) % 26);
        hash = (hash ^ static_cast<unsigned char>(body.back())) * 16777619u;
    }
    WriteFile(m_dir / "body.bin", body);
    char expected[64];
    std::snprintf(expected, sizeof expected, "bytes=%d fnv=%08x\n", 1 << 20, hash);
    RunResult r = Curl({"--data-binary", "@" + std::string(m_dir / "body.bin"), URL(m_port, "/probe.isa?body")});
    EXPECT_EQ(r.output, expected);
}

TEST_F(ISAPITest, TwoCallsRunAtOnce)
{
    RunResult first;
    std::thread other([&] { first = RunProgram({"curl", "-s", "--max-time", "10", URL(m_port, "/probe.isa?pair")},
                                               m_dir / "pair1.out"); });
    RunResult second = RunProgram({"curl", "-s", "--max-time", "10", URL(m_port, "/probe.isa?pair")}, m_dir / "pair2.out");
    other.join();
    // Two fibers on one worker cannot both be inside a call that sleeps.
    if (!m_fibers) {
        EXPECT_EQ(first.output, "met\n");
        EXPECT_EQ(second.output, "met\n");
    } else {
        EXPECT_EQ(first.exitCode, 0);
        EXPECT_EQ(second.exitCode, 0);
    }
}

TEST_F(ISAPITest, ALibraryWithoutEntryPointGetsTheErrorPage)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        RunResult r = Curl({"-o", m_dir / "err.out", "-w", "%{http_code}", URL(m_port, "/none.bad")});
        EXPECT_EQ(r.output, "500");
        EXPECT_NE(ReadFile(m_dir / "err.out").find("CGI Error"), std::string::npos);
    }
}

} // namespace
