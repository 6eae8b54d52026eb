#include "platform/remote_server.h"

#include "platform/remote_service.h"
#include "platform/security.h"

#include <poll.h>

namespace platform {

namespace {

// True while the asker still reads what this side writes. A request that
// waited in the channel while this side stood still (stopped, starved) may
// belong to an asker that gave up and went: carried out now, it would act
// at a moment nobody chose, after the user was told it failed.
bool AskerPresent(int output)
{
    pollfd entry{output, 0, 0};
    if (::poll(&entry, 1, 0) < 0)
        return true;
    return (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

RemoteReply Result(int result)
{
    RemoteReply reply;
    reply.result = static_cast<std::uint32_t>(result);
    return reply;
}

} // namespace

RemoteRegistrySession::RemoteRegistrySession() = default;
RemoteRegistrySession::~RemoteRegistrySession() = default;

const RegistryKey* RemoteRegistrySession::Key(std::uint32_t handle) const
{
    switch (handle) {
    case kRemoteLocalMachine:
        return &RegistryKey::LocalMachine();
    case kRemoteCurrentUser:
        return &RegistryKey::CurrentUser();
    case kRemoteUsers:
        return &RegistryKey::Users();
    default:
        break;
    }
    auto found = m_keys.find(handle);
    return found == m_keys.end() ? nullptr : &found->second;
}

RemoteReply RemoteRegistrySession::OpenKey(const RemoteRequest& request, bool create)
{
    const RegistryKey* key = Key(request.handle);
    if (!key)
        return Result(kErrorInvalidHandle);
    if (m_keys.size() >= kMaxRemoteHandles)
        return Result(kErrorNoSystemResources);
    RegistryKey opened;
    RegistryDisposition disposition = RegistryDisposition::OpenedExistingKey;
    int status = create ? key->Create(request.text, opened, &disposition) : key->Open(request.text, opened);
    RemoteReply reply = Result(status);
    if (status == kErrorSuccess) {
        // Handle numbers are never reused within a session, so a stale one
        // from the client cannot reach a newer key.
        reply.handle = m_nextHandle++;
        reply.number = static_cast<std::uint32_t>(disposition);
        m_keys.emplace(reply.handle, std::move(opened));
    }
    return reply;
}

RemoteReply RemoteRegistrySession::Handle(const RemoteRequest& request)
{
    if (!m_greeted && request.op != RemoteOp::Hello)
        return Result(kErrorAccessDenied);
    switch (request.op) {
    case RemoteOp::Hello: {
        if (request.text != kRemoteGreeting)
            return Result(kErrorInvalidParameter);
        m_greeted = true;
        RemoteReply reply;
        reply.text = std::string(kRemoteGreeting);
        return reply;
    }
    case RemoteOp::Open:
        return OpenKey(request, false);
    case RemoteOp::Create:
        return OpenKey(request, true);
    case RemoteOp::Close:
        return Result(m_keys.erase(request.handle) ? kErrorSuccess : kErrorInvalidHandle);
    case RemoteOp::Begin:
        if (m_transaction)
            return Result(kErrorInvalidParameter);
        m_transaction = std::make_unique<RegistryTransaction>();
        if (int status = m_transaction->Status()) {
            m_transaction.reset();
            return Result(status);
        }
        return Result(kErrorSuccess);
    case RemoteOp::Commit:
    case RemoteOp::Rollback: {
        if (!m_transaction)
            return Result(kErrorInvalidParameter);
        int status = request.op == RemoteOp::Commit ? m_transaction->Commit() : kErrorSuccess;
        m_transaction.reset();
        return Result(status);
    }
    case RemoteOp::ServiceQuery:
    case RemoteOp::ServiceStart:
    case RemoteOp::ServiceControl: {
        if (ValidateServiceName(request.text) != kServiceOk)
            return Result(kErrorInvalidName);
        LocalServiceControl service(request.text);
        ServiceStatus status;
        int result = request.op == RemoteOp::ServiceQuery   ? service.QueryStatus(status)
                     : request.op == RemoteOp::ServiceStart ? service.Start()
                                                            : service.Control(request.number, status);
        RemoteReply reply = Result(result);
        if (request.op != RemoteOp::ServiceStart)
            reply.data = EncodeServiceStatus(status);
        return reply;
    }
    default:
        break;
    }

    const RegistryKey* key = Key(request.handle);
    if (!key)
        return Result(kErrorInvalidHandle);
    RemoteReply reply;
    int status = kErrorSuccess;
    switch (request.op) {
    case RemoteOp::SetValue:
        status = key->SetValue(request.text, request.number, request.data.data(), request.data.size());
        break;
    case RemoteOp::QueryValue: {
        RegistryValue value;
        status = key->QueryValue(request.text, value);
        reply.number = value.type;
        reply.data = std::move(value.data);
        break;
    }
    case RemoteOp::EnumValue: {
        RegistryValue value;
        status = key->EnumValue(request.number, reply.text, value);
        reply.other = value.type;
        reply.data = std::move(value.data);
        break;
    }
    case RemoteOp::EnumKey:
        status = key->EnumKey(request.number, reply.text);
        break;
    case RemoteOp::QueryInfo:
        status = key->QueryInfo(&reply.number, &reply.other);
        break;
    case RemoteOp::QueryPath:
        status = key->QueryPath(reply.text);
        break;
    case RemoteOp::DeleteValue:
        status = key->DeleteValue(request.text);
        break;
    case RemoteOp::DeleteKey:
        status = key->DeleteKey(request.text);
        break;
    case RemoteOp::DeleteTree:
        status = key->DeleteTree(request.text);
        break;
    default:
        status = kErrorInvalidParameter;
        break;
    }
    reply.result = static_cast<std::uint32_t>(status);
    // A reply the client would refuse breaks the channel: send an error instead.
    if (reply.text.size() > kMaxRemoteText || EncodeRemoteReply(reply).size() > kMaxRemoteFrame)
        return Result(kErrorMoreData);
    return reply;
}

int RemoteRegistrySession::Serve(int input, int output)
{
    for (;;) {
        std::string payload;
        if (!ReadRemoteFrame(input, payload, -1))
            return payload.empty() ? 0 : 1;
        RemoteRequest request;
        if (!DecodeRemoteRequest(payload, request))
            return 1;
        // Every request still queued is the gone asker's: none is acted on,
        // and the session's unfinished transaction rolls back.
        if (!AskerPresent(output))
            return 1;
        if (!WriteRemoteFrame(output, EncodeRemoteReply(Handle(request)), kRemoteReplyTimeoutMs))
            return 1;
    }
}

} // namespace platform
