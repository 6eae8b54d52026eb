// Forms read by real pages of a running server: query strings, URL-encoded
// bodies, multipart bodies sent by curl -F and built by hand, the body
// limit, the Content-length bound on a kept-alive connection, and
// form-saveas.

#include "http_server_fixture.h"

#include "http/form.h"
#include "http/http_request.h"
#include "macro/macro_exception.h"

#include <cstdio>

using namespace http_test;

namespace {

struct Part {
    std::string name;
    std::string content;
    const char* fileName = nullptr;
};

std::string MultipartBody(const std::string& boundary, const std::vector<Part>& parts, bool close = true)
{
    std::string body;
    for (const Part& part : parts) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
        if (part.fileName)
            body += std::string("; filename=\"") + part.fileName + "\"\r\nContent-Type: application/octet-stream";
        body += "\r\n\r\n" + part.content + "\r\n";
    }
    if (close)
        body += "--" + boundary + "--\r\n";
    return body;
}

std::string Post(const std::string& url, const std::string& type, const std::string& body,
                 const std::string& extra = "")
{
    return "POST " + url + " HTTP/1.0\r\nContent-type: " + type + "\r\nContent-length: " +
           std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

// Bytes that trip a line-based reader: CR LF pairs, a line that looks like
// a delimiter, NULs, a line longer than any line limit, a final CR LF.
std::string AwkwardBytes()
{
    std::string bytes("GIF89a\r\n--\r\n\0\0\r\r\n", 18);
    bytes += std::string(100 * 1024, 'x');
    bytes += "\n--AaB03\r\nend\r\n";
    return bytes;
}

class FormTest : public HTTPServerTest {
protected:
    void SetUp() override
    {
        HTTPServerTest::SetUp();
        WriteFile(m_root + "/a.txt", "hello");
    }
    void TearDown() override
    {
        SetMaxFormBodyBytes(0);
        HTTPServerTest::TearDown();
    }
    // A page at url whose body is text.
    void Page(const std::string& url, const std::string& text) { WriteFile(m_root + url, "%expand%" + text); }
    std::string Saved(const std::string& name) const { return m_dir / name; }
};

TEST_F(FormTest, QueryFieldsJoinCountAndDecode)
{
    StartServer();
    Page("/g.htm", "%form(a)|%form(a,1)|%form(b)|[%form(c)]|%a%|[%form(a,00)]|%form(NAME)|%form(name,0)|"
                   "%form(d)|%client-url%|%form(client-url)|%form-content-encoding%|"
                   // The field macros outlive a form the page removes.
                   "%set(form)%a%");
    Reply reply = Ask(Get("/g.htm?a=1&b=2&a=3&Name=N&d=x%2By+z&client-url=zzz"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "1,3|3|2|[]|1,3|[]|N|N|x+y z|/g.htm|zzz|GET|1,3");
}

TEST_F(FormTest, URLEncodedBodyFillsTheFieldsAndTheBody)
{
    StartServer();
    Page("/p.htm", "[%client-body%]%form(a)|%form(b)|%enumform([%name%=%value%])|%form-content-encoding%|"
                   "%form-saveas(" + Saved("none") + ",a)");
    Reply reply = Ask(Post("/p.htm?q=9", "Application/X-WWW-Form-URLEncoded", "a=1&b=2\r\n"));
    EXPECT_EQ(reply.status, 200);
    // The parser drops the trailing line end, enumform decodes it to blanks.
    EXPECT_EQ(reply.body, "[a=1&b=2\r\n]1|2|[q=9][a=1][b=2  ]|application/x-www-form-urlencoded|");
    EXPECT_FALSE(std::filesystem::exists(Saved("none")));
}

TEST_F(FormTest, CurlMultipartUploadIsSavedByteForByte)
{
    if (std::system("command -v curl > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "curl is not installed";
    StartServer();
    const std::string upload = m_dir / "upload.bin";
    WriteFile(upload, AwkwardBytes());
    Page("/up.htm", "%form(note)|%form(up)|%form(q)|%form-content-encoding%|%form-saveas(" + Saved("saved.bin") +
                        ",up)|%enumform(%name%)");
    const std::string command = "curl -s -F 'note=hi there' -F 'up=@" + upload + ";filename=pic.gif' " +
                                "'http://127.0.0.1:" + std::to_string(m_port) + "/up.htm?q=1'";
    std::string output;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, got);
        ::pclose(pipe);
    }
    EXPECT_EQ(output, "hi there|pic.gif|1|multipart/form-data||q");
    EXPECT_EQ(ReadFile(Saved("saved.bin")), AwkwardBytes());
}

struct BoundaryCase {
    const char* contentType;
    const char* expected;
};

TEST_F(FormTest, TheBoundaryIsTheFirstParameterQuotedOrNot)
{
    StartServer();
    Page("/m.htm", "%form(a)|%form(q)|%form(up)");
    const std::string body =
        MultipartBody("AaB03x", {{"a", "1"}, {"up", "bytes", "c:\\x\\pic.gif"}, {"a", "line one\r\nline two"}});
    const BoundaryCase cases[] = {
        {"multipart/form-data; boundary=AaB03x", "1,line one\r\nline two|9|c:\\x\\pic.gif"},
        {"Multipart/Form-Data;boundary=\"AaB03x\"", "1,line one\r\nline two|9|c:\\x\\pic.gif"},
        {"multipart/form-data; boundary=AaB03x; charset=x", "1,line one\r\nline two|9|c:\\x\\pic.gif"},
        {"multipart/form-data; charset=x; boundary=AaB03x", "|9|"},
        {"multipart/form-data", "|9|"},
    };
    for (const BoundaryCase& c : cases) {
        Reply reply = Ask(Post("/m.htm?q=9", c.contentType, body));
        EXPECT_EQ(reply.status, 200) << c.contentType;
        EXPECT_EQ(reply.body, c.expected) << c.contentType;
    }
}

TEST_F(FormTest, AMultipartBodyEndsAtItsContentLength)
{
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.keepAliveTimeout = 5; });
    Page("/m.htm", "[%form(a)][%form(b)]");
    const std::string keep = "Connection: keep-alive\r\n";
    // Unclosed: the parser would read on into the next request.
    const std::string open = MultipartBody("zz", {{"a", "1"}, {"b", "2"}}, false);
    // Closed, with an epilogue that is still body.
    const std::string closed = MultipartBody("zz", {{"a", "3"}}) + "epilogue\r\n";
    std::vector<Reply> replies = SplitReplies(Exchange(Post("/m.htm", "multipart/form-data; boundary=zz", open, keep) +
                                                       Post("/m.htm", "multipart/form-data; boundary=zz", closed, keep) +
                                                       Get("/a.txt")));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].body, "[1][]");
    EXPECT_EQ(replies[1].body, "[3][]");
    EXPECT_EQ(replies[2].body, "hello");

    // A closing delimiter that ends the body without its line end still closes.
    std::string bare = MultipartBody("zz", {{"a", "4"}});
    bare.resize(bare.size() - 2);
    replies = SplitReplies(Exchange(Post("/m.htm", "multipart/form-data; boundary=zz", bare, keep) + Get("/a.txt")));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].body, "[4][]");
    EXPECT_EQ(replies[1].status, 200);
    EXPECT_EQ(replies[1].body, "hello");
}

struct LimitCase {
    const char* contentType;
    std::size_t bodyBytes;
    int status;
};

TEST_F(FormTest, ABodyOneByteOverTheLimitIsRefused)
{
    StartServer();
    Page("/p.htm", "%form(a)");
    SetMaxFormBodyBytes(200);
    const LimitCase cases[] = {
        {"application/x-www-form-urlencoded", 200, 200},
        {"application/x-www-form-urlencoded", 201, 413},
        {"multipart/form-data; boundary=zz", 200, 200},
        {"multipart/form-data; boundary=zz", 201, 413},
    };
    for (const LimitCase& c : cases) {
        std::string body =
            std::string(c.contentType).starts_with("multipart") ? MultipartBody("zz", {{"a", "x"}}) : "a=x&pad=";
        body.resize(c.bodyBytes, 'p');
        Reply reply = Ask(Post("/p.htm", c.contentType, body));
        EXPECT_EQ(reply.status, c.status) << c.contentType << " " << c.bodyBytes;
        if (c.status == 200) {
            EXPECT_EQ(reply.body, "x") << c.contentType;
        }
    }
}

TEST_F(FormTest, SaveAsReportsItsFailures)
{
    RegisterTryMacros(*m_global);
    StartServer();
    const std::string missing = m_dir / "no/such/dir/f.bin";
    Page("/s.htm", "%form-saveas(" + missing + ",up)|%try(%form-saveas(" + missing +
                       ",up),%exception-type%:%exception-msg%)|%form-saveas(" + Saved("one.bin") + ",up,1)|" +
                       "%form-saveas(" + Saved("zero.bin") + ",UP,0)");
    Reply reply = Ask(Post("/s.htm", "multipart/form-data; boundary=zz",
                           MultipartBody("zz", {{"up", "data", "f.bin"}})));
    EXPECT_EQ(reply.body, "[form-saveas error 3: Error creating file]|form-saveas:Error creating file||");
    EXPECT_FALSE(std::filesystem::exists(Saved("one.bin")));
    EXPECT_EQ(ReadFile(Saved("zero.bin")), "data");
}

} // namespace
