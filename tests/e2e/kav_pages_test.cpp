// KAV pages through curl: forms sent with -d and -F, user macros, try and
// throw, and an uncaught macro error shown as the KAV error page.

#include "e2e_server.h"

using namespace e2e;

namespace {

class KavPagesTest : public E2ETest {
protected:
    // The KAV error page as the server fills it in for one exception.
    std::string ErrorPage(const std::string& type, const std::string& number, const std::string& message)
    {
        CMacroContext scope(GetHTTPStringsScope());
        scope.Register("type", std::make_unique<CValueMacro>(type));
        scope.Register("number", std::make_unique<CValueMacro>(number));
        scope.Register("message", std::make_unique<CValueMacro>(message));
        CTextBuffer out;
        scope.Expand(&out, "%http-kaverror%");
        return out.ToString();
    }
};

TEST_F(KavPagesTest, FormsSentByCurlAreReadByThePage)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    const std::string saved = m_dir / "saved.bin";
    WriteFile(m_root + "/form.htm", "%expand%[%form(a)][%form(b)][%form(note)]%form-saveas(" + saved + ",up)");
    std::string upload;
    for (int i = 0; i < 70000; ++i)
        upload.push_back(static_cast<char>(i * 31 % 256));
    WriteFile(m_dir / "upload.bin", upload);
    StartServers();

    RunResult posted = Curl({"-d", "a=1%262&b=two+words", "-w", "|%{http_code}", URL(port, "/form.htm")});
    EXPECT_EQ(posted.output, "[1&2][two words][]|200");

    RunResult multipart = Curl({"-F", "note=hi there", "-F", "up=@" + std::string(m_dir / "upload.bin"), "-w",
                                "|%{http_code}", URL(port, "/form.htm?a=q")});
    EXPECT_EQ(multipart.output, "[q][][hi there]|200");
    EXPECT_EQ(Sha256(saved), Sha256(m_dir / "upload.bin"));
}

TEST_F(KavPagesTest, APageDefinesAndCallsAUserMacro)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    // A comma in the body would end it: the body is the second argument.
    WriteFile(m_root + "/macro.htm", "%expand%%define(greet,'Hello %who% and %arg(1)! %num-args%,who)"
                                     "%greet(World,again)|%greet(you)|%defined(who)|%defined(greet)");
    StartServers();
    RunResult run = Curl({"-w", "|%{http_code}", URL(port, "/macro.htm")});
    EXPECT_EQ(run.output, "Hello World and again! 2|Hello you and ! 1||T|200");
}

TEST_F(KavPagesTest, ATryCatchesAThrow)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/try.htm", "%expand%<%try('lost %throw(mine,42,oops),'%exception-type%/%exception-number%/"
                                   "%exception-msg%)>");
    StartServers();
    RunResult run = Curl({"-w", "|%{http_code}", URL(port, "/try.htm")});
    EXPECT_EQ(run.output, "<mine/42/oops>|200");
}

TEST_F(KavPagesTest, AnUncaughtErrorIsTheKavErrorPageWith500)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    WriteFile(m_root + "/bad.htm", "%expand%before %throw(oops,7,went wrong)% after");
    StartServers();
    RunResult run = Curl({"-D", m_dir / "head.txt", "-w", "|%{http_code}", URL(port, "/bad.htm")});
    EXPECT_EQ(run.output, ErrorPage("oops", "7", "went wrong") + "|500");
    EXPECT_EQ(ReadFile(m_dir / "head.txt").rfind("HTTP/1.0 500 ", 0), 0u);
    // The page's partial output is gone and the hit is logged with its status.
    std::vector<std::string> lines = LogLines(m_logs.front().path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"GET /bad.htm HTTP/1.1\" 500 "), std::string::npos) << lines[0];
}

// An error page that itself fails to expand is a server error, sent as 500
// (the status the log shows), never as a 200 document.
TEST_F(KavPagesTest, AFailingErrorPageIsTheServerErrorPageWith500)
{
    std::uint16_t port = FreePort();
    AddServer(port);
    SetValues("HTTP\\Strings", {{"http-badurl", "%throw(lost,3,page)%"}});
    StartServers();
    RunResult run = Curl({"-D", m_dir / "head.txt", "-w", "|%{http_code}", URL(port, "/missing.htm")});
    EXPECT_EQ(run.output, Page("http-servererror") + "|500");
    EXPECT_EQ(ReadFile(m_dir / "head.txt").rfind("HTTP/1.0 500 ", 0), 0u);
    std::vector<std::string> lines = LogLines(m_logs.front().path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"GET /missing.htm HTTP/1.1\" 500 "), std::string::npos) << lines[0];
}

} // namespace
