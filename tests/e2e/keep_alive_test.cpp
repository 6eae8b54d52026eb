// One HTTP/1.0 keep-alive connection carrying a POST to a plain file and
// then a GET: two correct replies, the second on the same connection.

#include "e2e_server.h"

using namespace e2e;

namespace {

class KeepAliveTest : public E2ETest {};

TEST_F(KeepAliveTest, APostToAFileThenAGetOnOneConnection)
{
    std::uint16_t port = FreePort();
    Key(AddServer(port)).SetDword("KeepAliveTimeout", 5);
    WriteFile(m_root + "/a.txt", "first file");
    WriteFile(m_root + "/b.txt", "second file");
    WriteFile(m_root + "/c.txt", "a body taken for a request");
    StartServers();

    // The POST body looks like a request; it must be skipped, not served.
    RunResult run = Curl({"--http1.0", "-H", "Connection: keep-alive", "-d", "GET /c.txt HTTP/1.0\r\n\r\n", "-w",
                    "|%{http_code}|%{num_connects}\n", URL(port, "/a.txt"), "--next", "--http1.0", "-H",
                    "Connection: keep-alive", "-w", "|%{http_code}|%{num_connects}\n", URL(port, "/b.txt")});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "first file|200|1\nsecond file|200|0\n");
}

} // namespace
