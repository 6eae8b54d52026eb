// The client end of the remote registry protocol: arbitrary frames as a
// reply, with the frame length prefix and a service status inside.
// Findings: sanitizer reports, and a decoded reply or status that does not
// encode back to the same bytes.

#include "platform/remote_protocol.h"
#include "platform/remote_service.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size >= 4) {
        std::size_t length = 0;
        if (platform::DecodeRemoteFrameLength(data, length) != (length <= platform::kMaxRemoteFrame))
            std::abort();
    }
    std::string_view payload(reinterpret_cast<const char*>(data), size);
    platform::RemoteReply reply;
    if (!platform::DecodeRemoteReply(payload, reply))
        return 0;
    if (platform::EncodeRemoteReply(reply) != payload)
        std::abort();
    platform::ServiceStatus status;
    if (platform::DecodeServiceStatus(reply.data, status) && platform::EncodeServiceStatus(status) != reply.data)
        std::abort();
    return 0;
}
