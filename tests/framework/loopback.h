#pragma once
// A connected pair of WSockets over 127.0.0.1 at a port chosen at run time.

#include "framework/wsocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

inline std::uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

// A port nobody listens on right now (the probe's socket is closed again).
inline std::uint16_t FreePort()
{
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
