#include "platform/remote_service.h"

#include "platform/remote_protocol.h"
#include "platform/remote_registry.h"

#include <cstring>

namespace platform {

namespace {

constexpr std::size_t kStatusFields = 8;

} // namespace

std::vector<std::uint8_t> EncodeServiceStatus(const ServiceStatus& status)
{
    const std::uint32_t fields[kStatusFields] = {status.serviceType,
                                                 status.currentState,
                                                 status.controlsAccepted,
                                                 status.win32ExitCode,
                                                 status.serviceSpecificExitCode,
                                                 status.checkPoint,
                                                 status.waitHint,
                                                 static_cast<std::uint32_t>(status.processId)};
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t field : fields)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<std::uint8_t>(field >> shift));
    return bytes;
}

bool DecodeServiceStatus(const std::vector<std::uint8_t>& bytes, ServiceStatus& status)
{
    if (bytes.size() != kStatusFields * 4)
        return false;
    std::uint32_t fields[kStatusFields];
    for (std::size_t i = 0; i < kStatusFields; ++i)
        fields[i] = static_cast<std::uint32_t>(bytes[i * 4]) | (static_cast<std::uint32_t>(bytes[i * 4 + 1]) << 8) |
                    (static_cast<std::uint32_t>(bytes[i * 4 + 2]) << 16) |
                    (static_cast<std::uint32_t>(bytes[i * 4 + 3]) << 24);
    status = ServiceStatus{fields[0], fields[1], fields[2], fields[3],
                           fields[4], fields[5], fields[6], static_cast<std::int32_t>(fields[7])};
    return true;
}

int RemoteServiceControl::QueryStatus(ServiceStatus& status)
{
    RemoteRequest request;
    request.op = RemoteOp::ServiceQuery;
    request.text = m_name;
    RemoteReply reply;
    int result = m_channel.Call(request, reply);
    if (result == kServiceOk && !DecodeServiceStatus(reply.data, status))
        return kErrorRemoteUnavailable;
    return result;
}

int RemoteServiceControl::Start()
{
    RemoteRequest request;
    request.op = RemoteOp::ServiceStart;
    request.text = m_name;
    RemoteReply reply;
    return m_channel.Call(request, reply);
}

int RemoteServiceControl::Control(std::uint32_t control, ServiceStatus& status)
{
    RemoteRequest request;
    request.op = RemoteOp::ServiceControl;
    request.text = m_name;
    request.number = control;
    RemoteReply reply;
    int result = m_channel.Call(request, reply);
    // A refused control may still carry the status the service reported.
    if (!reply.data.empty())
        DecodeServiceStatus(reply.data, status);
    return result;
}

} // namespace platform
