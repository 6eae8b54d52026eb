#pragma once
// What the server tests share: descriptor and thread counts of the process,
// and a line client.

#include "framework/server.h"
#include "framework/server_log.h"
#include "framework/server_stats.h"
#include "framework/text_buffer.h"
#include "framework/wsocket.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

int CountEntries(const char* directory)
{
    int n = 0;
    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++n;
        closedir(dir);
    }
    return n - 1; // the directory stream's own descriptor or nothing
}

int OpenDescriptors() { return CountEntries("/proc/self/fd"); }
int LiveThreads() { return CountEntries("/proc/self/task") + 1; }

// A client that sends a line and reads the reply line; "" when the server
// closed the connection instead.
struct Client {
    WSocket socket;
    explicit Client(std::uint16_t port, std::uint32_t timeoutMs = 10000)
    {
        socket.SetTimeout(timeoutMs);
        EXPECT_EQ(socket.Connect("127.0.0.1", port), 0);
    }
    std::string Ask(const std::string& line)
    {
        if (socket.SendTextLine(line, false) < 0)
            return "";
        CTextBuffer reply;
        if (socket.ReadLine(reply, true) <= 0)
            return "";
        return reply.ToString();
    }
};

// A state folder and shared-memory names of the suite's own, the server log
// and the global statistics block; each test remembers the descriptors and
// threads it started with.
class ServerProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmora-server-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_home = pattern;
        ::setenv("VELMORA_HOME", s_home.c_str(), 1);
        s_prefix = "vsrv" + std::to_string(::getpid());
        ::setenv("VELMORA_SHM_PREFIX", s_prefix.c_str(), 1);
        BindSocketAPI();
        ASSERT_TRUE(OpenServerLog());
        ASSERT_TRUE(CreateGlobalStatsBlock());
    }
    static void TearDownTestSuite()
    {
        DestroyGlobalStatsBlock();
        CloseServerLog();
        std::filesystem::remove_all(s_home);
        ::unsetenv("VELMORA_HOME");
        ::unsetenv("VELMORA_SHM_PREFIX");
    }
    void SetUp() override
    {
        m_descriptors = OpenDescriptors();
        m_threads = LiveThreads();
    }

    static inline std::string s_home;
    static inline std::string s_prefix;
    int m_descriptors = 0;
    int m_threads = 0;
};

} // namespace
