#pragma once
// The one way the servers log a user on: a request's Basic credentials, the
// anonymous account, anything else that checks a password. PAM may take
// long and runs one logon at a time (security.h), so on a thread that runs
// fibers the check goes to a thread of its own and only the fiber waits:
// wrong passwords then hold nobody who brought none.

#include "platform/security.h"

namespace platform {

// Checks user's password without impersonating: *token gets the account
// (null on failure). PAM runs with the process's own rights (a thread
// started while impersonating would inherit the account); the caller's
// identity is put back afterwards. 0 or the Win32 number of LogonUser.
int LogonUserOnly(const char* user, const char* domain, const char* password, LogonTokenPtr* token);

// Logs user on and impersonates the account. 0 on success (the previous
// impersonation is dropped); otherwise the Win32 number, with the identity
// the thread had before put back, so bad credentials never leave it running
// as the server. Should that fail, the thread runs as itself: a caller that
// must not go on with the server's rights compares CurrentImpersonation.
int LogonAndImpersonate(const char* user, const char* domain, const char* password);

} // namespace platform
