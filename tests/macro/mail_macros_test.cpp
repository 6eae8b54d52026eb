// smtp-mail against a real SMTP peer (aiosmtpd) that records what arrives,
// and the body and date formats it sends.

#include "child_server.h"
#include "config/config_fixture.h"
#include "macro/mail_macros.h"
#include "macro/macro_exception.h"
#include "test_macros.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

TEST(SmtpDotStuffTest, LinesEndInCRLFAndLeadingDotsAreDoubled)
{
    const struct {
        std::string body;
        std::string sent;
    } cases[] = {
        {"one\ntwo", "one\r\ntwo\r\n."},
        {".\n.x\nx.", "..\r\n..x\r\nx.\r\n."},
        {"a\r\nb\r\n", "a\r\nb\r\n\r\n."},
        {"", "\r\n."},
        {"\n", "\r\n\r\n."},
        {"a\rb", "ab\r\n."},
        {".", "..\r\n."},
    };
    for (const auto& c : cases) {
        CTextBuffer out;
        SmtpDotStuff(out, c.body);
        EXPECT_EQ(out.ToString(), c.sent) << c.body;
    }
}

TEST(SmtpDateTest, DayWithoutZeroTimeWithTwoDigits)
{
    const struct {
        int year, month, day, wday, hour, minute, second;
        const char* text;
    } cases[] = {
        {2026, 3, 5, 4, 9, 4, 7, "Thu, 5 Mar 2026 09:04:07 +0000"},
        {2026, 12, 27, 0, 23, 59, 59, "Sun, 27 Dec 2026 23:59:59 +0000"},
        {2000, 1, 1, 6, 0, 0, 0, "Sat, 1 Jan 2000 00:00:00 +0000"},
    };
    for (const auto& c : cases) {
        std::tm utc{};
        utc.tm_year = c.year - 1900;
        utc.tm_mon = c.month - 1;
        utc.tm_mday = c.day;
        utc.tm_wday = c.wday;
        utc.tm_hour = c.hour;
        utc.tm_min = c.minute;
        utc.tm_sec = c.second;
        EXPECT_EQ(FormatSMTPDate(utc), c.text);
    }
}

class SmtpMailTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_python = PythonWith("aiosmtpd");
        if (m_python.empty())
            GTEST_SKIP() << "python3 with the aiosmtpd module (Debian python3-aiosmtpd) is not installed";
        macro_test::RegisterTestMacros(m_scope);
        RegisterTryMacros(m_scope);
        RegisterMailMacros(m_scope);
    }

    bool StartPeer(std::vector<std::string> refusals = {})
    {
        std::vector<std::string> argv = {m_python, std::string(VELMORA_TEST_SOURCE_DIR) + "/smtp_peer.py", "PORT",
                                         m_dir.Path()};
        argv.insert(argv.end(), refusals.begin(), refusals.end());
        return m_peer.Start(argv);
    }
    std::string Server() { return "127.0.0.1:" + std::to_string(m_peer.Port()); }
    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_scope.Expand(&out, text);
        return out.ToString();
    }
    std::string Read(const std::string& name)
    {
        std::ifstream in(m_dir / name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Exists(const std::string& name) { return std::filesystem::exists(m_dir / name); }

    std::string m_python;
    TempDirectory m_dir;
    ChildServer m_peer;
    CMacroContext m_scope;
};

TEST_F(SmtpMailTest, AMessageArrivesByteForByte)
{
    ASSERT_TRUE(StartPeer());
    std::string out = Expand("%smtp-mail(" + Server() +
                             ",velmora.test,me@here,\" you@there , b@there\",Hello there,\"line one\n.dot line\r\n..two\n\")");
    EXPECT_EQ(out, "");
    std::string message = Read("msg0.eml");
    std::regex shape("Subject: Hello there\r\nFrom: me@here\r\nTo:  you@there , b@there\r\n"
                     "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? [A-Z][a-z]{2} 20[0-9]{2} "
                     "[0-9]{2}:[0-9]{2}:[0-9]{2} \\+0000\r\n\r\n"
                     "line one\r\n\\.dot line\r\n\\.\\.two\r\n\r\n");
    EXPECT_TRUE(std::regex_match(message, shape)) << message;
    EXPECT_EQ(Read("msg0.rcpt"), "you@there\nb@there");
}

TEST_F(SmtpMailTest, RefusalsStopTheDialogueAndNoBodyFollowsARefusedData)
{
    ASSERT_TRUE(StartPeer({"DATA=554 5.0.0 no data today", "RCPT3=550 5.1.1 no such user"}));
    EXPECT_EQ(Expand("%smtp-mail(" + Server() + ",h,me@here,a@x,s,body line)"), "554 5.0.0 no data today");
    EXPECT_EQ(Expand("%smtp-mail(" + Server() + ",h,me@here,\"b@x,c@x\",s,body)"), "550 5.1.1 no such user");
    EXPECT_FALSE(Exists("msg0.eml"));
    // Nothing after the refusal reached the peer as a command.
    EXPECT_EQ(Read("replies.log").find("not recognized"), std::string::npos) << Read("replies.log");
}

// 251 (the server forwards the mail) accepts a recipient like 250.
TEST_F(SmtpMailTest, ARecipientTheServerForwardsIsAccepted)
{
    ASSERT_TRUE(StartPeer({"RCPT2=251 2.1.5 will forward"}));
    EXPECT_EQ(Expand("%smtp-mail(" + Server() + ",h,me@here,\"a@x,b@x\",s,body)"), "");
    EXPECT_TRUE(Exists("msg0.eml"));
}

TEST_F(SmtpMailTest, LineBreaksInHeaderFieldsAreRefusedBeforeConnecting)
{
    ASSERT_TRUE(StartPeer());
    const char* fields[][4] = {
        {"h", "me@here", "a@x", "Hi\r\nBcc: evil@x"},
        {"h\nMAIL From:<x>", "me@here", "a@x", "s"},
        {"h", "me@here>\r\nRCPT To:<evil@x", "a@x", "s"},
        {"h", "me@here", "a@x\nevil@x", "s"},
    };
    for (const auto& f : fields) {
        m_scope.Register("f1", std::make_unique<CValueMacro>(f[0]));
        m_scope.Register("f2", std::make_unique<CValueMacro>(f[1]));
        m_scope.Register("f3", std::make_unique<CValueMacro>(f[2]));
        m_scope.Register("f4", std::make_unique<CValueMacro>(f[3]));
        EXPECT_EQ(Expand("%try('%smtp-mail(" + Server() + ",%f1%,%f2%,%f3%,%f4%,body),'%exception-type%)"),
                  "smtp-mail");
    }
    // The peer only ever greeted (its start-up probe): no command reached it.
    EXPECT_EQ(Read("replies.log").find("250"), std::string::npos) << Read("replies.log");
}

TEST_F(SmtpMailTest, ARefusedConnectionIsAMacroErrorWithoutAReplyCode)
{
    std::uint16_t port = FreePort();
    EXPECT_EQ(Expand("%try('%smtp-mail(127.0.0.1:" + std::to_string(port) +
                     ",h,me@here,a@x,s),'%exception-type%/%exception-number%)"),
              "smtp-mail/-1");
    EXPECT_EQ(Expand("%smtp-mail(127.0.0.1,h,me@here,a@x)"), "");
}

} // namespace
