#pragma once
// Sockets, pipes and host-name look-ups: the one place where the socket
// system calls are made. Every helper retries EINTR, makes its descriptors
// close-on-exec, never raises SIGPIPE, and reports a failure as -1 with the
// WinSock number (errors.h) in LastSocketError(); errno never leaves here.
//
// IPv4 addresses are 32-bit values in network byte order (first dotted part
// in the lowest byte); ports are given in host order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// The socket() arguments the system uses (the Linux values, checked in net.cpp).
inline constexpr int kAddressFamilyInet = 2;
inline constexpr int kSocketStream = 1;
inline constexpr int kSocketDatagram = 2;

// The calling thread's last socket error: a WinSock number, 0 for none.
int LastSocketError();
void SetLastSocketError(int code);

// errno -> WinSock number for set-up calls (socket, bind, listen, connect...).
// An errno without a WinSock equivalent gives 10053.
int WinSockErrorFromErrno(int error);
// errno -> WinSock number for a transfer (send, recv, read, write, sendfile):
// 10060 time-out, 10054 reset, 10057 not connected, 10035 would block,
// 10004 interrupted, and 10053 for every other failure.
int TransferErrorFromErrno(int error);
// The system's own words for a WinSock number ("Address already in use"),
// for messages a person reads beside the number.
std::string WinSockErrorText(int code);

// Writing to a closed pipe must fail with EPIPE, not kill the process.
// Idempotent. A child process restores the default disposition before exec.
void IgnoreBrokenPipeSignal();

// Parses a dotted IPv4 address with the classic rules ("127.1" is valid).
bool ParseIPv4(const char* text, std::uint32_t* address);

SocketHandle OpenSocket(int family, int type, int protocol);
int SetCloseOnExec(int handle);
int SetNonBlocking(int handle, bool on);
int BindIPv4(SocketHandle socket, std::uint16_t port, std::uint32_t address);
int ListenSocket(SocketHandle socket, int backlog);
// Accepts one connection (close-on-exec, and non-blocking when asked);
// peerAddress/peerPort may be null.
SocketHandle AcceptSocket(SocketHandle listener, std::uint32_t* peerAddress, std::uint16_t* peerPort,
                          bool nonBlocking = false);
// Connects, waiting at most timeoutMs (0: no limit of ours); 10060 on expiry.
// The socket's blocking mode is left as it was.
int ConnectIPv4(SocketHandle socket, std::uint32_t address, std::uint16_t port, std::uint32_t timeoutMs);
int ShutdownSocket(SocketHandle socket);
// Sends small writes at once (accepted sockets inherit it from their listener).
int SetNoDelay(SocketHandle socket, bool on);
// Caps the bytes a socket holds queued but not yet sent (TCP_NOTSENT_LOWAT;
// inherited from the listener too): the socket is writable again only when
// its unsent queue is below the cap.
int SetUnsentLimit(SocketHandle socket, int bytes);
// A later close resets the connection (SO_LINGER 0) instead of ending it
// with FIN, so the peer sees a cut reply as cut.
int SetResetOnClose(SocketHandle socket);
// close(2) once; never retried, as Linux may already have released the number.
int CloseHandle(int handle);
int LocalAddress(SocketHandle socket, std::uint32_t* address, std::uint16_t* port);
int PeerAddress(SocketHandle socket, std::uint32_t* address, std::uint16_t* port);

// Transfers never block: a socket call that would block fails with 10035 and
// the caller waits with WaitHandle (or the fiber scheduler) and tries again.
// moreToCome sets MSG_MORE so a header and the body that follows share packets.
long SendBytes(SocketHandle socket, const void* bytes, std::size_t n, bool moreToCome);
long ReceiveBytes(SocketHandle socket, void* bytes, std::size_t n);
// Pipes and files: read(2)/write(2) in the handle's own blocking mode.
long ReadHandle(int handle, void* bytes, std::size_t n);
long WriteHandle(int handle, const void* bytes, std::size_t n);
// pread(2): reads at an explicit offset, never moving a shared file position.
long ReadFileAt(int file, void* bytes, std::size_t n, std::int64_t offset);
// sendfile(2) from an explicit offset; returns the bytes sent (0 at the file's end).
long SendFileRange(SocketHandle socket, int file, std::int64_t offset, std::size_t n);

// Waits until the handle is readable (or at its end) or writable. timeoutMs
// kInfinite (clock.h) waits without limit. Returns 1 ready, 0 on time-out
// (last error 10060), -1 on error.
int WaitHandle(int handle, bool forWrite, std::uint32_t timeoutMs);
// True when the peer of a connected socket has closed or reset it, or the
// socket was shut down here, without waiting. Bytes the peer sent ahead do
// not count; a peer that only ended its sending side does, as a client that
// gave up looks the same.
bool PeerHungUp(int handle);

// The calling thread's kernel id, as ShutDownSocketThreadWaitsOn takes it.
int CurrentThreadId();
// Shuts down the one socket that thread tid of this process is blocked on
// in a read, a write or a poll of a single descriptor, so that a library
// call waiting on a peer that never answers returns with its connection
// lost. False when the thread is not blocked on one socket, or the number
// it waits on may have passed to another socket meanwhile.
bool ShutDownSocketThreadWaitsOn(int tid);
// Tests stretch the gap between reading which descriptor the thread waits
// on and shutting its socket down; null ends it.
void SetShutDownPauseForTesting(void (*pause)(int descriptor));

// Runs a blocking call on a helper thread and waits for it at most timeoutMs,
// so a slow name server never holds the caller past its deadline. Returns 0
// with *result set when the call finished; -1 when the time ran out (10060)
// or too many calls are already pending (11002). A late call finishes on its
// own and its result is dropped.
int CallWithDeadline(std::function<int()> call, std::uint32_t timeoutMs, int* result);

// Forward look-up of a host name (numeric text is accepted too) under a
// deadline. Returns 0 and the first IPv4 address, or -1 (11001 not found,
// 11002 try again, 11003 other failure, 10060 deadline).
int LookupIPv4Address(const char* host, std::uint32_t timeoutMs, std::uint32_t* address);
// Reverse look-up of an IPv4 address under a deadline. Returns 0 and the
// name, or -1 with the same numbers.
int LookupHostName(std::uint32_t address, std::uint32_t timeoutMs, std::string* name);

} // namespace platform
