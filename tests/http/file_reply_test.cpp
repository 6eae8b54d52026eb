#include "http/file_reply.h"

#include "framework/http_date.h"
#include "http/http_server_fixture.h"
#include "macro/exec_macros.h"
#include "macro/macro_exception.h"
#include "macro/mutex_macros.h"
#include "eventually.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

TEST(ByteRangesTest, SpecsReadAsDesigned)
{
    struct Case {
        const char* set;
        std::vector<CByteRange> ranges;
    };
    const std::int64_t size = 10000;
    std::string many;
    for (std::size_t i = 0; i < kMaxByteRanges; ++i)
        many += std::to_string(2 * i) + "-" + std::to_string(2 * i) + ",";
    const std::vector<Case> cases = {
        {"-500", {{9500, 9999}}},
        {"9000-", {{9000, 9999}}},
        {"0-99,200-299", {{0, 99}, {200, 299}}},
        {"0-99,", {{0, 99}}},
        {" 5 - 10 ", {{5, 10}}},
        // Past the end: cut to the last byte; an over-long suffix is the whole file.
        {"0-20000", {{0, 9999}}},
        {"-20000", {{0, 9999}}},
        // Nothing valid: the whole file goes as a plain reply.
        {"-", {}},
        {",", {}},
        {"", {}},
        {"a-b", {}},
        {"1-2-3", {}},
        {"200-100", {}},
        {"5-0,9-8", {}},
        {"0-1,5-0", {{0, 1}}},
        {"99999999999999999999-", {}},
        {"0-1,x,5-6", {{0, 1}, {5, 6}}},
        // Overlapping and touching ranges are merged, in file order, so no
        // set makes the reply much larger than the file.
        {"0-,0-,0-,0-", {{0, 9999}}},
        {"500-600,0-99,100-199,550-700", {{0, 199}, {500, 700}}},
        {"-100,9000-9950", {{9000, 9999}}},
    };
    for (const Case& c : cases) {
        bool unsatisfiable = true;
        EXPECT_EQ(ParseByteRanges(c.set, size, &unsatisfiable), c.ranges) << c.set;
        EXPECT_FALSE(unsatisfiable) << c.set;
    }
    // A first at or past the end is dropped; only when nothing else is left
    // is the set unsatisfiable.
    const std::vector<Case> outside = {
        {"10000-", {}}, {"20000-30000", {}}, {"10000-,-0x", {}}, {"-0", {}}, {"0-1,10000-", {{0, 1}}}, {"9999-", {{9999, 9999}}}};
    for (const Case& c : outside) {
        bool unsatisfiable = false;
        EXPECT_EQ(ParseByteRanges(c.set, size, &unsatisfiable), c.ranges) << c.set;
        EXPECT_EQ(unsatisfiable, c.ranges.empty()) << c.set;
    }
    EXPECT_TRUE(ParseByteRanges("0-10", 0).empty());
    EXPECT_EQ(ParseByteRanges(many, size).size(), kMaxByteRanges);
    EXPECT_TRUE(ParseByteRanges(many + "70-80", size).empty());
}

TEST(AcceptTest, TypesAgainstAcceptLists)
{
    struct Case {
        const char* type;
        const char* list;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"text/html", "", true},
        {"text/plain", "", true},
        {"image/gif", "", false},
        {"image/gif", "image/*,", true},
        {"image/gif", "IMAGE/GIF,", true},
        {"image/gif", "*/*,", true},
        {"image/gif", "image/jpeg,text/*,", false},
        {"image/gif", "image/jpeg,,image/gif,", false}, // an empty entry ends the list
        {"application/pdf", "application/pdfx,", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsAcceptableType(c.type, c.list), c.accepted) << c.type << " in " << c.list;

    std::string out;
    ParseAccept(out, "Host: x\r\nAccept: image/gif;q=0.5, image/png\r\naccept: */*\r\n\r\nAccept: late/one\r\n");
    EXPECT_EQ(out, "text/plain,text/html,image/gif,image/png,*/*");
}

TEST(ModifiedSinceTest, WholeSecondsDecide)
{
    char name[] = "/tmp/velmora-ims-XXXXXX";
    int handle = ::mkstemp(name);
    ASSERT_GE(handle, 0);
    const std::int64_t second = 1700000000;
    timespec times[2] = {{second, 0}, {second, 500000000}}; // half a second past
    ASSERT_EQ(::futimens(handle, times), 0);
    std::string same;
    FormatRFC1123DateString(same, SystemTimeFromUnixSeconds(second));
    std::string before;
    FormatRFC1123DateString(before, SystemTimeFromUnixSeconds(second - 1));
    EXPECT_FALSE(IsModifiedSince(handle, same));
    EXPECT_TRUE(IsModifiedSince(handle, before));
    EXPECT_TRUE(IsModifiedSince(handle, "not a date"));
    EXPECT_TRUE(IsModifiedSince(-1, same));
    ::close(handle);
    ::unlink(name);
}

class FileReplyTest : public http_test::HTTPServerTest {
protected:
    void SetUp() override
    {
        HTTPServerTest::SetUp();
        for (int i = 0; i < 10000; ++i)
            m_binary += static_cast<char>((i * 7919) % 256);
        http_test::WriteFile(m_root + "/data.bin", m_binary);
    }
    // What curl sends: the server checks types against it.
    static std::string Get(const std::string& url, const std::string& headers = "")
    {
        return HTTPServerTest::Get(url, "Accept: */*\r\n" + headers);
    }
    // Bodies are binary: compared without printing them.
    static bool Same(const std::string& a, const std::string& b) { return a == b; }
    std::string m_binary;
};

TEST_F(FileReplyTest, PlainFilesGetAndHead)
{
    http_test::WriteFile(m_root + "/empty.txt", "");
    StartServer();
    http_test::Reply get = Ask(Get("/data.bin"));
    EXPECT_EQ(get.status, 200);
    EXPECT_TRUE(get.Has("Content-length: 10000"));
    EXPECT_TRUE(get.Has("Content-type: application/octet-stream"));
    EXPECT_TRUE(get.Has("Accept-Ranges: bytes"));
    EXPECT_TRUE(Same(get.body, m_binary));

    http_test::Reply head = Ask("HEAD /data.bin HTTP/1.0\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.Has("Content-length: 10000"));
    EXPECT_EQ(head.body, "");
    // The same header block but for the date.
    auto withoutDate = [](std::string text) { return text.erase(text.find("Date: "), text.find("\r\n", text.find("Date: ")) - text.find("Date: ")); };
    EXPECT_EQ(withoutDate(head.head), withoutDate(get.head));

    http_test::Reply empty = Ask(Get("/empty.txt"));
    EXPECT_EQ(empty.status, 200);
    EXPECT_TRUE(empty.Has("Content-length: 0"));
    EXPECT_EQ(empty.body, "");
}

TEST_F(FileReplyTest, OneRangeIsPlainBytesSeveralAreMultipart)
{
    StartServer();
    struct Case {
        const char* range;
        std::int64_t first;
        std::int64_t last;
    };
    for (const Case& c : {Case{"0-99", 0, 99}, Case{"-500", 9500, 9999}, Case{"9000-", 9000, 9999}}) {
        http_test::Reply reply = Ask(Get("/data.bin", std::string("Range: bytes=") + c.range + "\r\n"));
        std::string span = std::to_string(c.first) + "-" + std::to_string(c.last);
        EXPECT_EQ(reply.status, 206) << c.range;
        EXPECT_TRUE(reply.Has("Content-range: bytes " + span + "/10000")) << reply.head;
        EXPECT_TRUE(reply.Has("Content-length: " + std::to_string(c.last - c.first + 1))) << reply.head;
        EXPECT_TRUE(Same(reply.body, m_binary.substr(static_cast<std::size_t>(c.first),
                                                     static_cast<std::size_t>(c.last - c.first + 1))))
            << c.range;
    }

    std::string stream = Exchange(Get("/data.bin", "Range: bytes=0-9,20-29\r\n"));
    std::size_t headEnd = stream.find("\r\n\r\n");
    ASSERT_NE(headEnd, std::string::npos);
    std::string head = stream.substr(0, headEnd + 2);
    EXPECT_EQ(head.rfind("HTTP/1.0 206 Partial content\r\n", 0), 0u);
    EXPECT_NE(head.find("Content-type: multipart/x-byteranges; boundary=\"vcDVjJoKkjHTtF\"\r\n"), std::string::npos);
    EXPECT_EQ(head.find("Connection: Keep-alive"), std::string::npos);
    std::string expected = "--vcDVjJoKkjHTtF\r\nContent-type: application/octet-stream\r\n"
                           "Content-range: bytes 0-9/10000\r\n\r\n" +
                           m_binary.substr(0, 10) +
                           "\r\n--vcDVjJoKkjHTtF\r\nContent-type: application/octet-stream\r\n"
                           "Content-range: bytes 20-29/10000\r\n\r\n" +
                           m_binary.substr(20, 10) + "\r\n--vcDVjJoKkjHTtF--\r\n";
    EXPECT_TRUE(Same(stream.substr(headEnd + 4), expected));

    // A range set that names nothing valid is a plain reply of the whole file.
    http_test::Reply invalid = Ask(Get("/data.bin", "Range: bytes=x-y\r\n"));
    EXPECT_EQ(invalid.status, 200);
    EXPECT_TRUE(Same(invalid.body, m_binary));
}

TEST_F(FileReplyTest, ConditionalRequestsCompareWholeSeconds)
{
    const std::int64_t second = 1700000000;
    int handle = ::open((m_root + "/data.bin").c_str(), O_RDONLY);
    ASSERT_GE(handle, 0);
    timespec times[2] = {{second, 0}, {second, 250000000}};
    ASSERT_EQ(::futimens(handle, times), 0);
    ::close(handle);
    StartServer();
    std::string same;
    FormatRFC1123DateString(same, SystemTimeFromUnixSeconds(second));
    std::string earlier;
    FormatRFC1123DateString(earlier, SystemTimeFromUnixSeconds(second - 60));

    http_test::Reply notModified = Ask(Get("/data.bin", "If-Modified-Since: " + same + "\r\n"));
    EXPECT_EQ(notModified.status, 304);
    EXPECT_TRUE(notModified.Has("Last-modified: " + same));
    EXPECT_EQ(notModified.body, "");
    // Not modified wins over a range.
    EXPECT_EQ(Ask(Get("/data.bin", "If-Modified-Since: " + same + "\r\nRange: bytes=0-1\r\n")).status, 304);
    http_test::Reply modified = Ask(Get("/data.bin", "If-Modified-Since: " + earlier + "\r\n"));
    EXPECT_EQ(modified.status, 200);
    EXPECT_TRUE(Same(modified.body, m_binary));
}

TEST_F(FileReplyTest, MacroDocumentsAreExpandedAndNeverCached)
{
    http_test::WriteFile(m_root + "/page.htm", "%expand%<p>%client-method% page</p>");
    StartServer();
    std::string date;
    FormatRFC1123DateString(date, CurrentSystemTime());
    for (const std::string& extra : {std::string(), "If-Modified-Since: " + date + "\r\nRange: bytes=0-3\r\n"}) {
        http_test::Reply reply = Ask(Get("/page.htm", extra));
        EXPECT_EQ(reply.status, 200) << extra;
        EXPECT_EQ(reply.body, "<p>GET page</p>");
        EXPECT_TRUE(reply.Has("Content-length: 15")) << reply.head;
        EXPECT_TRUE(reply.Has("Content-type: text/html"));
        EXPECT_TRUE(reply.Has("Pragma: no-cache"));
        EXPECT_NE(reply.head.find("\r\nExpires: "), std::string::npos);
        EXPECT_EQ(reply.head.find("Accept-Ranges"), std::string::npos);
    }
    http_test::Reply head = Ask("HEAD /page.htm HTTP/1.0\r\nAccept: */*\r\n\r\n");
    EXPECT_TRUE(head.Has("Content-length: 16")); // "HEAD" expanded, not sent
    EXPECT_EQ(head.body, "");
}

TEST_F(FileReplyTest, AProgramInAMutexEndsWhenItsClientLeaves)
{
    // The program would hold the mutex for a minute; its client leaves.
    http_test::WriteFile(m_root + "/slow.htm", "%expand%%mutex(Held,%exec(/bin/sleep 60))slow");
    http_test::WriteFile(m_root + "/next.htm", "%expand%%mutex(Held,next)");
    StartServer();
    RegisterExecMacro(*m_global);
    RegisterMutexMacros(*m_global);
    {
        WSocket client;
        ASSERT_EQ(client.Connect("127.0.0.1", m_port), 0);
        client.SendText(Get("/slow.htm"), false);
        // Gone once the program runs: the request waits for it.
        ASSERT_TRUE(Eventually([&] { return std::system("pgrep -x -f '/bin/sleep 60' >/dev/null") == 0; }, 20000));
        client.AbortWithReset();
    }
    std::uint64_t start = platform::MonotonicMs();
    http_test::Reply next = Ask(Get("/next.htm"), false);
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body, "next");
    // Far below the minute the program would have held the mutex.
    EXPECT_LT(platform::MonotonicMs() - start, 30000u);
}

TEST_F(FileReplyTest, ATypeTheClientRefusesIs400)
{
    http_test::WriteFile(m_root + "/picture.gif", "GIF89a");
    http_test::WriteFile(m_root + "/page.htm", "html");
    StartServer(nullptr, [](CHTTPServerConfig& config) {
        config.GetMappings().SetAt("gif", "image/gif");
    });
    EXPECT_EQ(Ask(HTTPServerTest::Get("/picture.gif")).status, 400);
    EXPECT_EQ(Ask(HTTPServerTest::Get("/page.htm")).status, 200);
    http_test::Reply accepted = Ask(HTTPServerTest::Get("/picture.gif", "Accept: image/*\r\n"));
    EXPECT_EQ(accepted.status, 200);
    EXPECT_EQ(accepted.body, "GIF89a");
}

} // namespace

namespace {

TEST_F(FileReplyTest, FailuresInsideAPageEndItsReply)
{
    struct Case {
        const char* page;
        int status;
        const char* shown; // in the body; for a redirect, in the Location line
    };
    const std::vector<Case> cases = {
        {"%expand%before %throw(oops,7,went wrong)% after", 500, "<code>oops 7: went wrong</code>"},
        {"%expand%before %redirect(/elsewhere.htm)% after", 302, "Location: /elsewhere.htm"},
        {"%expand%%try(%throw(x,1,y),caught) fine", 200, "caught fine"},
    };
    RegisterTryMacros(*m_global);
    StartServer();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string url = "/p" + std::to_string(i) + ".htm";
        http_test::WriteFile(m_root + url, cases[i].page);
        http_test::Reply reply = Ask(Get(url));
        EXPECT_EQ(reply.status, cases[i].status) << cases[i].page;
        EXPECT_NE((reply.head + reply.body).find(cases[i].shown), std::string::npos) << reply.head << reply.body;
        // Nothing of the page's partial output leaks into the error reply.
        if (cases[i].status != 200) {
            EXPECT_EQ(reply.body.find("before"), std::string::npos) << reply.body;
        }
    }
}

} // namespace
