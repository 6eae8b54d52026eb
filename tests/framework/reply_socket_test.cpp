#include "framework/reply_socket.h"

#include "child_server.h"
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
