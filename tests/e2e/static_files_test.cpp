// Plain files, missing files, directories and redirections, fetched by curl.

#include "e2e_server.h"

#include <sys/stat.h>

using namespace e2e;

namespace {

class StaticFilesTest : public E2ETest {};

TEST_F(StaticFilesTest, TextAndBinaryFilesArriveByteForByte)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/hello.txt", "Hello, world.\n");
    std::string binary;
    for (std::uint32_t i = 0; i < 300000; ++i)
        binary.push_back(static_cast<char>((i * 7919u) >> 3));
    WriteFile(m_root + "/data.bin", binary);
    StartServers();

    for (const char* name : {"/hello.txt", "/data.bin"}) {
        std::string saved = m_dir / "download";
        RunResult get = Curl({"-o", saved, "-w", "%{http_code} %{size_download}", URL(port, name)});
        ASSERT_EQ(get.exitCode, 0) << name;
        std::string size = std::to_string(std::filesystem::file_size(m_root + name));
        EXPECT_EQ(get.output, "200 " + size) << name;
        EXPECT_EQ(Sha256(saved), Sha256(m_root + name)) << name;

        RunResult head = Curl({"-I", URL(port, name)});
        EXPECT_EQ(head.exitCode, 0);
        EXPECT_EQ(head.output.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head.output;
        EXPECT_NE(head.output.find("Content-length: " + size + "\r\n"), std::string::npos) << head.output;
    }
}

TEST_F(StaticFilesTest, AMissingFileGetsTheBadURLPage)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    StartServers();
    RunResult run = Curl({"-w", "\n%{http_code}", URL(port, "/nothing-here.txt")});
    EXPECT_EQ(run.output, Page("http-badurl") + "\n404");
}

TEST_F(StaticFilesTest, DirectoriesAreListedOnlyWhereBrowsingIsOn)
{
    std::uint16_t browsing = FreePort();
    std::uint16_t closed = FreePort();
    ASSERT_NE(browsing, closed);
    Key(AddServer(browsing)).SetDword("DirBrowsing", 1);
    Key(AddServer(closed)).SetDword("DirBrowsing", 0);
    WriteFile(m_root + "/dir/file.txt", "x");
    StartServers();

    RunResult listed = Curl({"-w", "\n%{http_code}", URL(browsing, "/dir/")});
    EXPECT_EQ(listed.output.substr(listed.output.size() - 4), "\n200");
    EXPECT_NE(listed.output.find("<h2>Index of /dir/</h2>"), std::string::npos) << listed.output;
    // The listing is expanded: the entry's link, name, type and size.
    EXPECT_NE(listed.output.find("<A HREF=\"file.txt\">file.txt</A>"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("text/plain - "), std::string::npos);
    EXPECT_NE(listed.output.find(" - 1 bytes"), std::string::npos);
    EXPECT_EQ(listed.output.find("%dir("), std::string::npos);
    RunResult hidden = Curl({"-w", "\n%{http_code}", URL(closed, "/dir/")});
    EXPECT_EQ(hidden.output, Page("http-badurl") + "\n404");
}

TEST_F(StaticFilesTest, ARedirectionIsFollowed)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    SetValues("HTTP\\Redirections", {{"/old.htm", "/new.txt"}});
    WriteFile(m_root + "/new.txt", "the new place");
    StartServers();
    RunResult plain = Curl({"-w", "%{http_code} %{redirect_url}", "-o", "/dev/null", URL(port, "/old.htm")});
    EXPECT_EQ(plain.output, "302 " + URL(port, "/new.txt"));
    RunResult followed = Curl({"-L", URL(port, "/old.htm")});
    EXPECT_EQ(followed.output, "the new place");
}

// curl -z sends the reference file's time as If-Modified-Since; whole
// seconds decide, though the served file's time has a fraction.
TEST_F(StaticFilesTest, AnUnchangedFileIsNotModified)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/page.txt", "dated");
    const std::string same = m_dir / "same";
    const std::string older = m_dir / "older";
    WriteFile(same, "");
    WriteFile(older, "");
    const std::time_t when = std::time(nullptr) - 3600;
    auto setTime = [](const std::string& path, std::time_t seconds, long nanoseconds) {
        struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    };
    setTime(m_root + "/page.txt", when, 500000000);
    setTime(same, when, 0);
    setTime(older, when - 1, 0);
    StartServers();

    RunResult unchanged = Curl({"-z", same, "-w", "|%{http_code}", URL(port, "/page.txt")});
    EXPECT_EQ(unchanged.output, "|304");
    RunResult changed = Curl({"-z", older, "-w", "|%{http_code}", URL(port, "/page.txt")});
    EXPECT_EQ(changed.output, "dated|200");
}

} // namespace
