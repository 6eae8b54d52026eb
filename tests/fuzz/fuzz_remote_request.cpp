// The serving end of the remote registry protocol: arbitrary frames as a
// request payload, answered by a session on a hive of its own.
// Findings: sanitizer reports, a decoded request that does not encode back
// to the same bytes, and a reply the client could not read.

#include "platform/remote_protocol.h"
#include "platform/remote_server.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

platform::RemoteRegistrySession& Session()
{
    static platform::RemoteRegistrySession* session = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "velmora-fuzz-XXXXXX").string();
        if (!::mkdtemp(folder.data()))
            std::abort();
        ::setenv("VELMORA_REGISTRY", (folder + "/hive.db").c_str(), 1);
        auto* made = new platform::RemoteRegistrySession();
        platform::RemoteRequest hello;
        hello.text = std::string(platform::kRemoteGreeting);
        if (made->Handle(hello).result != 0)
            std::abort();
        return made;
    }();
    return *session;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string_view payload(reinterpret_cast<const char*>(data), size);
    platform::RemoteRequest request;
    if (!platform::DecodeRemoteRequest(payload, request))
        return 0;
    if (platform::EncodeRemoteRequest(request) != payload)
        std::abort();
    // Service requests would start and stop this machine's services.
    if (request.op >= platform::RemoteOp::ServiceQuery)
        return 0;
    platform::RemoteReply reply = Session().Handle(request);
    platform::RemoteReply read;
    if (!platform::DecodeRemoteReply(platform::EncodeRemoteReply(reply), read))
        std::abort();
    return 0;
}
