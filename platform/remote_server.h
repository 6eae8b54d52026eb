#pragma once
// The serving end of the remote registry protocol (`velmora-reg serve`):
// answers requests against this machine's hive and service controller. One
// session per connection; its handles and its one transaction end with it,
// an unfinished transaction rolled back.

#include "platform/registry.h"
#include "platform/remote_protocol.h"

#include <cstdint>
#include <map>
#include <memory>

namespace platform {

class RemoteRegistrySession {
public:
    RemoteRegistrySession();
    ~RemoteRegistrySession();

    // Answers one request; never throws.
    RemoteReply Handle(const RemoteRequest& request);

    // Reads requests from input and writes replies to output until the
    // input ends or a malformed frame arrives. 0 at a clean end of input, 1
    // after a malformed frame or a failed write, or when the asker is gone:
    // a request read after its asker stopped reading is not acted on.
    int Serve(int input, int output);

private:
    const RegistryKey* Key(std::uint32_t handle) const;
    RemoteReply OpenKey(const RemoteRequest& request, bool create);

    std::map<std::uint32_t, RegistryKey> m_keys;
    std::uint32_t m_nextHandle = 16;
    std::unique_ptr<RegistryTransaction> m_transaction;
    bool m_greeted = false;
};

} // namespace platform
