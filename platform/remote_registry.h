#pragma once
// Another machine's registry over a remote shell: Connect runs
// `ssh HOST velmora-reg serve` (or the command in $VELMORA_REMOTE_SHELL, its
// words split at spaces, every "%h" replaced by the host) and speaks the
// request protocol of remote_protocol.h on its standard streams. SSH does
// the authentication and the encryption; nothing listens on a port of ours.
//
// LocalMachine() is the far side's HKEY_LOCAL_MACHINE as a RegistryKey:
// every key opened from it goes to the far side, so the configuration
// loaders and savers work on it unchanged. Keys opened from it must be
// closed before the connection goes. A RegistryTransaction constructed on a
// remote key groups the far side's writes.
//
// Every reply is awaited at most kRemoteReplyTimeoutMs; after a failure of
// the channel (the far side died, a malformed or late reply) the connection
// is broken and every call answers kErrorRemoteUnavailable at once.

#include "platform/registry.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

struct RemoteRequest;
struct RemoteReply;
class ChildProcess;

// The remote machine cannot be reached, or stopped answering (the Win32 number).
inline constexpr int kErrorRemoteUnavailable = 1722;

// The remote shell command when $VELMORA_REMOTE_SHELL is not set.
inline constexpr const char* kDefaultRemoteShell = "ssh -o BatchMode=yes -- %h velmora-reg serve";

class RemoteRegistry {
public:
    ~RemoteRegistry();
    RemoteRegistry(const RemoteRegistry&) = delete;
    RemoteRegistry& operator=(const RemoteRegistry&) = delete;

    // Starts the remote shell and greets the far side. 0 with *result set,
    // kErrorInvalidParameter for a host name that is not one (leading '-',
    // spaces, shell or control characters), kErrorRemoteUnavailable when the
    // far side does not answer the greeting. On a failure *why (when given)
    // holds the reason in words: the remote shell's own last line of errors
    // when it wrote one ("ssh: connect to host ...: Connection refused").
    static int Connect(std::string_view host, std::unique_ptr<RemoteRegistry>& result, std::string* why = nullptr);

    const std::string& Host() const { return m_host; }
    const RegistryKey& LocalMachine() const { return m_root; }
    bool Broken() const { return m_broken; }

    // One request and its reply. kErrorRemoteUnavailable when the channel
    // failed (and from then on), else the reply's result.
    int Call(const RemoteRequest& request, RemoteReply& reply);

private:
    RemoteRegistry();

    std::string m_host;
    std::unique_ptr<ChildProcess> m_shell;
    RegistryKey m_root;
    std::mutex m_lock;
    std::atomic<bool> m_broken{false};
};

// The host name a user typed, checked and without a leading "\\"; empty when
// it cannot be one (it would reach the remote shell's command line).
std::string RemoteHostName(std::string_view typed);

} // namespace platform
