#include "platform/remote_registry.h"

#include "platform/process.h"
#include "platform/remote_key_ops.h"
#include "platform/remote_protocol.h"
#include "platform/service_status.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// A host name longer than this is no host name (a DNS name is at most 253).
constexpr std::size_t kMaxHostName = 255;
// How long a closing connection gives the remote shell to end by itself.
constexpr int kShellExitGraceMs = 2000;

bool HostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '_' || c == ':' || c == '@' || c == '[' || c == ']';
}

std::vector<std::string> ShellCommand(const std::string& host)
{
    const char* configured = std::getenv("VELMORA_REMOTE_SHELL");
    std::string_view line = configured && *configured ? configured : kDefaultRemoteShell;
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        std::size_t end = line.find(' ', at);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > at) {
            std::string word(line.substr(at, end - at));
            for (std::size_t mark = word.find("%h"); mark != std::string::npos; mark = word.find("%h", mark + host.size()))
                word.replace(mark, 2, host);
            words.push_back(std::move(word));
        }
        at = end + 1;
    }
    return words;
}

RemoteRequest KeyRequest(RemoteOp op, std::int64_t handle, std::string_view text = {}, std::uint32_t number = 0)
{
    RemoteRequest request;
    request.op = op;
    request.handle = static_cast<std::uint32_t>(handle);
    request.text.assign(text);
    request.number = number;
    return request;
}

// The size-first protocol of RegistryKey::QueryValue on a value already fetched.
int Deliver(const std::vector<std::uint8_t>& bytes, void* data, std::size_t* size)
{
    if (!data) {
        if (size)
            *size = bytes.size();
        return kErrorSuccess;
    }
    if (*size < bytes.size()) {
        *size = bytes.size();
        return kErrorMoreData;
    }
    if (!bytes.empty())
        std::memcpy(data, bytes.data(), bytes.size());
    *size = bytes.size();
    return kErrorSuccess;
}

// Whether a request, once carried out, leaves the far machine changed.
bool Changes(const RemoteRequest& request)
{
    switch (request.op) {
    case RemoteOp::Create:
    case RemoteOp::SetValue:
    case RemoteOp::DeleteValue:
    case RemoteOp::DeleteKey:
    case RemoteOp::DeleteTree:
    case RemoteOp::Commit:
    case RemoteOp::ServiceStart:
        return true;
    case RemoteOp::ServiceControl:
        return request.number != kServiceControlInterrogate;
    default:
        return false;
    }
}

// The last line with text of what the remote shell wrote to its errors,
// cleaned of control characters and cut to a length a message can show.
std::string LastErrorLine(int errors)
{
    constexpr std::size_t kMaxRead = 64 * 1024;
    constexpr std::size_t kMaxLine = 300;
    std::string text(kMaxRead, '\0');
    struct stat info {};
    off_t from = ::fstat(errors, &info) == 0 && info.st_size > static_cast<off_t>(kMaxRead)
                     ? info.st_size - static_cast<off_t>(kMaxRead)
                     : 0;
    ssize_t got = ::pread(errors, text.data(), kMaxRead, from);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::string line;
    std::size_t end = text.size();
    while (line.empty() && end > 0) {
        std::size_t start = text.rfind('\n', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        for (std::size_t i = start; i < end; ++i)
            if (static_cast<unsigned char>(text[i]) >= 0x20 && text[i] != 0x7F)
                line += text[i];
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        end = start > 0 ? start - 1 : 0;
    }
    if (line.size() > kMaxLine)
        line = line.substr(0, kMaxLine) + "...";
    return line;
}

} // namespace

std::string RemoteHostName(std::string_view typed)
{
    while (!typed.empty() && typed.front() == '\\')
        typed.remove_prefix(1);
    if (typed.empty() || typed.size() > kMaxHostName || typed.front() == '-')
        return {};
    for (char c : typed)
        if (!HostCharacter(c))
            return {};
    return std::string(typed);
}

RemoteRegistry::RemoteRegistry() : m_shell(std::make_unique<ChildProcess>()) {}

RemoteRegistry::~RemoteRegistry()
{
    // End of input ends `serve`, which rolls back an unfinished transaction.
    m_shell->CloseInput();
    if (m_shell->ProcessHandle() < 0)
        return;
    // The shell's exit is awaited off the caller's thread (a window's, say)
    // and bounded: a far side that stopped answering never ends by itself,
    // so it is ended after the grace time.
    std::thread([shell = std::move(m_shell)] {
        pollfd entry{shell->ProcessHandle(), POLLIN, 0};
        ::poll(&entry, 1, kShellExitGraceMs);
        shell->KillAndReap();
    }).detach();
}

int RemoteRegistry::Connect(std::string_view host, std::unique_ptr<RemoteRegistry>& result, std::string* why)
{
    int error = Make(host, result, why);
    if (error == kErrorSuccess)
        error = result->Reconnect(why);
    if (error != kErrorSuccess)
        result.reset();
    return error;
}

int RemoteRegistry::Make(std::string_view host, std::unique_ptr<RemoteRegistry>& result, std::string* why)
{
    result.reset();
    std::string name = RemoteHostName(host);
    if (name.empty()) {
        if (why)
            *why = "\"" + std::string(host.substr(0, 64)) + "\" is not a host name";
        return kErrorInvalidParameter;
    }
    // A far side that dies between our requests must give an error, not end
    // this process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<RemoteRegistry> remote(new RemoteRegistry());
    remote->m_host = name;
    remote->m_broken = true;
    remote->m_root = RegistryKey(kRemoteLocalMachine, 0);
    remote->m_root.m_remote = remote.get();
    result = std::move(remote);
    return kErrorSuccess;
}

int RemoteRegistry::Open(std::string& reason)
{
    ChildStart start;
    start.arguments = ShellCommand(m_host);
    if (start.arguments.empty()) {
        reason = "no remote shell command is set";
        return kErrorRemoteUnavailable;
    }
    // The shell's errors (ssh's reason for a refused login, say) go to a
    // file in memory, read only when the connection fails; a file, not a
    // pipe, so a shell that keeps writing never blocks on it.
    const int errors = ::memfd_create("velmora-remote-shell-errors", MFD_CLOEXEC);
    start.error = errors;
    int started = 0;
    {
        // Abandon may look at the shell from another thread meanwhile.
        std::lock_guard<std::mutex> shell(m_shellLock);
        started = m_shell->Start(start);
        m_broken = false;
    }
    if (started == kErrorFileNotFoundForStart) {
        reason = "the remote shell " + start.arguments[0] + " is not installed";
    } else if (started != 0) {
        reason = "the remote shell " + start.arguments[0] + " cannot be run (error " + std::to_string(started) + ")";
    } else {
        RemoteRequest hello;
        hello.op = RemoteOp::Hello;
        hello.text = std::string(kRemoteGreeting);
        RemoteReply reply;
        if (Exchange(hello, reply) != kErrorSuccess || reply.text != kRemoteGreeting) {
            reason = errors >= 0 ? LastErrorLine(errors) : std::string();
            if (reason.empty())
                reason = "the remote shell " + start.arguments[0] + " gave no answer";
        }
    }
    if (errors >= 0)
        ::close(errors);
    if (!reason.empty()) {
        m_broken = true;
        return kErrorRemoteUnavailable;
    }
    ++m_session;
    return kErrorSuccess;
}

void RemoteRegistry::CloseLater(std::uint32_t handle, std::uint32_t session)
{
    std::lock_guard<std::mutex> hold(m_closeLock);
    m_closes.emplace_back(handle, session);
}

int RemoteRegistry::Reconnect(std::string* why)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_broken)
        return kErrorSuccess;
    auto fresh = std::make_unique<ChildProcess>();
    {
        std::lock_guard<std::mutex> shell(m_shellLock);
        m_shell.swap(fresh);
    }
    // The old shell was killed when the channel broke: this only reaps it.
    fresh.reset();
    std::string reason;
    int error = Open(reason);
    if (error && why)
        *why = std::move(reason);
    return error;
}

void RemoteRegistry::Abandon()
{
    std::lock_guard<std::mutex> shell(m_shellLock);
    m_broken = true;
    // The shell's end closes its pipes, so a wait for its reply ends now.
    m_shell->Kill();
}

int RemoteRegistry::Call(const RemoteRequest& request, RemoteReply& reply, std::uint32_t session)
{
    // The far side would drop a request over the limits: refuse it here
    // instead, so the channel stays usable.
    if (request.text.size() > kMaxRemoteText || EncodeRemoteRequest(request).size() > kMaxRemoteFrame)
        return kErrorInvalidParameter;
    std::lock_guard<std::mutex> hold(m_lock);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> closes;
    {
        std::lock_guard<std::mutex> pending(m_closeLock);
        closes.swap(m_closes);
    }
    for (const auto& [handle, opened] : closes) {
        // A handle of a far side that was left is gone with it.
        if (opened != m_session)
            continue;
        RemoteReply closed;
        if (Exchange(KeyRequest(RemoteOp::Close, handle), closed) == kErrorRemoteUnavailable)
            return kErrorRemoteUnavailable;
    }
    // A handle of a far side that was left would name another key on the new one.
    if (session && session != m_session)
        return kErrorInvalidHandle;
    return Exchange(request, reply);
}

int RemoteRegistry::Exchange(const RemoteRequest& request, RemoteReply& reply)
{
    if (m_broken) {
        // The far side that was left rolled back what it had open.
        m_inTransaction = false;
        return kErrorRemoteUnavailable;
    }
    // A write inside the far side's transaction ends with it; its commit does not.
    const bool changes = Changes(request) && (!m_inTransaction || request.op == RemoteOp::Commit);
    std::string payload;
    if (!WriteRemoteFrame(m_shell->InputHandle(), EncodeRemoteRequest(request), kRemoteReplyTimeoutMs) ||
        !ReadRemoteFrame(m_shell->OutputHandle(), payload, kRemoteReplyTimeoutMs) ||
        !DecodeRemoteReply(payload, reply) || m_broken) {
        // Out of step or gone: nothing later on this channel can be trusted.
        std::lock_guard<std::mutex> shell(m_shellLock);
        m_broken = true;
        m_shell->Kill();
        m_inTransaction = false;
        if (changes)
            ++m_unanswered;
        return kErrorRemoteUnavailable;
    }
    if (request.op == RemoteOp::Begin)
        m_inTransaction = reply.result == kErrorSuccess;
    else if (request.op == RemoteOp::Commit || request.op == RemoteOp::Rollback)
        m_inTransaction = false;
    return static_cast<int>(reply.result);
}

void RemoteKeyOps::Close(RegistryKey& key)
{
    if (key.IsPredefined() || !key.IsOpen() || key.m_remote->Broken())
        return;
    key.m_remote->CloseLater(static_cast<std::uint32_t>(key.m_id), KeySession(key));
}

int RemoteKeyOps::Open(const RegistryKey& key, std::string_view path, RegistryKey& result,
                       RegistryDisposition* disposition, bool create)
{
    RemoteRegistry* remote = key.m_remote;
    RemoteRequest request = KeyRequest(create ? RemoteOp::Create : RemoteOp::Open, key.m_id, path);
    result.Close();
    RemoteReply reply;
    int status = remote->Call(request, reply, KeySession(key));
    if (status != kErrorSuccess)
        return status;
    result.m_id = reply.handle;
    result.m_generation = remote->Session();
    result.m_remote = remote;
    if (disposition)
        *disposition = static_cast<RegistryDisposition>(reply.number);
    return kErrorSuccess;
}

int RemoteKeyOps::SetValue(const RegistryKey& key, std::string_view name, std::uint32_t type, const void* data,
                           std::size_t size)
{
    if (!data && size)
        return kErrorInvalidParameter;
    if (size > kMaxRemoteFrame)
        return kErrorInvalidParameter;
    RemoteRequest request = KeyRequest(RemoteOp::SetValue, key.m_id, name, type);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    request.data.assign(bytes, bytes + size);
    RemoteReply reply;
    return key.m_remote->Call(request, reply, KeySession(key));
}

int RemoteKeyOps::QueryValue(const RegistryKey& key, std::string_view name, RegistryValue& value)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryValue, key.m_id, name), reply, KeySession(key));
    if (status == kErrorSuccess) {
        value.type = reply.number;
        value.data = std::move(reply.data);
    }
    return status;
}

int RemoteKeyOps::QueryValue(const RegistryKey& key, std::string_view name, std::uint32_t* type, void* data,
                             std::size_t* size)
{
    if (data && !size)
        return kErrorInvalidParameter;
    RegistryValue value;
    int status = QueryValue(key, name, value);
    if (status != kErrorSuccess)
        return status;
    if (type)
        *type = value.type;
    return Deliver(value.data, data, size);
}

int RemoteKeyOps::EnumValue(const RegistryKey& key, std::uint32_t index, std::string& name, RegistryValue& value)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::EnumValue, key.m_id, {}, index), reply, KeySession(key));
    if (status == kErrorSuccess) {
        name = std::move(reply.text);
        value.type = reply.other;
        value.data = std::move(reply.data);
    }
    return status;
}

int RemoteKeyOps::EnumValue(const RegistryKey& key, std::uint32_t index, std::string& name, std::uint32_t* type,
                            void* data, std::size_t* size)
{
    if (data && !size)
        return kErrorInvalidParameter;
    RegistryValue value;
    int status = EnumValue(key, index, name, value);
    if (status != kErrorSuccess)
        return status;
    if (type)
        *type = value.type;
    return Deliver(value.data, data, size);
}

int RemoteKeyOps::EnumKey(const RegistryKey& key, std::uint32_t index, std::string& name)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::EnumKey, key.m_id, {}, index), reply, KeySession(key));
    if (status == kErrorSuccess)
        name = std::move(reply.text);
    return status;
}

int RemoteKeyOps::QueryInfo(const RegistryKey& key, std::uint32_t* subkeys, std::uint32_t* values)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryInfo, key.m_id), reply, KeySession(key));
    if (status == kErrorSuccess) {
        if (subkeys)
            *subkeys = reply.number;
        if (values)
            *values = reply.other;
    }
    return status;
}

int RemoteKeyOps::QueryPath(const RegistryKey& key, std::string& path)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryPath, key.m_id), reply, KeySession(key));
    if (status == kErrorSuccess)
        path = std::move(reply.text);
    return status;
}

int RemoteKeyOps::Delete(const RegistryKey& key, int which, std::string_view name)
{
    static constexpr RemoteOp kOps[] = {RemoteOp::DeleteValue, RemoteOp::DeleteKey, RemoteOp::DeleteTree};
    RemoteReply reply;
    return key.m_remote->Call(KeyRequest(kOps[which], key.m_id, name), reply, KeySession(key));
}

int RemoteKeyOps::Transaction(RemoteRegistry& remote, int step)
{
    static constexpr RemoteOp kOps[] = {RemoteOp::Begin, RemoteOp::Commit, RemoteOp::Rollback};
    RemoteReply reply;
    return remote.Call(KeyRequest(kOps[step], 0), reply);
}

} // namespace platform
