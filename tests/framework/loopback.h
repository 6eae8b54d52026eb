#pragma once
// A connected pair of WSockets over 127.0.0.1 at a port chosen at run time.

#include "framework/wsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <fstream>
#include <random>

inline std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

// A port nobody listens on right now (the probe's socket is closed again).
// Taken below the system's ephemeral range where there is room: a port the
// kernel hands out itself may go to an outgoing connection of a test
// running in parallel before the caller binds it.
inline std::uint16_t FreePort()
{
    static std::atomic<unsigned> next{std::random_device{}()};
    unsigned low = 32768;
    if (std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range"); range)
        range >> low;
    constexpr unsigned kSpan = 10000;
    if (low > kSpan + 1024) {
        for (unsigned tries = 0; tries < 64; ++tries) {
            const auto port = static_cast<std::uint16_t>(low - 1 - next.fetch_add(7919) % kSpan);
            WSocketBase probe;
            if (probe.Create() == 0 && probe.Bind(port, LoopbackAddress()) == 0)
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
