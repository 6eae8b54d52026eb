// Dispatch: Basic credentials, the access lists of the server, the virtual
// path and the document, directory pages, methods, and the files no method
// may reach.

#include "http_server_fixture.h"
#include "basic_credentials.h"
#include "test_account.h"

#include "config/acl_file.h"
#include "http/dispatch.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

using namespace http_test;

namespace {

TEST(BasicCredentialsTest, ThePasswordIsEverythingAfterTheFirstColon)
{
    struct Case {
        const char* decoded;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {"bob:secret", "bob", "secret"},
        {"bob:se:cr:et", "bob", "se:cr:et"},
        {"bob:", "bob", ""},
        {"bob", "bob", ""},
        {":secret", "", "secret"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        std::string user = "x";
        std::string password = "y";
        SplitBasicCredentials(c.decoded, user, password);
        EXPECT_EQ(user, c.user) << c.decoded;
        EXPECT_EQ(password, c.password) << c.decoded;
    }
}

TEST(AccessDecisionTest, PutNeedsAnExplicitGrant)
{
    struct Case {
        const char* method;
        std::vector<std::pair<int, bool>> lists; // verdict, list empty
        bool granted;
    };
    const Case cases[] = {
        {"GET", {{-1, true}, {-1, true}}, true},
        {"GET", {{-1, true}, {-1, false}}, false},
        {"GET", {{1, false}, {0, false}}, false},
        {"POST", {{-1, true}, {1, false}}, true},
        {"PUT", {{-1, true}, {-1, true}}, false},
        {"PUT", {{-1, true}, {1, false}}, true},
        {"PUT", {{1, false}, {0, false}}, false},
        {"PUT", {{1, false}, {-1, true}}, true},
    };
    for (const Case& c : cases) {
        CAccessDecision decision(c.method);
        for (auto [verdict, empty] : c.lists)
            decision.Add(verdict, empty);
        EXPECT_EQ(decision.IsGranted(), c.granted) << c.method << " over " << c.lists.size() << " lists";
    }
}

class DispatchTest : public HTTPServerTest {};

TEST_F(DispatchTest, TheServerListRefusesAnAddressOnTheFirstRequest)
{
    WriteFile(m_root + "/a.txt", "alpha");
    StartServer({}, [this](CHTTPServerConfig& config) {
        SetACL("Server\\ACL", {"Reject-user: *,*,127.0.0.*", "Allow-user: *,*,*"});
        config.GetAccessList().Load(Key("Server"), "ACL");
    });
    Reply reply = Ask(Get("/a.txt"));
    EXPECT_EQ(reply.status, 401);
    EXPECT_EQ(reply.body, Page("http-noauth"));
}

// Descriptors above the highest open one, for a test that runs them out.
int HighestOpenDescriptor()
{
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        highest = std::max(highest, std::atoi(entry.path().filename().c_str()));
    return highest;
}

// True when a thread of this process waits in accept: the kernel takes the
// descriptor for its next client before the wait, so that slot stays taken
// however the table is filled meanwhile.
bool SomeThreadWaitsInAccept()
{
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "syscall");
        long call = -1;
        if (in >> call && call == SYS_accept4)
            return true;
    }
    return false;
}

// A document that is there but cannot be opened for want of descriptors is
// a failure of the server (500), never a 404, and the failure is not kept.
TEST_F(DispatchTest, AFileThatCannotBeOpenedForWantOfDescriptorsIsAServerError)
{
#ifdef VELMORA_SANITIZE
    GTEST_SKIP() << "the sanitizers probe memory through a pipe, which a process without descriptors cannot open";
#endif
    WriteFile(m_root + "/a.txt", "alpha");
    WriteFile(m_root + "/b.txt", "beta");
    StartServer();
    ASSERT_EQ(Ask(Get("/a.txt")).status, 200); // the access log is open now

    // The client is accepted before the table is filled, and the listener
    // is back in accept: no descriptor is taken or given back behind the
    // test's back while the request is served (a slot the listener took
    // after the filling was one the file could get).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto settle = [&deadline](auto done) {
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return done();
    };
    ASSERT_TRUE(settle([] { return OpenClientSockets() == 0; }));
    WSocket client;
    client.SetTimeout(5000);
    ASSERT_EQ(client.Connect("127.0.0.1", m_port), 0);
    ASSERT_TRUE(settle([] { return OpenClientSockets() == 1 && SomeThreadWaitsInAccept(); }));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(HighestOpenDescriptor() + 64);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        filler.push_back(fd);
    client.SendText(Get("/b.txt"), false);
    ::shutdown(client.GetHandle(), SHUT_WR);
    std::string received;
    char buffer[8192];
    for (int got; (got = client.Read(buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(got));
    for (int fd : filler)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    std::vector<Reply> starved = SplitReplies(received);
    ASSERT_EQ(starved.size(), 1u) << received;
    EXPECT_EQ(starved[0].status, 500);
    EXPECT_EQ(starved[0].body, Page("http-servererror"));
    EXPECT_EQ(Ask(Get("/b.txt")).status, 200);
}

TEST_F(DispatchTest, ExecRefusalBlocksMacroDocumentsButNotFiles)
{
    WriteFile(m_root + "/page.htm", "%expand% page");
    WriteFile(m_root + "/a.txt", "alpha");
    StartServer({}, [this](CHTTPServerConfig& config) {
        SetACL("Server\\ACL", {"Reject-user: EXEC,*,*", "Allow-user: *,*,*"});
        config.GetAccessList().Load(Key("Server"), "ACL");
    });
    EXPECT_EQ(Ask(Get("/page.htm")).status, 401);
    EXPECT_EQ(Ask(Get("/a.txt")).status, 200);
}

TEST_F(DispatchTest, MethodsAndSimpleRequests)
{
    WriteFile(m_root + "/a.txt", "alpha");
    std::filesystem::create_directories(m_root + "/dir");
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.dirBrowsing = 1; },
                [this](CHTTPServerConfig& config) {
                    SetACL("Server\\ACL", {"Allow-user: *,*,*"});
                    config.GetAccessList().Load(Key("Server"), "ACL");
                });
    // A directory is listed for reading; a granted PUT to it fails instead
    // of looking like a stored upload.
    EXPECT_EQ(Ask(Get("/dir/")).status, 200);
    EXPECT_EQ(Ask("PUT /dir/ HTTP/1.0\r\nContent-length: 1\r\n\r\nx").status, 409);

    Reply unknown = Ask("DELETE /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(unknown.status, 405);
    EXPECT_EQ(unknown.body, Page("http-badcommand"));

    Reply simplePost = Ask("POST /a.txt\r\n");
    EXPECT_EQ(simplePost.status, 501);
    EXPECT_EQ(simplePost.body, Page("http-getonly"));

    // A simple GET is answered without a header.
    EXPECT_EQ(Exchange("GET /a.txt\r\n"), "alpha");

    Reply head = Ask("HEAD /a.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.Has("Content-length: 5"));
    EXPECT_EQ(head.body, "");
}

TEST_F(DispatchTest, AccessListFilesAreNeverServedOrReplaced)
{
    WriteFile(m_root + "/a.txt", "alpha");
    WriteFile(m_root + "/a.txt.~ACL~", "Allow-user: *,*,*\r\n");
    WriteFile(m_root + "/.~ACL~", "Allow-user: *,*,*\r\n");
    StartServer();
    const std::vector<std::string> requests = {
        Get("/a.txt.~ACL~"), Get("/.~acl~"), Get("/a.txt.%7EACL%7E"), "HEAD /.~ACL~ HTTP/1.0\r\n\r\n",
        "PUT /a.txt.~ACL~ HTTP/1.0\r\nContent-length: 4\r\n\r\nnone"};
    for (const std::string& request : requests) {
        EXPECT_EQ(Ask(request).status, 404) << request;
    }
    EXPECT_EQ(ReadFile(m_root + "/a.txt.~ACL~"), "Allow-user: *,*,*\r\n");
}

TEST_F(DispatchTest, TraverseCheckingWalksEveryFolder)
{
    WriteFile(m_root + "/a/b/doc.txt", "deep");
    WriteFile(m_root + "/a/.~ACL~", "Reject-user: TRAVERSE,*,*\r\nAllow-user: *,*,*\r\n");
    StartServer();
    EXPECT_EQ(Ask(Get("/a/b/doc.txt")).status, 200) << "no traverse checks unless configured";
    StopAllServers();
    DeleteAllServers();
    StartServer([](CServiceSettings&, CHTTPSettings& http) { http.traverseChecking = 1; });
    EXPECT_EQ(Ask(Get("/a/b/doc.txt")).status, 401);
}

TEST_F(DispatchTest, AProgramWithoutExecCGIRunsOnlyWithAQuery)
{
    WriteFile(m_root + "/run.cgi", "printf 'Content-type: text/plain\\n\\nhi'\n");
    StartServer({}, [this](CHTTPServerConfig& config) {
        SetValues("Server\\CGIExt\\cgi", {{"CommandLine", "/bin/sh %cgi-script%"}});
        Key("Server\\CGIExt\\cgi").SetDword("ExecCGI", 0);
        config.GetCGIExt().LoadFromKey(Key("Server"), "CGIExt");
    });
    // A program that may not run without a query is not there at all.
    EXPECT_EQ(Ask(Get("/run.cgi")).status, 404);
    EXPECT_EQ(Ask(Get("/run.cgi?x"), false).status, 200);
}

} // namespace

// A logon made for one request must not carry over to the next request of
// a kept-alive connection. Needs root and a PAM account of its own.
class NTLogonTest : public HTTPServerTest {
protected:
    void SetUp() override
    {
        HTTPServerTest::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to create a PAM test account";
        m_user = "velmora-ht-" + std::to_string(::getpid());
        int status = std::system(("/bin/sh '" + TestAccountScript() + "' create " + m_user + " 'Pw:of-test-1' >/dev/null 2>&1").c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) == 2 || WEXITSTATUS(status) == 3)
            GTEST_SKIP() << "useradd, chpasswd or pam_unix is missing (see tools/test-account.sh)";
        ASSERT_EQ(WEXITSTATUS(status), 0);
        m_created = true;
    }
    void TearDown() override
    {
        HTTPServerTest::TearDown();
        if (m_created)
            std::system(("/bin/sh '" + TestAccountScript() + "' remove " + m_user + " >/dev/null 2>&1").c_str());
    }
    std::string m_user;
    bool m_created = false;
};

TEST_F(NTLogonTest, ALogonIsRevertedBeforeTheNextKeptAliveRequest)
{
    ::chmod(m_dir.Path().c_str(), 0755);
    ::chmod(m_root.c_str(), 0755);
    WriteFile(m_root + "/public.txt", "public");
    ::chmod((m_root + "/public.txt").c_str(), 0644);
    WriteFile(m_root + "/server-only.txt", "server only");
    ::chmod((m_root + "/server-only.txt").c_str(), 0600);
    StartServer([](CServiceSettings& service, CHTTPSettings& http) {
        service.useNTAuthentication = 1;
        http.keepAliveTimeout = 1;
    });
    std::string credentials = BasicCredentials(m_user + ":Pw:of-test-1");
    std::vector<Reply> replies = SplitReplies(
        Exchange(Get("/public.txt", "Connection: keep-alive\r\nAuthorization: Basic " + credentials + "\r\n") +
                 Get("/server-only.txt")));
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].body, "public");
    EXPECT_EQ(replies[1].status, 200);
    EXPECT_EQ(replies[1].body, "server only");
}
