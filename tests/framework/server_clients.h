#pragma once
// What the server tests share: descriptor and thread counts of the process,
// and a line client.

#include "framework/text_buffer.h"
#include "framework/wsocket.h"

#include <gtest/gtest.h>

#include <dirent.h>

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

} // namespace
