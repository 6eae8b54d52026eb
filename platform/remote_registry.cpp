#include "platform/remote_registry.h"

#include "platform/process.h"
#include "platform/remote_key_ops.h"
#include "platform/remote_protocol.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
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
    if (m_shell->ProcessHandle() >= 0) {
        pollfd entry{m_shell->ProcessHandle(), POLLIN, 0};
        ::poll(&entry, 1, kShellExitGraceMs);
    }
}

int RemoteRegistry::Connect(std::string_view host, std::unique_ptr<RemoteRegistry>& result)
{
    result.reset();
    std::string name = RemoteHostName(host);
    if (name.empty())
        return kErrorInvalidParameter;
    // A far side that dies between our requests must give an error, not end
    // this process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<RemoteRegistry> remote(new RemoteRegistry());
    remote->m_host = name;
    ChildStart start;
    start.arguments = ShellCommand(name);
    if (start.arguments.empty() || remote->m_shell->Start(start) != 0)
        return kErrorRemoteUnavailable;
    RemoteRequest hello;
    hello.op = RemoteOp::Hello;
    hello.text = std::string(kRemoteGreeting);
    RemoteReply reply;
    if (remote->Call(hello, reply) != kErrorSuccess || reply.text != kRemoteGreeting)
        return kErrorRemoteUnavailable;
    remote->m_root = RegistryKey(kRemoteLocalMachine, 0);
    remote->m_root.m_remote = remote.get();
    result = std::move(remote);
    return kErrorSuccess;
}

int RemoteRegistry::Call(const RemoteRequest& request, RemoteReply& reply)
{
    // The far side would drop a request over the limits: refuse it here
    // instead, so the channel stays usable.
    std::string message = EncodeRemoteRequest(request);
    if (request.text.size() > kMaxRemoteText || message.size() > kMaxRemoteFrame)
        return kErrorInvalidParameter;
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_broken)
        return kErrorRemoteUnavailable;
    std::string payload;
    if (!WriteRemoteFrame(m_shell->InputHandle(), message, kRemoteReplyTimeoutMs) ||
        !ReadRemoteFrame(m_shell->OutputHandle(), payload, kRemoteReplyTimeoutMs) ||
        !DecodeRemoteReply(payload, reply)) {
        // Out of step or gone: nothing later on this channel can be trusted.
        m_broken = true;
        m_shell->Kill();
        return kErrorRemoteUnavailable;
    }
    return static_cast<int>(reply.result);
}

void RemoteKeyOps::Close(RegistryKey& key)
{
    if (key.IsPredefined() || !key.IsOpen() || key.m_remote->Broken())
        return;
    RemoteReply reply;
    key.m_remote->Call(KeyRequest(RemoteOp::Close, key.m_id), reply);
}

int RemoteKeyOps::Open(const RegistryKey& key, std::string_view path, RegistryKey& result,
                       RegistryDisposition* disposition, bool create)
{
    RemoteRegistry* remote = key.m_remote;
    RemoteRequest request = KeyRequest(create ? RemoteOp::Create : RemoteOp::Open, key.m_id, path);
    result.Close();
    RemoteReply reply;
    int status = remote->Call(request, reply);
    if (status != kErrorSuccess)
        return status;
    result.m_id = reply.handle;
    result.m_generation = 1;
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
    return key.m_remote->Call(request, reply);
}

int RemoteKeyOps::QueryValue(const RegistryKey& key, std::string_view name, RegistryValue& value)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryValue, key.m_id, name), reply);
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
    int status = key.m_remote->Call(KeyRequest(RemoteOp::EnumValue, key.m_id, {}, index), reply);
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
    int status = key.m_remote->Call(KeyRequest(RemoteOp::EnumKey, key.m_id, {}, index), reply);
    if (status == kErrorSuccess)
        name = std::move(reply.text);
    return status;
}

int RemoteKeyOps::QueryInfo(const RegistryKey& key, std::uint32_t* subkeys, std::uint32_t* values)
{
    RemoteReply reply;
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryInfo, key.m_id), reply);
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
    int status = key.m_remote->Call(KeyRequest(RemoteOp::QueryPath, key.m_id), reply);
    if (status == kErrorSuccess)
        path = std::move(reply.text);
    return status;
}

int RemoteKeyOps::Delete(const RegistryKey& key, int which, std::string_view name)
{
    static constexpr RemoteOp kOps[] = {RemoteOp::DeleteValue, RemoteOp::DeleteKey, RemoteOp::DeleteTree};
    RemoteReply reply;
    return key.m_remote->Call(KeyRequest(kOps[which], key.m_id, name), reply);
}

int RemoteKeyOps::Transaction(RemoteRegistry& remote, int step)
{
    static constexpr RemoteOp kOps[] = {RemoteOp::Begin, RemoteOp::Commit, RemoteOp::Rollback};
    RemoteReply reply;
    return remote.Call(KeyRequest(kOps[step], 0), reply);
}

} // namespace platform
