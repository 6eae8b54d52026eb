#include "framework/reply_socket.h"

#include "loopback.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

extern char** environ;

using platform::LastSocketError;

TEST(WReplySocketCode, ParsesUpToThreeLeadingDigits)
{
    const struct {
        const char* line;
        int code;
    } cases[] = {
        {"250 ok", 250}, {"250-more", 250}, {"250", 250}, {"2500", 250}, {"25", 25}, {"2", 2},
        {"", -1},        {"hello", -1},     {"2x0", -1},  {"25 ok", -1}, {" 250", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WReplySocket::ParseReplyCode(c.line), c.code) << '"' << c.line << '"';
}

TEST(WReplySocketRead, RepliesFromAPeer)
{
    const struct {
        const char* wire;
        bool closeAfter;
        int code;
        const char* text;
    } cases[] = {
        {"250-first\r\n250-second\r\n250 last\r\n", false, 250, "250-first250-second250 last"},
        {"250 ok\r\n", false, 250, "250 ok"},
        {"25\r\n", false, 25, "25"},
        {"250\r\n", false, 250, "250"},
        {"hello\r\n", false, -1, "hello"},
        {"2x0 bad\r\n", false, -1, "2x0 bad"},
        {"\r\n", false, -1, ""},
        {"220-a\r\n\r\n 220 not the end\r\n220 end\r\n", false, 220, "220-a 220 not the end220 end"},
        {"250-a\r\n251 b\r\n250c\r\n250 c\r\n", false, 250, "250-a251 b250c250 c"},
        {"250-\r\n250 \r\n", false, 250, "250-250 "},
        {"250 lf only\n", false, 250, "250 lf only"},
        {"250-a\r\n250-b", true, 250, "250-a250-b"},
    };
    for (const auto& c : cases) {
        LoopbackListener listener;
        WReplySocket reply;
        WSocket peer;
        listener.Connect(reply, peer);
        reply.SetTimeout(5000);
        ASSERT_GT(peer.SendText(c.wire, false), 0);
        if (c.closeAfter)
            peer.Close();
        else
            ASSERT_GT(peer.SendText("354 go\r\n", false), 0);
        EXPECT_EQ(reply.ReadReply(), c.code) << c.wire;
        EXPECT_EQ(reply.GetReplyCode(), c.code);
        EXPECT_EQ(reply.GetReplyText().View(), c.text) << c.wire;
        // Nothing of the next reply was taken.
        EXPECT_EQ(reply.ReadReply(), c.closeAfter ? -1 : 354) << c.wire;
    }
}

TEST(WReplySocketRead, EndlessMultiLineReplyIsRefused)
{
    LoopbackListener listener;
    WReplySocket reply;
    WSocket peer;
    listener.Connect(reply, peer);
    reply.SetTimeout(5000);
    peer.SetTimeout(5000);
    std::thread sender([&] {
        std::string block;
        for (int i = 0; i < 1000; ++i)
            block += "250-" + std::string(60, 'x') + "\r\n";
        for (int i = 0; i < 40 && peer.SendText(block, false) > 0; ++i) {
        }
    });
    EXPECT_EQ(reply.ReadReply(), -1);
    EXPECT_EQ(LastSocketError(), kLineTooLongError);
    EXPECT_LE(reply.GetReplyText().GetLength(), WReplySocket::kMaxReplyLength + WSocket::kMaxLineLength);
    reply.Abort();
    sender.join();
}

namespace {

// Runs a program; true when it exits with status 0.
bool Succeeds(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first python3 that has the module, or empty.
std::string PythonWith(const std::string& module)
{
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        if (Succeeds({candidate, "-c", "import " + module}))
            return candidate;
    }
    return {};
}

// A server run as a child process, killed and reaped at the end.
class ChildServer {
public:
    ~ChildServer() { Stop(); }

    // Starts argv (with PORT replaced by a free port) and waits for the port to
    // answer; a few attempts in case another process took the port meanwhile.
    bool Start(std::vector<std::string> argv)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = FreePort();
            std::vector<std::string> concrete = argv;
            for (auto& a : concrete) {
                auto at = a.find("PORT");
                if (at != std::string::npos)
                    a.replace(at, 4, std::to_string(m_port));
            }
            std::vector<char*> args;
            for (auto& a : concrete)
                args.push_back(a.data());
            args.push_back(nullptr);
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
            int spawned = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0) {
                m_pid = -1;
                return false;
            }
            if (WaitForPort())
                return true;
            Stop();
        }
        return false;
    }

    std::uint16_t Port() const { return m_port; }

private:
    bool WaitForPort()
    {
        for (int i = 0; i < 200; ++i) { // 10 seconds at most
            WSocket probe;
            if (probe.Connect("127.0.0.1", m_port) == 0)
                return true;
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            platform::SleepMs(50);
        }
        return false;
    }

    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 100 && !reaped; ++i) { // 5 seconds, then SIGKILL
            reaped = waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (!reaped)
                platform::SleepMs(50);
        }
        if (!reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }

    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

} // namespace

TEST(WReplySocketServers, SmtpServerEhloReply)
{
    const std::string python = PythonWith("aiosmtpd");
    if (python.empty())
        GTEST_SKIP() << "python3 with the aiosmtpd module (Debian python3-aiosmtpd) is not installed";
    ChildServer server;
    ASSERT_TRUE(server.Start({python, "-m", "aiosmtpd", "-n", "-l", "127.0.0.1:PORT"}));
    WReplySocket smtp;
    smtp.SetTimeout(10000);
    smtp.SetThrowOnError(true);
    ASSERT_EQ(smtp.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_EQ(smtp.ReadReply(), 220);
    smtp.SendTextLine("EHLO velmora.test", false);
    EXPECT_EQ(smtp.ReadReply(), 250);
    const std::string text = smtp.GetReplyText().ToString();
    EXPECT_EQ(text.rfind("250-", 0), 0u) << text;
    EXPECT_NE(text.find("8BITMIME"), std::string::npos) << text;
    EXPECT_NE(text.find("250 HELP"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    smtp.SendTextLine("QUIT", false);
    EXPECT_EQ(smtp.ReadReply(), 221);
}

TEST(WReplySocketServers, FtpServerFeatReply)
{
    const std::string python = PythonWith("pyftpdlib");
    if (python.empty())
        GTEST_SKIP() << "python3 with the pyftpdlib module (Debian python3-pyftpdlib) is not installed";
    ChildServer server;
    ASSERT_TRUE(server.Start({python, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", "PORT"}));
    WReplySocket ftp;
    ftp.SetTimeout(10000);
    ftp.SetThrowOnError(true);
    ASSERT_EQ(ftp.Connect("127.0.0.1", server.Port()), 0);
    EXPECT_EQ(ftp.ReadReply(), 220);
    ftp.SendTextLine("FEAT", false);
    EXPECT_EQ(ftp.ReadReply(), 211);
    const std::string text = ftp.GetReplyText().ToString();
    EXPECT_EQ(text.rfind("211-", 0), 0u) << text;
    EXPECT_NE(text.find("EPSV"), std::string::npos) << text;
    EXPECT_NE(text.find("211 End"), std::string::npos) << text;
    ftp.SendTextLine("QUIT", false);
    EXPECT_EQ(ftp.ReadReply(), 221);
}
