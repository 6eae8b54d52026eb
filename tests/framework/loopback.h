#pragma once
// A connected pair of WSockets over 127.0.0.1 at a port chosen at run time.

#include "framework/wsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

inline std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

namespace loopback_detail {

// Ports FreePort handed out are reserved across the suite's processes by a
// file per port that holds the owner's pid: two tests running at once never
// get the same port, whichever of them binds it first. A reservation whose
// owner has ended is taken over; this process's own go at its exit.
inline std::vector<std::string>& OwnReservations()
{
    // Never destroyed: the exit handler that reads it may run after the
    // statics made later than its registration are gone.
    static auto* paths = new std::vector<std::string>;
    return *paths;
}

inline void DropOwnReservations()
{
    const std::string self = std::to_string(::getpid());
    for (const std::string& path : OwnReservations()) {
        std::string owner;
        std::ifstream(path) >> owner;
        if (owner == self)
            ::unlink(path.c_str());
    }
}

inline bool ReservePort(std::uint16_t port)
{
    // One folder for every process, whatever TMPDIR a test gives itself.
    static const std::string folder = [] {
        std::string path = "/tmp/velmora-test-ports";
        std::error_code ignored;
        std::filesystem::create_directories(path, ignored);
        std::atexit(DropOwnReservations);
        return path;
    }();
    // One process at a time looks and writes, so a stale reservation is
    // never taken over by two.
    int guard = ::open((folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (guard < 0)
        return true; // no reservations to be had: the probe alone decides
    ::flock(guard, LOCK_EX);
    const std::string path = folder + "/" + std::to_string(port);
    long owner = 0;
    bool taken = static_cast<bool>(std::ifstream(path) >> owner) && owner > 0 &&
                 (::kill(static_cast<pid_t>(owner), 0) == 0 || errno == EPERM);
    if (!taken) {
        std::ofstream(path, std::ios::trunc) << ::getpid() << "\n";
        OwnReservations().push_back(path);
    }
    ::flock(guard, LOCK_UN);
    ::close(guard);
    return !taken;
}

} // namespace loopback_detail

// A port nobody listens on right now (the probe's socket is closed again)
// and no other test process holds (see ReservePort). Taken below the
// system's ephemeral range where there is room: a port the kernel hands out
// itself may go to an outgoing connection of a test running in parallel
// before the caller binds it.
inline std::uint16_t FreePort()
{
    static std::atomic<unsigned> next{std::random_device{}()};
    unsigned low = 32768;
    if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); range)
        range >> low;
    constexpr unsigned kSpan = 10000;
    if (low > kSpan + 1024) {
        for (unsigned tries = 0; tries < 256; ++tries) {
            const auto port = static_cast<std::uint16_t>(low - 1 - next.fetch_add(7919) % kSpan);
            WSocketBase probe;
            if (probe.Create() == 0 && probe.Bind(port, LoopbackAddress()) == 0 &&
                loopback_detail::ReservePort(port))
                return port;
        }
    }
    WSocketBase probe;
    probe.Create();
    probe.Bind(0, LoopbackAddress());
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    probe.GetLocalAddress(&address, &port);
    return port;
}

// A port that refuses connections for as long as this lives: bound but
// never listening, so no other test can take it between look and use.
struct RefusingPort {
    WSocketBase socket;
    std::uint16_t port = 0;
    RefusingPort()
    {
        EXPECT_EQ(socket.Create(), 0);
        EXPECT_EQ(socket.Bind(0, LoopbackAddress()), 0);
        std::uint32_t address = 0;
        EXPECT_EQ(socket.GetLocalAddress(&address, &port), 0);
    }
};

// A bound loopback port that listens.
struct LoopbackListener : RefusingPort {
    LoopbackListener() { EXPECT_EQ(socket.Listen(8), 0); }
    // Connects client to this listener and attaches the accepted end to server.
    void Connect(WSocket& client, WSocket& server)
    {
        ASSERT_EQ(client.Connect("127.0.0.1", port), 0);
        std::uint32_t peer = 0;
        int handle = socket.Accept(&peer);
        ASSERT_GE(handle, 0);
        ASSERT_EQ(server.Attach(handle), 0);
        server.SetPeerAddress(peer);
    }
};

// The common case: one listener, one connection.
struct LoopbackPair {
    LoopbackListener listener;
    WSocket client;
    WSocket server;
    LoopbackPair() { listener.Connect(client, server); }
};
