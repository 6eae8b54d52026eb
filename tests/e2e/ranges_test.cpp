// Byte ranges seen by curl and wget: one range, two ranges as a multipart
// reply, and interrupted downloads resumed with curl -C - and wget -c.

#include "e2e_server.h"

using namespace e2e;

namespace {

class RangesTest : public E2ETest {
protected:
    // Bytes whose every 100-byte window differs, so a shifted range shows.
    static std::string Numbered(std::size_t size)
    {
        std::string bytes;
        bytes.reserve(size);
        for (std::size_t i = 0; bytes.size() < size; ++i)
            bytes += std::to_string(i) + ",";
        bytes.resize(size);
        return bytes;
    }
};

TEST_F(RangesTest, OneRangeIsThePlainBytes)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string content = Numbered(10000);
    WriteFile(m_root + "/n.txt", content);
    StartServers();

    RunResult run = Curl({"-r", "0-99", "-D", m_dir / "head.txt", "-w", "|%{http_code}", URL(port, "/n.txt")});
    EXPECT_EQ(run.output, content.substr(0, 100) + "|206");
    std::string head = ReadFile(m_dir / "head.txt");
    EXPECT_NE(head.find("Content-range: bytes 0-99/10000\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-length: 100\r\n"), std::string::npos) << head;

    RunResult tail = Curl({"-r", "-500", "-w", "|%{http_code}", URL(port, "/n.txt")});
    EXPECT_EQ(tail.output, content.substr(9500) + "|206");
}

TEST_F(RangesTest, TwoRangesAreAMultipartReply)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string content = Numbered(1000);
    WriteFile(m_root + "/n.txt", content);
    StartServers();

    RunResult run = Curl({"-r", "0-9,20-29", "-D", m_dir / "head.txt", "-w", "|%{http_code}", URL(port, "/n.txt")});
    const std::string boundary = "vcDVjJoKkjHTtF";
    const std::string expected = "--" + boundary + "\r\nContent-type: text/plain\r\nContent-range: bytes 0-9/1000\r\n\r\n" +
                                 content.substr(0, 10) + "\r\n--" + boundary +
                                 "\r\nContent-type: text/plain\r\nContent-range: bytes 20-29/1000\r\n\r\n" +
                                 content.substr(20, 10) + "\r\n--" + boundary + "--\r\n";
    EXPECT_EQ(run.output, expected + "|206");
    std::string head = ReadFile(m_dir / "head.txt");
    EXPECT_EQ(head.rfind("HTTP/1.0 206 ", 0), 0u) << head;
    EXPECT_NE(head.find("Content-type: multipart/x-byteranges; boundary=\"" + boundary + "\"\r\n"), std::string::npos)
        << head;
}

// A download cut short is finished by the client's own resume; the result
// must be the file byte for byte.
TEST_F(RangesTest, InterruptedDownloadsResume)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    std::string big;
    for (std::uint32_t i = 0; big.size() < 3 * 1024 * 1024 + 17; ++i)
        big.push_back(static_cast<char>((i * 2654435761u) >> 24));
    WriteFile(m_root + "/big.bin", big);
    StartServers();

    const std::string partial = m_dir / "big.bin";
    WriteFile(partial, big.substr(0, 1234567));
    RunResult curl = Curl({"-C", "-", "-o", partial, "-w", "%{http_code}", URL(port, "/big.bin")});
    EXPECT_EQ(curl.exitCode, 0);
    EXPECT_EQ(curl.output, "206");
    EXPECT_EQ(Sha256(partial), Sha256(m_root + "/big.bin"));

    if (!HaveTool("/usr/bin/wget"))
        GTEST_SKIP() << "wget is not installed; curl alone was checked";
    const std::string folder = m_dir / "wget";
    WriteFile(folder + "/big.bin", big.substr(0, 999999));
    RunResult wget = RunProgram({"wget", "-q", "-c", "--tries=1", "--timeout=10", "-P", folder, URL(port, "/big.bin")},
                                m_dir / "wget.out");
    EXPECT_EQ(wget.exitCode, 0);
    EXPECT_EQ(Sha256(folder + "/big.bin"), Sha256(m_root + "/big.bin"));
    // Resumed, not fetched again from the start.
    std::vector<std::string> lines = LogLines(m_logs.front().path);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("\"GET /big.bin HTTP/1.1\" 206 " + std::to_string(big.size() - 999999)),
              std::string::npos)
        << lines.back();
}

// Resuming a download that is already complete asks for the bytes after
// the last one: the reply says so, and neither client touches its copy.
TEST_F(RangesTest, ResumingACompleteDownloadIsDone)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string content = Numbered(5000);
    WriteFile(m_root + "/done.txt", content);
    StartServers();

    const std::string copy = m_dir / "done.txt";
    WriteFile(copy, content);
    RunResult curl = Curl({"-C", "-", "-o", copy, "-D", m_dir / "head.txt", "-w", "%{http_code}", URL(port, "/done.txt")});
    EXPECT_EQ(curl.exitCode, 0);
    EXPECT_EQ(curl.output, "416");
    EXPECT_NE(ReadFile(m_dir / "head.txt").find("Content-range: bytes */5000\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(copy), content);

    if (!HaveTool("/usr/bin/wget"))
        GTEST_SKIP() << "wget is not installed; curl alone was checked";
    const std::string folder = m_dir / "wget";
    WriteFile(folder + "/done.txt", content);
    RunResult wget = RunProgram({"wget", "-q", "-c", "--tries=1", "--timeout=10", "-P", folder, URL(port, "/done.txt")},
                                m_dir / "wget.out");
    EXPECT_EQ(wget.exitCode, 0);
    EXPECT_EQ(ReadFile(folder + "/done.txt"), content);
}

// A set without a range that names bytes of the file is never answered as
// partial content: one that names none is ignored, one that names bytes
// only outside the file is refused, and a spec that names none beside a
// valid one is dropped.
TEST_F(RangesTest, RangesThatNameNoBytesAreNotPartialContent)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string content = Numbered(1000);
    WriteFile(m_root + "/n.txt", content);
    StartServers();

    struct Case {
        const char* range;
        const char* status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"bytes=5-0", "200", content},
        {"bytes=200-100,300-200", "200", content},
        {"bytes=0-4,9-5", "206", content.substr(0, 5)},
        {"bytes=-0", "416", ""},
    };
    for (const Case& c : cases) {
        RunResult run = Curl({"-H", std::string("Range: ") + c.range, "-w", "|%{http_code}", URL(port, "/n.txt")});
        EXPECT_EQ(run.output, c.body + "|" + c.status) << c.range;
    }
}

} // namespace
