#include "macro/exec_macros.h"

#include "framework/text_buffer.h"
#include "macro/macro.h"
#include "macro/macro_context.h"
#include "macro/macro_exception.h"
#include "platform/clock.h"
#include "platform/security.h"

#include <gtest/gtest.h>

#include "eventually.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Throws what a request-ending macro throws.
class CThrowingMacro : public CMacro {
public:
    explicit CThrowingMacro(int kind) : m_kind(kind) {}
    void Evaluate(CMacroContext*, CTextBuffer*, const char**, int) override
    {
        if (m_kind == 0)
            throw CRedirectionException("/elsewhere");
        if (m_kind == 1)
            throw CHTTPException(403, "no");
        throw CMacroException("inner", 77, "bad");
    }

private:
    int m_kind;
};

class ExecMacrosTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterTryMacros(m_global);
        RegisterGetenvMacro(m_global);
        RegisterExecMacro(m_global);
        m_global.Register("greeting", std::make_unique<CValueMacro>("hello"));
        m_global.Register("secret", std::make_unique<CValueMacro>("LEAK"));
        m_global.Register("redirect", std::make_unique<CThrowingMacro>(0));
        m_global.Register("deny", std::make_unique<CThrowingMacro>(1));
        m_global.Register("fail", std::make_unique<CThrowingMacro>(2));
        std::string templ = (fs::temp_directory_path() / "exec_test.XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        m_dir = templ + "/";
        Script("argv", "for a in \"$@\"; do printf '<%s>' \"$a\"; done\n");
        Script("say", "printf '%s' \"$1\"\n");
        Script("mega", "yes abcdefghijklmno | head -c 1048576\n");
        Script("sleeper", "echo $$ > \"$1\"; sleep 30 & echo $! >> \"$1\"; sleep 30\n");
        Script("closer", "echo $$ > \"$1\"; echo early; exec >&-; sleep 30\n");
        SetExecDeadlineForTesting(0);
    }
    void TearDown() override
    {
        SetExecDeadlineForTesting(0);
        fs::remove_all(m_dir);
    }
    void Script(const std::string& name, const std::string& body)
    {
        std::ofstream(m_dir + name) << "#!/bin/sh\n" << body;
        ::chmod((m_dir + name).c_str(), 0755);
    }
    std::string Expand(const std::string& text)
    {
        CTextBuffer out;
        m_global.Expand(&out, text);
        return out.ToString();
    }
    // The command line reaches exec as a value, as a form field would.
    std::string ExecLine(const std::string& line)
    {
        m_global.Register("line", std::make_unique<CValueMacro>(line));
        return Expand("%exec(%line%)");
    }
    static bool Exists(pid_t pid) { return ::kill(pid, 0) == 0; }
    // Running or stopped; a zombie has ended.
    static bool Running(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::size_t close = text.rfind(')');
        return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
    }
    std::vector<pid_t> Pids(const std::string& file)
    {
        std::ifstream in(m_dir + file);
        std::vector<pid_t> pids;
        for (pid_t pid; in >> pid;)
            pids.push_back(pid);
        return pids;
    }

    CMacroContext m_global;
    std::string m_dir;
};

// What a program receives from a command line, split by Windows rules and
// checked by a program that prints its argv.
TEST_F(ExecMacrosTest, ArgumentsArriveAsWindowsSplitsThem)
{
    struct Case {
        const char* arguments;
        const char* expected;
    } cases[] = {
        {"a b  c", "<a><b><c>"},
        {"\"a b\" c", "<a b><c>"},
        {"a\\\"b", "<a\"b>"},
        {"a\\\\\"b c\"", "<a\\b c>"},
        {"a\\\\\\\"b", "<a\\\"b>"},
        {"a\\\\b", "<a\\\\b>"},
        {"\"x\"\"y\"", "<x\"y>"},
        {"\"\"", "<>"},
        {"'single quoted'", "<'single><quoted'>"},
        {"$HOME;ls|cat", "<$HOME;ls|cat>"},
        {"\t tab\t", "<tab>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExecLine(m_dir + "argv " + c.arguments), c.expected) << c.arguments;
}

TEST_F(ExecMacrosTest, OutputIsExpandedOnlyForTheCommandLineThePageWrote)
{
    Script("ref", "printf '%s' '%greeting%'\n");
    // A constant command line: the output is macro text.
    EXPECT_EQ(Expand("%exec(" + m_dir + "ref)"), "hello");
    // Built from a value: the output may repeat a client's text, kept as is.
    EXPECT_EQ(ExecLine(m_dir + "ref"), "%greeting%");
    // A value is put into the command line once, never expanded again.
    m_global.Register("field", std::make_unique<CValueMacro>("%secret%"));
    EXPECT_EQ(Expand("%exec(" + m_dir + "say %field%)"), "%secret%");
}

TEST_F(ExecMacrosTest, FailuresGiveTheDesignedErrorAndTryCatchesThem)
{
    struct Case {
        std::string page;
        std::string expected;
    } cases[] = {
        {"%exec(/no/such/program)", "[EXEC error 2: Error in exec() expansion]"},
        {"%try('%exec(/no/such/program)',%exception-type%/%exception-number%/%exception-msg%)",
         "EXEC/2/Error in exec() expansion"},
        {"%exec(" + m_dir + ")", "[EXEC error 5: Error in exec() expansion]"},
        {"%exec(/bin/pwd," + m_dir + "missing)", "[EXEC error 2: Error in exec() expansion]"},
        {"%exec()", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Expand(c.page), c.expected) << c.page;
}

TEST_F(ExecMacrosTest, OutputArrivesWholeUpToTheCap)
{
    std::string mega = Expand("%exec(" + m_dir + "mega)");
    ASSERT_EQ(mega.size(), 1048576u);
    EXPECT_EQ(mega.substr(0, 32), "abcdefghijklmno\nabcdefghijklmno\n");
    EXPECT_EQ(mega.find_first_not_of("abcdefghijklmno\n"), std::string::npos);

    std::uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(Expand("%exec(/usr/bin/yes)"), "[EXEC error 8: Error in exec() expansion]");
    EXPECT_EQ(Expand("%try('%exec(/usr/bin/yes)',%exception-number%)"), "8");
    EXPECT_LT(platform::MonotonicMs() - start, 20000u);
}

TEST_F(ExecMacrosTest, WorkingDirectoryAndEnvironment)
{
    EXPECT_EQ(Expand("%exec(/bin/pwd," + m_dir + ")"), fs::canonical(m_dir).string() + "\n");
    ::setenv("VELMORA_EXEC_TEST", "value 1", 1);
    EXPECT_EQ(Expand("%getenv(VELMORA_EXEC_TEST)"), "value 1");
    EXPECT_EQ(Expand("%exec(" + m_dir + "say \"$VELMORA_EXEC_TEST\")"), "$VELMORA_EXEC_TEST");
    Script("env", "printf '%s' \"$VELMORA_EXEC_TEST\"\n");
    EXPECT_EQ(Expand("%exec(" + m_dir + "env)"), "value 1");
    ::unsetenv("VELMORA_EXEC_TEST");
    EXPECT_EQ(Expand("%getenv(VELMORA_EXEC_TEST)"), "");
    EXPECT_EQ(Expand("%getenv()"), "");
}

TEST_F(ExecMacrosTest, ProgramsThatOutstayTheDeadlineAreKilledAndReaped)
{
    SetExecDeadlineForTesting(700);
    // Never closes its output: cut at the deadline with the error, the
    // program and the child it started both gone.
    std::uint64_t start = platform::MonotonicMs();
    EXPECT_EQ(Expand("%exec(" + m_dir + "sleeper " + m_dir + "pids)"), "[EXEC error 1460: Error in exec() expansion]");
    std::uint64_t took = platform::MonotonicMs() - start;
    EXPECT_GE(took, 600u);
    EXPECT_LT(took, 5000u);
    std::vector<pid_t> pids = Pids("pids");
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_FALSE(Exists(pids[0])); // the program is reaped, not left a zombie
    // Its own child is killed too (init reaps it); the signal lands a moment later.
    EXPECT_TRUE(Eventually([&] { return !Running(pids[1]); })) << pids[1];

    // Closes its output and runs on: its output counts, and it is killed.
    EXPECT_EQ(Expand("%exec(" + m_dir + "closer " + m_dir + "closer-pid)"), "early\n");
    pids = Pids("closer-pid");
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_FALSE(Exists(pids[0]));
}

TEST_F(ExecMacrosTest, RequestEndingExceptionsInTheOutputPassUnchanged)
{
    Script("print", "printf '%s' \"$1\"\n");
    Script("redirect", "printf 'a%%redirect%%b'\n");
    Script("deny", "printf '%%deny%%'\n");
    Script("fail", "printf 'before %%fail%%'\n");
    EXPECT_THROW(Expand("%exec(" + m_dir + "redirect)"), CRedirectionException);
    try {
        Expand("%try('%exec(" + m_dir + "deny)',caught)");
        ADD_FAILURE() << "no exception";
    } catch (const CHTTPException& e) {
        EXPECT_EQ(e.status, 403);
    }
    // A macro error in the output is exec's error.
    EXPECT_EQ(Expand("%exec(" + m_dir + "fail)"), "before [EXEC error 77: Error in exec() expansion]");
    EXPECT_EQ(Expand("%try('%exec(" + m_dir + "fail)',%exception-type%/%exception-number%)"), "EXEC/77");
}

// The child of an impersonating request has the account's ids and groups
// only, and no capability of the server's.
TEST_F(ExecMacrosTest, ChildOfAnImpersonatedRequestHoldsOnlyTheAccount)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to impersonate an account";
    auto token = std::make_shared<platform::LogonToken>();
    token->userName = "nobody";
    token->uid = 65534;
    token->gid = 65534;
    token->groups = {65534};
    ASSERT_EQ(platform::Impersonate(token), 0);
    std::string status = Expand("%exec(/bin/grep -E \"^(Uid|Gid|Groups|CapEff|CapPrm):\" /proc/self/status)");
    platform::RevertToSelf();
    EXPECT_EQ(status,
              "Uid:\t65534\t65534\t65534\t65534\nGid:\t65534\t65534\t65534\t65534\nGroups:\t65534 \n"
              "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n");
}

} // namespace
