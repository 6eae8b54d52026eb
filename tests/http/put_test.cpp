// PUT: the Content-length rules, the explicit grant it needs, the document
// replaced whole or not at all, and no temporary file left behind.

#include "platform/files.h"
#include "http_server_fixture.h"

#include "http/put.h"

#include <thread>

using namespace http_test;

namespace {

TEST(ContentLengthTest, OnlyADecimalNumberIsALength)
{
    struct Case {
        const char* headers;
        BodyLength result;
        std::int64_t length;
    };
    const Case cases[] = {
        {"Content-length: 5\r\n", BodyLength::Valid, 5},
        {"X: y\r\ncontent-LENGTH:   12  \r\n", BodyLength::Valid, 12},
        {"Content-length: 0\r\n", BodyLength::Valid, 0},
        {"Content-length: 7\r\nContent-length: 9\r\n", BodyLength::Valid, 7},
        {"Content-length:\r\n", BodyLength::Missing, 0},
        {"X: y\r\n", BodyLength::Missing, 0},
        {"Content-length: -5\r\n", BodyLength::Invalid, 0},
        {"Content-length: 5x\r\n", BodyLength::Invalid, 0},
        {"Content-length: 99999999999999999999\r\n", BodyLength::Invalid, 0},
        {"Content-lengthy: 5\r\n", BodyLength::Missing, 0},
    };
    for (const Case& c : cases) {
        std::int64_t length = -1;
        EXPECT_EQ(GetContentLength(c.headers, length), c.result) << c.headers;
        if (c.result == BodyLength::Valid) {
            EXPECT_EQ(length, c.length) << c.headers;
        }
    }
}

std::string Put(const std::string& url, const std::string& body, const std::string& lengthLine)
{
    return "PUT " + url + " HTTP/1.0\r\n" + lengthLine + "\r\n" + body;
}
std::string Put(const std::string& url, const std::string& body)
{
    return Put(url, body, "Content-length: " + std::to_string(body.size()) + "\r\n");
}

class PutTest : public HTTPServerTest {
protected:
    void SetUp() override
    {
        HTTPServerTest::SetUp();
        WriteFile(m_root + "/doc.txt", "old text");
        ::chmod((m_root + "/doc.txt").c_str(), 0640);
        WriteFile(m_root + "/doc.txt.~ACL~", "Allow-user: PUT,*,*\r\nAllow-user: GET,*,*\r\n");
    }
    // Anything in the root but the two files of SetUp and what a test made.
    std::vector<std::string> Leftovers()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_root))
            if (entry.path().filename().string().rfind(std::string(platform::kReplacementPrefix), 0) == 0)
                names.push_back(entry.path().filename());
        return names;
    }
};

TEST_F(PutTest, AGrantedPutReplacesTheDocument)
{
    StartServer();
    Reply reply = Ask(Put("/doc.txt", "new text, longer"));
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "new text, longer");
    struct stat info {};
    ASSERT_EQ(::stat((m_root + "/doc.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u) << "the document keeps its permissions";
    EXPECT_TRUE(Leftovers().empty());

    EXPECT_EQ(Ask(Put("/doc.txt", "")).status, 201);
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "");
}

TEST_F(PutTest, LengthsThatCannotBeTrustedAreRefused)
{
    StartServer();
    struct Case {
        const char* lengthLine;
        int status;
    };
    const Case cases[] = {
        {"", 411},
        {"Content-length: \r\n", 411},
        {"Content-length: -3\r\n", 400},
        {"Content-length: ten\r\n", 400},
    };
    for (const Case& c : cases) {
        Reply reply = Ask(Put("/doc.txt", "abc", c.lengthLine));
        EXPECT_EQ(reply.status, c.status) << c.lengthLine;
        EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "old text") << c.lengthLine;
    }
    EXPECT_TRUE(Leftovers().empty());
}

TEST_F(PutTest, ABodyOverTheLimitIs413)
{
    CHTTPServer* server = StartServer();
    server->SetMaxPutBytes(10);
    EXPECT_EQ(Ask(Put("/doc.txt", std::string(10, 'a'))).status, 201);
    EXPECT_EQ(Ask(Put("/doc.txt", std::string(11, 'b'))).status, 413);
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), std::string(10, 'a'));
}

TEST_F(PutTest, AClientThatStopsMidBodyLeavesTheDocument)
{
    StartServer();
    std::vector<Reply> replies = SplitReplies(Exchange(Put("/doc.txt", "only part", "Content-length: 1000\r\n")));
    EXPECT_EQ(ReadFile(m_root + "/doc.txt"), "old text");
    EXPECT_TRUE(Leftovers().empty());
    for (const Reply& reply : replies)
        EXPECT_NE(reply.status, 201);
}

TEST_F(PutTest, PutNeedsALineThatGrantsIt)
{
    WriteFile(m_root + "/open.txt", "open");
    WriteFile(m_root + "/refused.txt", "refused");
    WriteFile(m_root + "/refused.txt.~ACL~", "Reject-user: PUT,*,*\r\nAllow-user: *,*,*\r\n");
    StartServer();
    // An empty list grants reading, not writing.
    EXPECT_EQ(Ask(Get("/open.txt")).status, 200);
    EXPECT_EQ(Ask(Put("/open.txt", "changed")).status, 401);
    EXPECT_EQ(Ask(Put("/refused.txt", "changed")).status, 401);
    EXPECT_EQ(ReadFile(m_root + "/open.txt"), "open");
    EXPECT_EQ(ReadFile(m_root + "/refused.txt"), "refused");
    // A URL that names no file is not created.
    EXPECT_EQ(Ask(Put("/missing.txt", "x")).status, 404);
    EXPECT_FALSE(std::filesystem::exists(m_root + "/missing.txt"));
}

TEST_F(PutTest, AKeptConnectionGoesOnAfterAPut)
{
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.keepAliveTimeout = 1; });
    std::string first = "PUT /doc.txt HTTP/1.0\r\nConnection: keep-alive\r\nContent-length: 3\r\n\r\nnew";
    std::vector<Reply> replies = SplitReplies(Exchange(first + Get("/doc.txt")));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].status, 201);
    EXPECT_EQ(replies[1].status, 200);
    EXPECT_EQ(replies[1].body, "new");
}

} // namespace
