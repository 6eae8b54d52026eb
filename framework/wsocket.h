#pragma once
// The system's only network and pipe I/O layer.
//
//   WSocketBase  a bare socket or file handle with its throw-on-error switch,
//                its time-out and the peer's IPv4 address (listening sockets
//                are these).
//   WSocket      a connected socket with buffered output and input, file
//                sending through sendfile(2), an optional SSL record layer
//                (ssl_layer.h) and a fiber mode for the worker pool.
//   CAsyncIO     one transfer buffer of a WSocket.
//
// With the throw switch on, every failure is thrown as WSocketException
// carrying the socket and the WinSock number; with it off the call returns -1
// (0 at the peer's close) and the number is platform::LastSocketError().
//
// Thread mode: sockets are non-blocking and every wait is a poll() bounded by
// the socket's time-out (10060 on expiry). Fiber mode: the same waits go to
// the CIOWaiter the worker pool installs, which parks the fiber instead.
// Transfers are synchronous: when a call returns, the caller's bytes have been
// handed to the kernel (or copied into a buffer) and are never read again.

#include "framework/slow_heads.h"
#include "framework/body_pace.h"
#include "framework/client_limits.h"
#include "framework/ssl_layer.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/net.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string_view>

class CTextBuffer;
class WSocket;
class WSocketBase;

// A line longer than WSocket::kMaxLineLength is refused with this number
// (WSAEMSGSIZE, "message too long").
inline constexpr int kLineTooLongError = platform::kWsaeMsgSize;
// SetSecure(true) without an installed SSL layer factory (WSAEOPNOTSUPP).
inline constexpr int kSSLUnavailableError = platform::kWsaeOpNotSupp;
// A name look-up (connect by name, reverse look-up) never takes longer.
inline constexpr std::uint32_t kNameLookupDeadlineMs = 60000;

class WSocketException : public std::exception {
public:
    WSocketException(WSocketBase* failed, int code);
    const char* what() const noexcept override { return m_text; }

    // The failing socket; null for the SSL layer's protocol errors.
    WSocketBase* socket;
    // A WinSock number, or the SSL layer's own 20000 to 20010.
    int error;

private:
    char m_text[40];
};

// True for the errors of a session the client ended or let lapse
// (interrupted, aborted, reset, not connected, shut down, timed out): the
// servers do not log them.
bool IsQuietSocketError(int code);

// Accepted clients' sockets held open now, by every server of the process.
long OpenClientSockets();

// How a socket in fiber mode waits. The worker pool implements it by arming
// its epoll set and parking the calling fiber until the handle is ready or
// the time is up.
class CIOWaiter {
public:
    virtual ~CIOWaiter() = default;
    // Waits until the handle is readable (forWrite false) or writable, at most
    // milliseconds (platform::kInfinite: no limit). Returns 1 when ready, 0
    // when the time ran out, -1 on error with the last socket error set.
    virtual int WaitForIOCompletion(int handle, bool forWrite, std::uint32_t milliseconds) = 0;
};

// A thread that runs fibers installs its waiter here, so that sockets in
// thread mode used inside a fiber (a mail or proxy client, a pipe) park the
// fiber too instead of blocking every fiber of the thread. Null: none.
void SetThreadIOWaiter(CIOWaiter* waiter);
// Waits for any handle as a socket of this thread would: through the thread's
// waiter when one is installed (a fiber parks), else poll(). Same results as
// CIOWaiter::WaitForIOCompletion.
int WaitForHandle(int handle, bool forWrite, std::uint32_t milliseconds);

// A kept-alive connection of the worker pool between two requests: its
// fiber is given back and the pool waits for the next request itself, so an
// idle connection holds no stack. The server's request loop asks for the
// pause (WSocket::RequestPause) and returns; the pool resumes the
// connection in a fresh fiber when bytes arrive or the socket's time-out
// passes (the first wait then reports 10060, as a wait in the fiber would).
class CConnectionPause {
public:
    // What the derived server keeps of its request loop meanwhile.
    class State {
    public:
        virtual ~State() = default;
    };

    // The request loop returned for a pause: nothing is closed or counted.
    bool requested = false;
    // This turn continues a paused connection.
    bool resumed = false;
    // The connection handler's own: it impersonates the anonymous user.
    bool impersonating = false;
    std::unique_ptr<State> state;

    void Clear()
    {
        requested = resumed = impersonating = false;
        state.reset();
    }
};

class WSocketBase {
public:
    WSocketBase() = default;
    virtual ~WSocketBase();
    WSocketBase(const WSocketBase&) = delete;
    WSocketBase& operator=(const WSocketBase&) = delete;

    // Closes a handle still held (errors ignored), then opens a close-on-exec socket.
    int Create(int family = platform::kAddressFamilyInet, int type = platform::kSocketStream, int protocol = 0);
    // Port in host order; address in network order, 0 for any.
    int Bind(std::uint16_t port, std::uint32_t address);
    int Listen(int backlog);
    // Waits for a connection (bounded by the time-out when one is set) and
    // returns its close-on-exec handle, storing the peer's address when asked.
    // nonBlocking: the handle is made for WSocket::AttachAccepted.
    int Accept(std::uint32_t* peerAddress = nullptr, bool nonBlocking = false);
    // Without flushing: shutdown and close (close alone for a file handle)
    // when the handle is owned. Never throws; returns the last call's result.
    int Abort();
    // close without shutdown.
    int CloseSocket();
    // Drops the connection with a reset and forgets the handle (a file
    // handle is only closed): the peer cannot take a cut reply for a whole
    // one. Never throws.
    int AbortWithReset();
    // Wakes every thread blocked on this socket without closing it; for a
    // stopper on another thread (the owner still closes). Never throws.
    int Shutdown();
    // The local IPv4 address (network order) and port; 0 or -1 (Check).
    int GetLocalAddress(std::uint32_t* address, std::uint16_t* port = nullptr);
    // The local IPv4 address, 0 when it cannot be had.
    std::uint32_t GetLocalAddress();
    // Returns result; when it is -1 and the switch is on, throws
    // WSocketException(this, LastSocketError()).
    int Check(int result);
    // Sets the last socket error to code and returns Check(-1).
    int Fail(int code);

    int GetHandle() const { return m_handle; }
    bool IsOpen() const { return m_handle != platform::kInvalidSocket; }
    bool GetThrowOnError() const { return m_throwOnError; }
    void SetThrowOnError(bool on) { m_throwOnError = on; }
    bool IsFileHandle() const { return m_isFileHandle; }
    bool IsOwned() const { return m_owned; }
    void SetOwned(bool owned) { m_owned = owned; }
    // Milliseconds for every wait on a transfer; 0 means no limit.
    std::uint32_t GetTimeout() const { return m_timeout; }
    void SetTimeout(std::uint32_t milliseconds) { m_timeout = milliseconds; }
    std::uint32_t GetPeerAddress() const { return m_peerAddress; }
    void SetPeerAddress(std::uint32_t address) { m_peerAddress = address; }

protected:
    // Closes an owned handle as Abort does and forgets it; errors ignored.
    int CloseHeld(bool withShutdown);

    int m_handle = platform::kInvalidSocket;
    bool m_throwOnError = false;
    bool m_isFileHandle = false;
    bool m_owned = true;
    bool m_client = false; // an accepted client's, counted while held
    std::uint32_t m_timeout = 0;
    std::uint32_t m_peerAddress = 0;
};

// One transfer buffer: data[start, end) is held, data[end, capacity) free.
// Transfers complete before Start* returns; Wait reports their outcome.
class CAsyncIO {
public:
    CAsyncIO() = default;
    ~CAsyncIO() { Free(); }
    CAsyncIO(const CAsyncIO&) = delete;
    CAsyncIO& operator=(const CAsyncIO&) = delete;

    // Allocates size bytes on the shared heap; empty, done.
    void Init(WSocket* owner, int size);
    void Free();

    // Writes n bytes (null: the held bytes) within one time-out; n = 0
    // completes at once with 0 bytes.
    void StartWrite(const char* bytes = nullptr, int n = 0);
    // Reads what arrives, at most n bytes into bytes (null: into the free
    // room, advancing end), within one time-out.
    void StartRead(char* bytes = nullptr, int n = 0);
    // Sets the last socket error to the transfer's and returns its bytes
    // (-1 on failure, 0 at the end of the input).
    int Wait();
    // Empties the buffer.
    void Rewind() { m_start = m_end = 0; }
    // Copies n bytes at end; false (nothing copied) when they do not fit.
    bool Append(const void* bytes, int n);
    // Moves the held bytes to the front so the free room is contiguous.
    void Compact();

    char* GetData() { return m_data; }
    const char* GetData() const { return m_data; }
    int GetCapacity() const { return m_capacity; }
    int GetStart() const { return m_start; }
    int GetEnd() const { return m_end; }
    void SetStart(int start) { m_start = start; }
    void SetEnd(int end) { m_end = end; }
    int GetHeld() const { return m_end - m_start; }
    int GetFree() const { return m_capacity - m_end; }
    bool IsDone() const { return m_done; }
    int GetLastError() const { return m_lastError; }
    long GetBytes() const { return m_bytes; }

private:
    void Complete(long bytes, int error);

    char* m_data = nullptr;
    int m_capacity = 0;
    int m_start = 0;
    int m_end = 0;
    WSocket* m_owner = nullptr;
    long m_bytes = 0;
    bool m_done = true;
    int m_lastError = 0;
};

class WSocket : public WSocketBase {
public:
    // Raw output: one full SSL plaintext buffer plus record overhead fits.
    static constexpr int kOutputBufferSize = 16639;
    static constexpr int kInputBufferSize = 32767;
    static constexpr int kSSLOutputSize = 16127;
    static constexpr int kSSLInputSize = 32767;
    // Write hands the caller's memory to the kernel in pieces of this size.
    static constexpr int kWritePieceSize = 65536;
    // A peer that never sends LF must not make a line grow without bound;
    // 64 KiB is far above any line of the protocols spoken here.
    static constexpr int kMaxLineLength = 65536;
    // SendFile's wait limit is the time-out once per this many bytes.
    static constexpr int kSendFileUnit = 32768;
    // A file this small goes out with its header in one send from the output
    // buffer: copying a few pages costs less than sendfile's pipe and page
    // references, and saves a system call per reply.
    static constexpr int kCopiedFileBytes = 8192;

    WSocket();
    ~WSocket() override;

    // Takes a connected socket (closing one still held, as Close does).
    int Attach(int socket, bool owned = true);
    // Takes a socket from a non-blocking accept, which is close-on-exec and
    // non-blocking already: four system calls fewer for every connection.
    int AttachAccepted(int socket);
    // Takes a pipe or file handle; transferred with read and write.
    int AttachHandle(int handle, bool owned = true);
    // host: a dotted address or a name (looked up within kNameLookupDeadlineMs);
    // creates the socket when none is held. Returns 0 or -1 (Check).
    int Connect(const char* host, std::uint16_t port);

    // Buffered: appends (flushing first when it does not fit, writing
    // directly what exceeds a whole buffer). Unbuffered: flushes and writes.
    // Returns n or -1.
    int Send(const void* bytes, int n, bool buffered = true);
    // The text, then CR LF. Returns n + 2 or -1.
    int SendLine(const char* text, int n, bool buffered = true);
    // The same for a string (named apart: Send("x", false) would otherwise
    // quietly mean n = 0).
    int SendText(std::string_view text, bool buffered = true);
    int SendTextLine(std::string_view text, bool buffered = true);
    // Writes past the output buffer (through records with SSL), flushing at
    // the end unless buffered. Returns n or -1.
    int Write(const void* bytes, int n, bool buffered);
    // Writes what the application output holds. Returns the bytes written,
    // 0 when there was nothing, -1 on failure.
    int Flush();
    // For the SSL layer: writes the raw output buffer.
    int FlushOutput();
    // For the SSL layer: appends a record to the raw output, writing the
    // buffer first when the record does not fit.
    int WriteBlock(const void* bytes, int n);
    // Sends length bytes of a file from offset, or of memory + offset when
    // memory is given. A plain socket uses sendfile(2) after the buffered
    // head bytes; SSL and file handles go through the buffers.
    // keepConnection matters only to the worker pool; sockets are never
    // recycled on Linux. Returns the bytes sent or -1.
    std::int64_t SendFile(int file, std::int64_t length, const char* memory, std::int64_t offset,
                          bool keepConnection = true);

    // Refills the application input. Returns the bytes added, 0 at the peer's
    // close (last error 10057), -1 on failure. Held bytes are kept.
    int Fill();
    // Copies up to n held bytes (refilling once when none are held).
    int Read(void* destination, int n, bool peek = false);
    // Copies n bytes unless a refill brings nothing; returns the bytes copied.
    int ReadExact(void* destination, int n);
    // ReadExact over the raw input below the SSL layer.
    int ReadRaw(void* destination, int n);
    // Appends input up to and including LF. Returns the bytes added (after
    // strip removes the LF and a CR before it), or the refill's result when it
    // is <= 0 (an unfinished line stays appended). A line longer than
    // kMaxLineLength fails with kLineTooLongError.
    int ReadLine(CTextBuffer& text, bool strip);
    // True when input is held, or arrives (or the peer closes) within
    // milliseconds (platform::kInfinite: no limit).
    bool WaitForInput(std::uint32_t milliseconds);

    // A deadline for a whole request head: a client sending a byte now and
    // then would otherwise renew the per-read time-out for ever. It starts
    // when the head's first byte is at hand (held or received later), so an
    // idle connection is still bounded by the time-out alone; reads end
    // with a time-out (10060) once it passed. 0 ms: none. With slowHeads,
    // a head still unfinished after the grace counts against the peer's
    // address, and a read that finds the address full fails (10053).
    // A connection already counted as silent (CountSilent) against the same
    // slowHeads stays counted without a second grace. 0 ms is no head limit
    // at all: nothing is counted either.
    void StartHeadDeadline(std::uint32_t milliseconds, CSlowHeads* slowHeads = nullptr);
    void EndHeadDeadline();
    // The deadline passed or the address was full: the head was cut off.
    bool HeadCutOff() const;
    // Some of the head came before it was cut off: the client is waiting
    // for an answer to it.
    bool HeadStarted() const { return m_headStart != 0; }
    // A connection silent for its grace counts against its address as a
    // slow head does, until its head ends; false (nothing counted) when the
    // address has its most heads under way already. It may be shut down
    // from another thread to make room, until it spoke (Spoke).
    bool CountSilent(CSlowHeads* slowHeads);
    // The first bytes of a connection counted as silent came.
    void Spoke();

    // The body's pace (body_pace.h) while a request body is read: reads wait
    // no longer than its allowance. Readers that wait for the client
    // themselves (a relay) charge their waits to it. With slowHeads, a body
    // that falls behind its pace by the slow-head grace counts against the
    // peer's address as a slow head does, and a read that finds the address
    // full ends the body (10053; RanOut then holds).
    void StartBodyPace(CSlowHeads* slowHeads = nullptr);
    void EndBodyPace();
    CBodyPace& GetBodyPace() { return m_bodyPace; }

    // Flushes, shuts down and closes (when owned), then turns SSL off. Never
    // throws. Returns the close result.
    int Close();
    // Readies the object for another connection: counters 0, buffers empty,
    // owned, no SSL, throw switch off, no time-out, no peer address.
    void ResetBuffers();

    // The fiber-mode seam: with a waiter every wait goes through it; null
    // returns to thread mode. The worker pool calls this when it takes the
    // socket. Cleared by ResetBuffers when no handle is held.
    void SetFiberMode(CIOWaiter* waiter);
    bool IsFiberMode() const { return m_fiberMode; }

    // The pause record of a pool socket (null elsewhere: never paused).
    void SetPause(CConnectionPause* pause) { m_pause = pause; }
    CConnectionPause* GetPause() const { return m_pause; }
    // Between two requests: true when the socket is a plain pool socket in
    // fiber mode holding no unread input or unsent output, so the pool can
    // wait for the next request itself. (An SSL layer keeps what it built
    // during the handshake on the turn's private heap, so it never pauses.)
    bool CanPause() const;
    // Keeps state and marks the pause requested (CanPause must hold); the
    // caller then returns up to the fiber without closing anything.
    void RequestPause(std::unique_ptr<CConnectionPause::State> state);
    // Paused sockets give their transfer buffers back; they are allocated
    // again before the next use (Attach and the pool's resumption do it).
    void ReleaseIdleBuffers();
    void RestoreBuffers();
    bool HasBuffers() const { return m_rawInput.GetData() != nullptr; }

    // The SSL hook. SetSecure(true) creates the layer through the installed
    // factory and the plaintext buffers; false destroys them. Returns 0 or -1
    // (Check; kSSLUnavailableError without a factory).
    int SetSecure(bool on);
    bool IsSecure() const { return m_sslActive; }
    void SetCertificate(const CByteBlock& certificate);
    // 0 when no layer exists.
    int SetPrivateKey(const CByteBlock& key);
    // Runs the layer's server handshake; its exceptions pass to the caller.
    void StartSecure();

    // The buffers the SSL layer and direct consumers work on.
    CAsyncIO& GetAppOutput() { return *m_appOutput; }
    CAsyncIO& GetAppInput() { return *m_appInput; }
    CAsyncIO& GetRawOutput() { return m_rawOutput; }
    CAsyncIO& GetRawInput() { return m_rawInput; }

    std::int64_t GetBytesSent() const { return m_bytesSent; }
    std::int64_t GetBytesReceived() const { return m_bytesReceived; }

private:
    friend class CAsyncIO;

    // Absolute monotonic deadline for one transfer of `units` time-outs; 0: none.
    std::uint64_t Deadline(std::uint64_t units = 1) const;
    // Deadline() for a read, shortened by the head deadline and the body's
    // pace.
    std::uint64_t ReadDeadline() const;
    // Bytes of a head arrived: starts its deadline, or counts it as slow
    // after the grace. False when the peer's address is full.
    bool AdmitHeadBytes();
    // Bytes of a body arrived: counts it as slow once it fell behind its
    // pace. False when the peer's address is full.
    bool AdmitBodyBytes();
    // 1 ready, 0 deadline passed (10060), -1 error.
    int WaitReady(bool forWrite, std::uint64_t deadline);
    // Reads what arrives (at most n); 0 at the end, -1 on failure.
    long ReceiveSome(char* destination, std::size_t n, std::uint64_t deadline);
    // Writes all n bytes; n or -1.
    long SendAll(const char* bytes, std::size_t n, bool moreToCome, std::uint64_t deadline);
    int FillRaw();
    void TakeHandle(int handle, bool owned, bool isFile);
    std::int64_t SendThroughBuffers(int file, std::int64_t length, const char* memory, std::int64_t offset);
    std::int64_t SendWithSendfile(int file, std::int64_t length, std::int64_t offset);
    void DropSecure();

    bool m_fiberMode = false;
    CIOWaiter* m_waiter = nullptr;
    CConnectionPause* m_pause = nullptr;
    bool m_sslActive = false;
    std::unique_ptr<CSSLLayer> m_ssl;
    CAsyncIO m_rawOutput;
    CAsyncIO m_rawInput;
    CAsyncIO m_sslOutput;
    CAsyncIO m_sslInput;
    CAsyncIO* m_appOutput = &m_rawOutput;
    CAsyncIO* m_appInput = &m_rawInput;
    std::int64_t m_bytesSent = 0;
    std::int64_t m_bytesReceived = 0;
    bool m_headActive = false;
    std::uint32_t m_headWindowMs = 0;
    std::uint64_t m_headStart = 0; // 0 until the head's first byte
    CSlowHeads* m_slowHeads = nullptr;
    CHeadMarkPtr m_headMark; // set while counted against the address
    bool m_bodyCounting = false; // m_slowHeads counts the body, not a head
    bool m_headRefused = false;
    CBodyPace m_bodyPace;
};

// The limits of one request for its whole scope, as every server applies
// them: the per-read time-out, the head's deadline and its count by
// address from the start; once the head is whole, the body's pace and its
// count. Held outside a server's try, so that a read a limit failed is
// still known as cut off (AnswerCutOff); ends both however the scope ends.
class CRequestLimits {
public:
    CRequestLimits(WSocket& socket, const CClientLimits& limits, CSlowHeads& slowHeads)
        : m_socket(socket), m_limits(limits), m_slowHeads(slowHeads)
    {
        // Without a head limit nothing is counted either.
        m_socket.StartHeadDeadline(m_limits.HeadWindowMs(), m_limits.CountsByAddress() ? &m_slowHeads : nullptr);
    }
    ~CRequestLimits()
    {
        m_socket.EndBodyPace();
        m_socket.EndHeadDeadline();
    }
    CRequestLimits(const CRequestLimits&) = delete;
    CRequestLimits& operator=(const CRequestLimits&) = delete;

    // Each read from now on waits at most ConnTimeout (a kept-alive
    // connection waits for its next request line by a time-out of its own).
    void BoundReads() { m_socket.SetTimeout(m_limits.ReadTimeoutMs()); }
    // The head is whole: its deadline ends, and what the client sends next
    // (a body, when paced is true) must keep the body's pace; a trickle
    // would otherwise renew the per-read time-out for as long as it liked.
    void HeadEnded(bool paced = true)
    {
        m_socket.EndHeadDeadline();
        if (paced && m_limits.PacesBodies())
            m_socket.StartBodyPace(m_limits.CountsByAddress() ? &m_slowHeads : nullptr);
    }
    // The body was read, or will not be: later reads are the reply's.
    void BodyEnded() { m_socket.EndBodyPace(); }

private:
    WSocket& m_socket;
    const CClientLimits m_limits;
    CSlowHeads& m_slowHeads;
};

// Process start-up: makes a broken pipe an error rather than a signal.
// (WinSock needed starting; Linux sockets do not.) Returns 0.
int BindSocketAPI();
void UnbindSocketAPI();
// sendfile(2) is always there; kept so callers read as designed.
bool HaveTransmitFile();
