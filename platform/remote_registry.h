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
// is broken and every call answers kErrorRemoteUnavailable at once, until
// Reconnect starts a new remote shell. A window that cannot wait that long
// gives up with Abandon, from any thread.

#include "platform/registry.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    // Connect in two steps, for a caller that may give up on the greeting:
    // Make checks the host and makes the channel broken, with no shell yet;
    // Reconnect then starts and greets it, and Abandon from another thread
    // ends that wait. Make's results are Connect's for a bad host name.
    static int Make(std::string_view host, std::unique_ptr<RemoteRegistry>& result, std::string* why = nullptr);

    const std::string& Host() const { return m_host; }
    const RegistryKey& LocalMachine() const { return m_root; }
    bool Broken() const { return m_broken; }

    // One request and its reply. kErrorRemoteUnavailable when the channel
    // failed (and from then on), else the reply's result. session: nonzero
    // for a request on a key handle, the Session() the handle was opened in;
    // kErrorInvalidHandle when the channel was opened again since.
    int Call(const RemoteRequest& request, RemoteReply& reply, std::uint32_t session = 0);

    // Ends the call in flight and breaks the channel; safe from any thread.
    void Abandon();
    // Opens a broken channel again through a new remote shell (nothing to
    // do on a working one). Connect's results and *why. The root stays
    // valid; keys opened before belong to the far side that was left.
    int Reconnect(std::string* why = nullptr);
    // Counts the requests that would change the far machine (outside a
    // transaction, or its commit) that were sent and never answered: each
    // may or may not have been carried out before the channel ended. The
    // far side acts on none after its asker has gone.
    std::uint32_t Unanswered() const { return m_unanswered; }
    // Counts the remote shells this channel has greeted, from 1.
    std::uint32_t Session() const { return m_session; }
    // Closes a far key handle of session without waiting for the far side:
    // the close goes ahead of the next request (a far side that is gone has
    // let go of its handles already), so closing never waits on a far
    // machine that stopped answering.
    void CloseLater(std::uint32_t handle, std::uint32_t session);

private:
    RemoteRegistry();
    // Starts the remote shell and greets it; the caller holds m_lock or is
    // the only user. 0, or kErrorRemoteUnavailable with the reason.
    int Open(std::string& why);
    int Exchange(const RemoteRequest& request, RemoteReply& reply);

    std::string m_host;
    std::unique_ptr<ChildProcess> m_shell;
    RegistryKey m_root;
    // Held for a whole request and its reply.
    std::mutex m_lock;
    // Held only to swap or end the shell, so Abandon never waits for a reply.
    std::mutex m_shellLock;
    std::atomic<bool> m_broken{false};
    std::atomic<std::uint32_t> m_session{0};
    std::atomic<std::uint32_t> m_unanswered{0};
    // A transaction is open on the far side: its writes end with it when the
    // far side goes. Touched under m_lock.
    bool m_inTransaction = false;
    // Handles CloseLater left for the next request, with their sessions.
    std::mutex m_closeLock;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> m_closes;
};

// The host name a user typed, checked and without a leading "\\"; empty when
// it cannot be one (it would reach the remote shell's command line).
std::string RemoteHostName(std::string_view typed);

} // namespace platform
