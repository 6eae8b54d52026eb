#include "framework/wsocket.h"

#include "framework/line_end.h"
#include "framework/memory.h"
#include "framework/text_buffer.h"
#include "framework/thread_data.h"
#include "platform/heap.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

using platform::LastSocketError;
using platform::SetLastSocketError;

namespace {

std::atomic<SSLLayerFactory> g_sslFactory{nullptr};

} // namespace

void SetSSLLayerFactory(SSLLayerFactory factory) { g_sslFactory.store(factory); }
SSLLayerFactory GetSSLLayerFactory() { return g_sslFactory.load(); }

int BindSocketAPI()
{
    platform::IgnoreBrokenPipeSignal();
    return 0;
}

void UnbindSocketAPI() {}

bool HaveTransmitFile() { return true; }

// ---------------------------------------------------------------------------
// WSocketException

WSocketException::WSocketException(WSocketBase* failed, int code) : socket(failed), error(code)
{
    std::snprintf(m_text, sizeof m_text, "socket error %d", code);
}

bool IsQuietSocketError(int code)
{
    switch (code) {
    case platform::kWsaeIntr:
    case platform::kWsaeConnAborted:
    case platform::kWsaeConnReset:
    case platform::kWsaeNotConn:
    case platform::kWsaeShutdown:
    case platform::kWsaeTimedOut:
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// WSocketBase

namespace {
std::atomic<long> g_openClients{0};
}

long OpenClientSockets() { return g_openClients.load(std::memory_order_relaxed); }

WSocketBase::~WSocketBase() { CloseHeld(true); }

int WSocketBase::CloseHeld(bool withShutdown)
{
    int result = 0;
    if (m_client) {
        m_client = false;
        g_openClients.fetch_sub(1, std::memory_order_relaxed);
    }
    if (m_handle != platform::kInvalidSocket) {
        int saved = LastSocketError();
        if (m_owned) {
            if (withShutdown && !m_isFileHandle)
                platform::ShutdownSocket(m_handle);
            result = platform::CloseHandle(m_handle);
        }
        m_handle = platform::kInvalidSocket;
        if (result == 0)
            SetLastSocketError(saved);
    }
    return result;
}

int WSocketBase::Create(int family, int type, int protocol)
{
    CloseHeld(false);
    int handle = platform::OpenSocket(family, type, protocol);
    if (handle < 0)
        return Check(-1);
    m_handle = handle;
    m_isFileHandle = false;
    m_owned = true;
    return 0;
}

int WSocketBase::Bind(std::uint16_t port, std::uint32_t address)
{
    return Check(platform::BindIPv4(m_handle, port, address));
}

int WSocketBase::Listen(int backlog)
{
    return Check(platform::ListenSocket(m_handle, backlog));
}

int WSocketBase::Accept(std::uint32_t* peerAddress, bool nonBlocking)
{
    if (m_timeout != 0) {
        int ready = platform::WaitHandle(m_handle, false, m_timeout);
        if (ready <= 0)
            return Check(-1);
    }
    return Check(platform::AcceptSocket(m_handle, peerAddress, nullptr, nonBlocking));
}

int WSocketBase::Abort()
{
    bool saved = m_throwOnError;
    m_throwOnError = false;
    int result = CloseHeld(true);
    m_throwOnError = saved;
    return result;
}

int WSocketBase::CloseSocket()
{
    if (m_client) {
        m_client = false;
        g_openClients.fetch_sub(1, std::memory_order_relaxed);
    }
    if (m_handle == platform::kInvalidSocket)
        return 0;
    int result = platform::CloseHandle(m_handle);
    m_handle = platform::kInvalidSocket;
    return Check(result);
}

int WSocketBase::AbortWithReset()
{
    if (m_handle != platform::kInvalidSocket && m_owned && !m_isFileHandle)
        platform::SetResetOnClose(m_handle);
    return CloseHeld(false);
}

int WSocketBase::Shutdown()
{
    if (m_handle == platform::kInvalidSocket || m_isFileHandle)
        return 0;
    return platform::ShutdownSocket(m_handle);
}

int WSocketBase::GetLocalAddress(std::uint32_t* address, std::uint16_t* port)
{
    return Check(platform::LocalAddress(m_handle, address, port));
}

std::uint32_t WSocketBase::GetLocalAddress()
{
    std::uint32_t address = 0;
    return GetLocalAddress(&address) == 0 ? address : 0;
}

int WSocketBase::Check(int result)
{
    if (result == -1 && m_throwOnError)
        throw WSocketException(this, LastSocketError());
    return result;
}

int WSocketBase::Fail(int code)
{
    SetLastSocketError(code);
    return Check(-1);
}

// ---------------------------------------------------------------------------
// CAsyncIO

namespace {

// Transfer buffers a thread gave back, for its next socket: a kept-alive
// connection gives its buffers back while it waits and takes them again
// for each request.
thread_local platform::SpareBlocks<4, FreeMemory> t_spareBuffers;

char* TakeBuffer(int size)
{
    if (void* kept = t_spareBuffers.Take(static_cast<std::size_t>(size)))
        return static_cast<char*>(kept);
    // The shared heap: a socket may outlive the private heap of the thread that built it.
    CHeapSwitch shared;
    return static_cast<char*>(AllocMemory(static_cast<std::size_t>(size)));
}

void GiveBuffer(char* data, int size)
{
    if (data && !t_spareBuffers.Keep(data, static_cast<std::size_t>(size)))
        FreeMemory(data);
}

} // namespace

void CAsyncIO::Init(WSocket* owner, int size)
{
    Free();
    m_data = TakeBuffer(size);
    m_capacity = size;
    m_owner = owner;
    m_start = m_end = 0;
    m_done = true;
    m_bytes = 0;
    m_lastError = 0;
}

void CAsyncIO::Free()
{
    GiveBuffer(m_data, m_capacity);
    m_data = nullptr;
    m_capacity = m_start = m_end = 0;
}

void CAsyncIO::Complete(long bytes, int error)
{
    m_bytes = bytes;
    m_lastError = error;
    m_done = true;
}

void CAsyncIO::StartWrite(const char* bytes, int n)
{
    if (!bytes) {
        bytes = m_data + m_start;
        n = GetHeld();
    }
    m_done = false;
    if (n <= 0) {
        Complete(0, 0);
        return;
    }
    long written = m_owner->SendAll(bytes, static_cast<std::size_t>(n), false, m_owner->Deadline());
    Complete(written, written < 0 ? LastSocketError() : 0);
}

void CAsyncIO::StartRead(char* bytes, int n)
{
    bool intoBuffer = bytes == nullptr;
    if (intoBuffer) {
        bytes = m_data + m_end;
        n = GetFree();
    }
    m_done = false;
    if (n <= 0) {
        Complete(0, 0);
        return;
    }
    long got = m_owner->ReceiveSome(bytes, static_cast<std::size_t>(n), m_owner->ReadDeadline());
    if (got > 0 && intoBuffer)
        m_end += static_cast<int>(got);
    // The end of the input is reported as "not connected", as a closed pipe was.
    Complete(got, got < 0 ? LastSocketError() : got == 0 ? platform::kWsaeNotConn : 0);
}

int CAsyncIO::Wait()
{
    SetLastSocketError(m_lastError);
    return static_cast<int>(m_bytes);
}

bool CAsyncIO::Append(const void* bytes, int n)
{
    if (n < 0 || n > GetFree())
        return false;
    if (n > 0)
        std::memcpy(m_data + m_end, bytes, static_cast<std::size_t>(n));
    m_end += n;
    return true;
}

void CAsyncIO::Compact()
{
    if (m_start == 0)
        return;
    int held = GetHeld();
    if (held > 0)
        std::memmove(m_data, m_data + m_start, static_cast<std::size_t>(held));
    m_start = 0;
    m_end = held;
}

// ---------------------------------------------------------------------------
// WSocket: construction, handles and waits

WSocket::WSocket()
{
    m_rawOutput.Init(this, kOutputBufferSize);
    m_rawInput.Init(this, kInputBufferSize);
    ResetBuffers();
}

WSocket::~WSocket()
{
    Close();
}

void WSocket::TakeHandle(int handle, bool owned, bool isFile)
{
    Close();
    RestoreBuffers();
    m_handle = handle;
    m_owned = owned;
    m_isFileHandle = isFile;
    m_rawInput.Rewind();
    if (m_appInput != &m_rawInput)
        m_appInput->Rewind();
}

int WSocket::Attach(int socket, bool owned)
{
    TakeHandle(socket, owned, false);
    // Every socket transfer is non-blocking so that each wait is ours to bound.
    if (platform::SetCloseOnExec(socket) < 0 || platform::SetNonBlocking(socket, true) < 0)
        return Check(-1);
    return 0;
}

int WSocket::AttachAccepted(int socket)
{
    TakeHandle(socket, true, false);
    m_client = true;
    g_openClients.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int WSocket::AttachHandle(int handle, bool owned)
{
    TakeHandle(handle, owned, true);
    // A handle we do not own keeps its flags: it may be meant for a child.
    if (owned && platform::SetCloseOnExec(handle) < 0)
        return Check(-1);
    return 0;
}

int WSocket::Connect(const char* host, std::uint16_t port)
{
    std::uint32_t address = 0;
    int looked;
    {
        // The look-up's thread may outlive this fiber's heap (see host_name.cpp).
        CHeapSwitch shared;
        looked = platform::LookupIPv4Address(host, kNameLookupDeadlineMs, &address);
    }
    if (looked < 0)
        return Check(-1);
    if (m_handle == platform::kInvalidSocket && Create() < 0)
        return -1;
    if (platform::ConnectIPv4(m_handle, address, port, m_timeout) < 0) {
        // A socket whose connect failed is unusable; the next Connect starts afresh.
        CloseHeld(false);
        return Check(-1);
    }
    if (platform::SetNonBlocking(m_handle, true) < 0)
        return Check(-1);
    return 0;
}

std::uint64_t WSocket::Deadline(std::uint64_t units) const
{
    if (m_timeout == 0)
        return 0;
    return platform::MonotonicMs() + static_cast<std::uint64_t>(m_timeout) * units;
}

namespace {
thread_local CIOWaiter* t_threadWaiter = nullptr;
}

void SetThreadIOWaiter(CIOWaiter* waiter) { t_threadWaiter = waiter; }

int WaitForHandle(int handle, bool forWrite, std::uint32_t milliseconds)
{
    return t_threadWaiter ? t_threadWaiter->WaitForIOCompletion(handle, forWrite, milliseconds)
                          : platform::WaitHandle(handle, forWrite, milliseconds);
}

int WSocket::WaitReady(bool forWrite, std::uint64_t deadline)
{
    std::uint32_t milliseconds = platform::kInfinite;
    if (deadline != 0) {
        std::uint64_t now = platform::MonotonicMs();
        std::uint64_t left = deadline > now ? deadline - now : 0;
        milliseconds = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, platform::kInfinite - 1));
    }
    CIOWaiter* waiter = (m_fiberMode && m_waiter) ? m_waiter : t_threadWaiter;
    int ready = waiter ? waiter->WaitForIOCompletion(m_handle, forWrite, milliseconds)
                       : platform::WaitHandle(m_handle, forWrite, milliseconds);
    if (ready == 0)
        SetLastSocketError(platform::kWsaeTimedOut);
    return ready;
}

long WSocket::ReceiveSome(char* destination, std::size_t n, std::uint64_t deadline)
{
    if (m_handle == platform::kInvalidSocket) {
        SetLastSocketError(platform::kWsaeNotConn);
        return -1;
    }
    // A pipe is read in its own blocking mode, so a bounded wait comes first.
    const bool waitFirst = m_isFileHandle && (m_timeout != 0 || m_fiberMode);
    for (;;) {
        if (waitFirst && WaitReady(false, deadline) <= 0)
            return -1;
        long got = m_isFileHandle ? platform::ReadHandle(m_handle, destination, n)
                                  : platform::ReceiveBytes(m_handle, destination, n);
        if (got >= 0)
            return got;
        if (LastSocketError() != platform::kWsaeWouldBlock)
            return -1;
        if (!waitFirst && WaitReady(false, deadline) <= 0)
            return -1;
    }
}

long WSocket::SendAll(const char* bytes, std::size_t n, bool moreToCome, std::uint64_t deadline)
{
    if (m_handle == platform::kInvalidSocket) {
        SetLastSocketError(platform::kWsaeNotConn);
        return -1;
    }
    const bool waitFirst = m_isFileHandle && (m_timeout != 0 || m_fiberMode);
    std::size_t done = 0;
    while (done < n) {
        if (waitFirst && WaitReady(true, deadline) <= 0)
            return -1;
        long sent = m_isFileHandle ? platform::WriteHandle(m_handle, bytes + done, n - done)
                                   : platform::SendBytes(m_handle, bytes + done, n - done, moreToCome);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            // A short count means the queue is full: asking again at once
            // would only be refused.
            if (done < n && !waitFirst && WaitReady(true, deadline) <= 0)
                return -1;
            continue;
        }
        if (sent == 0) {
            SetLastSocketError(platform::kWsaeConnAborted);
            return -1;
        }
        if (LastSocketError() != platform::kWsaeWouldBlock)
            return -1;
        if (!waitFirst && WaitReady(true, deadline) <= 0)
            return -1;
    }
    return static_cast<long>(n);
}

void WSocket::SetFiberMode(CIOWaiter* waiter)
{
    m_waiter = waiter;
    m_fiberMode = waiter != nullptr;
}

// ---------------------------------------------------------------------------
// WSocket: output

int WSocket::Send(const void* bytes, int n, bool buffered)
{
    if (n < 0)
        return Fail(platform::kWsaeInval);
    if ((!buffered || m_appOutput->GetFree() < n) && Flush() < 0)
        return -1;
    if (buffered && n <= m_appOutput->GetFree()) {
        m_appOutput->Append(bytes, n);
        return n;
    }
    return Write(bytes, n, buffered);
}

int WSocket::SendText(std::string_view text, bool buffered)
{
    return Send(text.data(), static_cast<int>(text.size()), buffered);
}

int WSocket::SendLine(const char* text, int n, bool buffered)
{
    // Both parts go through the buffer so a short line leaves in one write.
    if (Send(text, n, true) < 0 || Send("\r\n", 2, true) < 0)
        return -1;
    if (!buffered && Flush() < 0)
        return -1;
    return n + 2;
}

int WSocket::SendTextLine(std::string_view text, bool buffered)
{
    return SendLine(text.data(), static_cast<int>(text.size()), buffered);
}

int WSocket::Write(const void* bytes, int n, bool buffered)
{
    if (n < 0)
        return Fail(platform::kWsaeInval);
    const char* source = static_cast<const char*>(bytes);
    if (!m_sslActive) {
        // What is buffered goes first, so bytes leave in the order given.
        if (FlushOutput() < 0)
            return -1;
        for (int done = 0; done < n;) {
            int piece = std::min(n - done, kWritePieceSize);
            m_rawOutput.StartWrite(source + done, piece);
            int written = m_rawOutput.Wait();
            if (written < 0)
                return Check(-1);
            m_bytesSent += written;
            done += piece;
        }
        return n;
    }
    for (int done = 0; done < n;) {
        int piece = std::min(n - done, m_appOutput->GetFree());
        m_appOutput->Append(source + done, piece);
        done += piece;
        if (m_appOutput->GetFree() == 0) {
            if (m_ssl->WriteRecord() < 0)
                return -1;
            if (m_appOutput->GetFree() == 0)
                return Fail(platform::kWsaeConnAborted); // a layer that took nothing would loop forever
        }
    }
    if (!buffered && Flush() < 0)
        return -1;
    return n;
}

int WSocket::Flush()
{
    if (m_sslActive) {
        if (m_appOutput->GetHeld() == 0)
            return 0;
        return m_ssl->WriteRecord();
    }
    return FlushOutput();
}

int WSocket::FlushOutput()
{
    if (m_rawOutput.GetHeld() == 0)
        return 0;
    m_rawOutput.StartWrite();
    int written = m_rawOutput.Wait();
    // Emptied even on failure: a broken connection must not be written twice.
    m_rawOutput.Rewind();
    if (written < 0)
        return Check(-1);
    m_bytesSent += written;
    return written;
}

int WSocket::WriteBlock(const void* bytes, int n)
{
    if (n < 0)
        return Fail(platform::kWsaeInval);
    if (m_rawOutput.GetFree() < n && FlushOutput() < 0)
        return -1;
    if (m_rawOutput.Append(bytes, n))
        return n;
    // Larger than a whole buffer: written as it is.
    m_rawOutput.StartWrite(static_cast<const char*>(bytes), n);
    int written = m_rawOutput.Wait();
    if (written < 0)
        return Check(-1);
    m_bytesSent += written;
    return n;
}

// ---------------------------------------------------------------------------
// WSocket: input

int WSocket::FillRaw()
{
    m_rawInput.Compact();
    if (m_rawInput.GetFree() == 0)
        return m_rawInput.GetHeld();
    const std::uint64_t began = m_bodyPace.Active() ? platform::MonotonicMs() : 0;
    m_rawInput.StartRead();
    int got = m_rawInput.Wait();
    if (m_bodyPace.Active())
        m_bodyPace.Waited(platform::MonotonicMs() - began, got);
    if (got < 0)
        return Check(-1);
    m_bytesReceived += got;
    if (got > 0 && m_headActive && !AdmitHeadBytes())
        return Fail(platform::kWsaeConnAborted);
    if (got > 0 && m_bodyCounting && !AdmitBodyBytes())
        return Fail(platform::kWsaeConnAborted);
    return got;
}

int WSocket::Fill()
{
    if (m_sslActive) {
        m_appInput->Compact();
        return m_ssl->ReadRecord();
    }
    return FillRaw();
}

int WSocket::Read(void* destination, int n, bool peek)
{
    if (n <= 0)
        return 0;
    if (m_appInput->GetHeld() == 0) {
        int got = Fill();
        if (got <= 0)
            return got;
    }
    int take = std::min(n, m_appInput->GetHeld());
    std::memcpy(destination, m_appInput->GetData() + m_appInput->GetStart(), static_cast<std::size_t>(take));
    if (!peek)
        m_appInput->SetStart(m_appInput->GetStart() + take);
    return take;
}

int WSocket::ReadExact(void* destination, int n)
{
    char* target = static_cast<char*>(destination);
    int copied = 0;
    while (copied < n) {
        int got = Read(target + copied, n - copied);
        if (got <= 0)
            break;
        copied += got;
    }
    return copied;
}

int WSocket::ReadRaw(void* destination, int n)
{
    char* target = static_cast<char*>(destination);
    int copied = 0;
    while (copied < n) {
        if (m_rawInput.GetHeld() == 0 && FillRaw() <= 0)
            break;
        int take = std::min(n - copied, m_rawInput.GetHeld());
        std::memcpy(target + copied, m_rawInput.GetData() + m_rawInput.GetStart(), static_cast<std::size_t>(take));
        m_rawInput.SetStart(m_rawInput.GetStart() + take);
        copied += take;
    }
    return copied;
}

int WSocket::ReadLine(CTextBuffer& text, bool strip)
{
    int added = 0;
    for (;;) {
        if (m_appInput->GetHeld() == 0) {
            int got = Fill();
            if (got <= 0)
                return got;
            continue;
        }
        const char* start = m_appInput->GetData() + m_appInput->GetStart();
        const int held = m_appInput->GetHeld();
        const char* lineFeed = static_cast<const char*>(std::memchr(start, '\n', static_cast<std::size_t>(held)));
        const int take = lineFeed ? static_cast<int>(lineFeed - start) + 1 : held;
        if (take > kMaxLineLength - added)
            return Fail(kLineTooLongError);
        text.Append(start, take);
        m_appInput->SetStart(m_appInput->GetStart() + take);
        added += take;
        if (lineFeed)
            break;
    }
    return strip ? StripLineEnd(text, added) : added;
}

bool WSocket::WaitForInput(std::uint32_t milliseconds)
{
    if (m_appInput->GetHeld() > 0 || m_rawInput.GetHeld() > 0)
        return true;
    if (m_handle == platform::kInvalidSocket)
        return false;
    std::uint64_t deadline = milliseconds == platform::kInfinite ? 0 : platform::MonotonicMs() + milliseconds;
    return WaitReady(false, deadline) > 0;
}

// ---------------------------------------------------------------------------
// WSocket: files

std::int64_t WSocket::SendFile(int file, std::int64_t length, const char* memory, std::int64_t offset,
                               bool keepConnection)
{
    (void)keepConnection;
    if (length < 0 || offset < 0)
        return Fail(platform::kWsaeInval);
    if (memory || m_sslActive || m_isFileHandle)
        return SendThroughBuffers(file, length, memory, offset);
    return SendWithSendfile(file, length, offset);
}

std::int64_t WSocket::SendThroughBuffers(int file, std::int64_t length, const char* memory, std::int64_t offset)
{
    // Read with pread rather than mapped: another process may truncate the
    // file while it is being sent, which would fault a mapping.
    constexpr int kChunk = 65536;
    if (m_appOutput->GetFree() < length && Flush() < 0)
        return -1;
    if (memory) {
        if (length <= m_appOutput->GetFree()) {
            m_appOutput->Append(memory + offset, static_cast<int>(length));
            return length;
        }
        for (std::int64_t done = 0; done < length;) {
            int piece = static_cast<int>(std::min<std::int64_t>(length - done, kWritePieceSize));
            if (Write(memory + offset + done, piece, true) < 0)
                return -1;
            done += piece;
        }
        return length;
    }
    std::unique_ptr<char[]> chunk(new char[kChunk]);
    for (std::int64_t done = 0; done < length;) {
        std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(length - done, kChunk));
        long got = platform::ReadFileAt(file, chunk.get(), want, offset + done);
        if (got < 0)
            return Check(-1);
        if (got == 0)
            return Fail(platform::kWsaeConnAborted); // the file is shorter than promised
        if (Send(chunk.get(), static_cast<int>(got), true) < 0)
            return -1;
        done += got;
    }
    return length;
}

std::int64_t WSocket::SendWithSendfile(int file, std::int64_t length, std::int64_t offset)
{
    // One time-out per started unit, and at least one: an empty file must
    // not get a zero wait limit.
    std::uint64_t units = std::max<std::uint64_t>(1, (static_cast<std::uint64_t>(length) + kSendFileUnit - 1) / kSendFileUnit);
    const std::uint64_t deadline = Deadline(units);
    if (length <= kCopiedFileBytes && length <= m_rawOutput.GetFree()) {
        const int end = m_rawOutput.GetEnd();
        const long got = platform::ReadFileAt(file, m_rawOutput.GetData() + end, static_cast<std::size_t>(length), offset);
        // A file shorter than promised is left to the sendfile path, which
        // reports it.
        if (got == length) {
            m_rawOutput.SetEnd(end + static_cast<int>(got));
            long sent = SendAll(m_rawOutput.GetData() + m_rawOutput.GetStart(),
                                static_cast<std::size_t>(m_rawOutput.GetHeld()), false, deadline);
            m_rawOutput.Rewind();
            if (sent < 0)
                return Check(-1);
            m_bytesSent += sent;
            return length;
        }
    }
    if (m_rawOutput.GetHeld() > 0) {
        long head = SendAll(m_rawOutput.GetData() + m_rawOutput.GetStart(),
                            static_cast<std::size_t>(m_rawOutput.GetHeld()), length > 0, deadline);
        m_rawOutput.Rewind();
        if (head < 0)
            return Check(-1);
        m_bytesSent += head;
    }
    std::int64_t done = 0;
    while (done < length) {
        const std::size_t asked = static_cast<std::size_t>(std::min<std::int64_t>(length - done, 1 << 30));
        long sent = platform::SendFileRange(m_handle, file, offset + done, asked);
        if (sent > 0) {
            done += sent;
            m_bytesSent += sent;
            // As in SendAll.
            if (static_cast<std::size_t>(sent) < asked && WaitReady(true, deadline) <= 0)
                return Check(-1);
            continue;
        }
        if (sent == 0)
            return Fail(platform::kWsaeConnAborted); // the file is shorter than promised
        int error = LastSocketError();
        if (error == platform::kWsaeOpNotSupp && done == 0) {
            // A source sendfile cannot take: read it and send it ourselves.
            std::unique_ptr<char[]> chunk(new char[kWritePieceSize]);
            while (done < length) {
                std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(length - done, kWritePieceSize));
                long got = platform::ReadFileAt(file, chunk.get(), want, offset + done);
                if (got <= 0)
                    return got < 0 ? Check(-1) : Fail(platform::kWsaeConnAborted);
                if (SendAll(chunk.get(), static_cast<std::size_t>(got), false, deadline) < 0)
                    return Check(-1);
                done += got;
                m_bytesSent += got;
            }
            break;
        }
        if (error != platform::kWsaeWouldBlock || WaitReady(true, deadline) <= 0)
            return Check(-1);
    }
    return done;
}

// ---------------------------------------------------------------------------
// WSocket: closing, reuse and SSL

int WSocket::Close()
{
    bool saved = m_throwOnError;
    m_throwOnError = false;
    int result = 0;
    try {
        if (m_handle != platform::kInvalidSocket) {
            Flush();
            result = CloseHeld(true);
        }
    } catch (...) {
        // An SSL layer may throw on its own account; Close never does.
        result = CloseHeld(true);
    }
    if (!m_isFileHandle)
        DropSecure();
    m_throwOnError = saved;
    return result;
}

void WSocket::ResetBuffers()
{
    // A connection abandoned at a stop never ended its head, and its
    // server's count may be gone: forgotten, not left.
    m_slowHeads = nullptr;
    EndHeadDeadline();
    m_bodyPace = CBodyPace();
    m_bytesSent = m_bytesReceived = 0;
    DropSecure();
    m_rawOutput.Rewind();
    m_rawInput.Rewind();
    m_owned = true;
    m_throwOnError = false;
    m_timeout = 0;
    m_peerAddress = 0;
    if (m_handle == platform::kInvalidSocket)
        SetFiberMode(nullptr);
}

bool WSocket::CanPause() const
{
    // Unread bytes belong to the next request, which is served at once.
    return m_pause && m_fiberMode && !m_sslActive && !m_isFileHandle && m_rawInput.GetHeld() == 0 &&
           m_rawOutput.GetHeld() == 0;
}

void WSocket::RequestPause(std::unique_ptr<CConnectionPause::State> state)
{
    m_pause->state = std::move(state);
    m_pause->requested = true;
}

void WSocket::ReleaseIdleBuffers()
{
    // The SSL layer's buffers stay: they are the layer's, not the socket's.
    if (m_sslActive || m_rawInput.GetHeld() > 0 || m_rawOutput.GetHeld() > 0)
        return;
    m_rawInput.Free();
    m_rawOutput.Free();
}

void WSocket::RestoreBuffers()
{
    if (!m_rawOutput.GetData())
        m_rawOutput.Init(this, kOutputBufferSize);
    if (!m_rawInput.GetData())
        m_rawInput.Init(this, kInputBufferSize);
}

void WSocket::DropSecure()
{
    m_ssl.reset();
    m_sslOutput.Free();
    m_sslInput.Free();
    m_appOutput = &m_rawOutput;
    m_appInput = &m_rawInput;
    m_sslActive = false;
}

int WSocket::SetSecure(bool on)
{
    if (!on) {
        DropSecure();
        return 0;
    }
    if (m_sslActive)
        return 0;
    SSLLayerFactory factory = GetSSLLayerFactory();
    if (!factory)
        return Fail(kSSLUnavailableError);
    m_sslOutput.Init(this, kSSLOutputSize);
    m_sslInput.Init(this, kSSLInputSize);
    m_appOutput = &m_sslOutput;
    m_appInput = &m_sslInput;
    m_sslActive = true;
    try {
        CHeapSwitch shared;
        m_ssl = factory(*this);
    } catch (...) {
        DropSecure();
        throw;
    }
    if (!m_ssl) {
        DropSecure();
        return Fail(kSSLUnavailableError);
    }
    return 0;
}

void WSocket::SetCertificate(const CByteBlock& certificate)
{
    if (m_ssl)
        m_ssl->SetCertificate(certificate);
}

int WSocket::SetPrivateKey(const CByteBlock& key)
{
    return m_ssl ? m_ssl->SetPrivateKey(key) : 0;
}

void WSocket::StartSecure()
{
    if (m_ssl)
        m_ssl->ServerHandshake();
}
