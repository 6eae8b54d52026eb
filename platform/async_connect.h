#pragma once
// The halves of an outgoing connection that a caller waits for itself, so
// that a fiber parks on the descriptors instead of its thread blocking:
//
//   PendingLookup   a host-name look-up on a helper thread whose end makes
//                   a descriptor readable;
//   StartConnectIPv4 / FinishConnect  a non-blocking connect, then its
//                   outcome once the socket is writable.
//
// Errors are WinSock numbers in LastSocketError(), as everywhere in net.h.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class PendingLookup {
public:
    PendingLookup();
    // A look-up still running finishes on its own; its answer is dropped.
    ~PendingLookup();
    PendingLookup(const PendingLookup&) = delete;
    PendingLookup& operator=(const PendingLookup&) = delete;

    // Starts looking host up (the helper gives up after timeoutMs). A dotted
    // address is answered at once. Returns 0, or -1 when no helper could start.
    int Start(const std::string& host, std::uint32_t timeoutMs);
    // Readable once the answer is there.
    int GetHandle() const;
    bool IsDone() const;
    // Once done: 0 and the address (network order), or -1 with the error set.
    int GetResult(std::uint32_t* address) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// Starts a non-blocking connect: 0 connected at once, 1 in progress (wait
// until the socket is writable, then FinishConnect), -1 failed.
int StartConnectIPv4(int socket, std::uint32_t address, std::uint16_t port);
// The outcome of a connect in progress: 0 connected, -1 failed.
int FinishConnect(int socket);

} // namespace platform
