#pragma once
// The one way the servers log a user on: a request's Basic credentials, the
// anonymous account, anything else that checks a password. PAM may take
// long and runs one logon at a time (security.h), so every check goes to
// the logon threads, in its client's turn (logon_queue.h), and only the
// caller waits: in a fiber, only the fiber. A wrong password then holds
// nobody who brought none, and a client's guesses wait behind each other,
// not in front of another client's logon.

#include "platform/logon_queue.h"
#include "platform/security.h"

#include <cstdint>
#include <functional>

namespace platform {

// The client of the logons the server makes for itself (the anonymous
// account): never an IPv4 address, so no client shares its turns.
inline constexpr LogonClient kServerLogonClient = LogonClient{1} << 32;

// Checks user's password without impersonating: *token gets the account
// (null on failure). PAM runs with the process's own rights (the logon
// threads never impersonate); the caller's identity is put back afterwards.
// 0 or the Win32 number of LogonUser. A failure returns at once: the delay
// the PAM stack asked for goes to *failDelayMs when given.
int LogonUserOnly(const char* user, const char* domain, const char* password, LogonTokenPtr* token,
                  LogonClient client = kServerLogonClient, std::uint32_t* failDelayMs = nullptr,
                  const std::function<bool()>& abandoned = {});

// Logs user on for client and impersonates the account. 0 on success (the
// previous impersonation is dropped); otherwise the Win32 number, with the
// identity the thread had before put back, so bad credentials never leave it
// running as the server. Should that fail, the thread runs as itself: a
// caller that must not go on with the server's rights compares
// CurrentImpersonation. A failed logon returns only after the delay the PAM
// stack asked for (pam_unix's, pam_faildelay's): the caller waits it out,
// so it holds the client's own connection and no logon thread.
// abandoned (when given) is asked while the logon waits: once it is true,
// a logon that has not begun is dropped (1359) and the delay cut short.
int LogonAndImpersonate(const char* user, const char* domain, const char* password, LogonClient client,
                        const std::function<bool()>& abandoned = {});

} // namespace platform
