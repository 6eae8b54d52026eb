#pragma once
// The NT logon helpers the connection path and the program runners use, on
// top of platform/security.h. "The thread's token" is the account the
// calling thread impersonates (platform::CurrentImpersonation); every helper
// answers 0 (and does nothing) while the logon functions are not bound
// (BindLogonFunctions, service/engine.h).
//
// No helper ever leaves the thread with more rights than it had: a logon or
// an impersonation that fails puts back the identity the thread had before
// the call, so bad credentials cannot leave a request running as the
// server's own account.

#include "platform/process.h"
#include "platform/security.h"

#include <string>
#include <vector>

// Logon kinds as callers pass them; PAM decides alone on Linux, so they only
// document what the caller means.
inline constexpr int kLogon32LogonInteractive = 2;
inline constexpr int kLogon32ProviderDefault = 0;

// Logs user on and impersonates the account. 1 on success (the thread's
// previous token is dropped); 0 when not bound or when the logon or the
// impersonation failed, with the thread's previous identity restored.
int LogonAndImpersonate(const char* user, const char* domain, const char* password);

// Logs user on without impersonating: *token gets the account (null on
// failure). The logon runs as the thread itself; the thread's own token is
// impersonated again afterwards. 1 on success, 0 otherwise.
int LogonUserOnly(const char* user, const char* domain, const char* password, int type, int provider,
                  platform::LogonTokenPtr* token);

// Impersonates token. 1 on success; 0 when not bound or on failure (the
// thread keeps its previous identity).
int ImpersonateToken(const platform::LogonTokenPtr& token);

// When the thread has a token: runs as itself again and drops it.
void RevertImpersonation();

// A child program (platform/process.h); its credentials field is set here.
using CChildStart = platform::ChildStart;

// Starts the child as the thread's token when the thread has one and the
// logon functions are bound (all of its ids become the account's, so it
// cannot regain the server's rights), else as the process. The child
// inherits no other descriptor. 0 with *processId set, or a Win32 number:
// 2 program not found, 5 not executable, 193 not a program, 87 no
// arguments, 1314/1349/1359 the account could not be taken on, 1450 no
// resources. The caller reaps the child.
int CreateProcessAsCurrentUser(const CChildStart& start, int* processId);
