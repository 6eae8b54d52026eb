#pragma once
// NT logon, impersonation and children started as a user.
//
// A logon is a PAM authentication (service "velmora") followed by the
// account check; its result is a LogonToken: the account's name, uid, gid
// and groups, immutable and shared, so a thread record can point to it.
//
// Impersonation changes only the CALLING THREAD's effective credentials.
// Linux keeps credentials per thread; glibc's setuid family hides that by
// changing every thread of the process, so this layer makes the raw system
// calls. The real and saved ids stay as they were (root, for a server), which
// is what lets a thread go back. Threads inherit the credentials of the thread
// that creates them: start threads only from a thread that runs as itself.
//
// Every function reports a Win32 number (0 on success); errno and PAM codes
// never leave this layer.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The Win32 numbers the logon layer reports.
inline constexpr int kErrorNoLogonServers = 1311;     // the PAM stack could not reach its account data
inline constexpr int kErrorPrivilegeNotHeld = 1314;   // the process lacks the right (it is not root)
inline constexpr int kErrorLogonFailure = 1326;       // unknown user name or bad password
inline constexpr int kErrorAccountRestriction = 1327; // the account rules refuse this logon
inline constexpr int kErrorPasswordExpired = 1330;    // the password has expired or must be changed
inline constexpr int kErrorBadTokenType = 1349;       // a null or malformed token
inline constexpr int kErrorInternalError = 1359;      // the PAM stack or a system call failed
inline constexpr int kErrorNoSystemResources = 1450;  // out of memory or another resource
inline constexpr int kErrorAccountExpired = 1793;     // the account's expiry date has passed
inline constexpr int kErrorAccountLockedOut = 1909;   // too many failed attempts

using UserId = std::uint32_t;
using GroupId = std::uint32_t;

// Names longer than the kernel's login-name limit cannot be accounts.
inline constexpr std::size_t kMaxLogonNameLength = 256;
// PAM's own cap on one answer (PAM_MAX_RESP_SIZE); a longer text is never a password.
inline constexpr std::size_t kMaxLogonPasswordLength = 512;
// The most groups setgroups(2) accepts (NGROUPS_MAX).
inline constexpr std::size_t kMaxLogonGroups = 65536;
// (uid_t)-1 means "leave unchanged" to the set*id calls, so it is never an identity.
inline constexpr std::uint32_t kNoId = 0xFFFFFFFFu;

struct LogonToken {
    std::string userName;
    UserId uid = kNoId;
    GroupId gid = kNoId;
    std::vector<GroupId> groups; // every group of the account, the primary one included
};
using LogonTokenPtr = std::shared_ptr<const LogonToken>;

// Authenticates user with password through PAM and checks that the account
// may log on now. On success *token holds the account (the name as PAM and the
// user database spell it) and 0 is returned; otherwise *token is null and the
// result is 1326 for an unknown name or a bad password (a locked password
// fails the same way, so nothing tells which accounts exist), 1327 refused by
// account rules, 1330 password expired, 1793 account expired, 1909 locked out,
// 1311 account data unreachable, 1314 when a process that is not root asks for
// another user than its own, 1359/1450 when PAM itself fails.
// domain is ignored: Linux accounts have no domain part, and whatever the
// system's PAM stack consults (local files, LDAP...) decides alone.
// The PAM stack never waits on a terminal, and a failed attempt returns at
// once: the delay the stack asks for a failure (pam_unix's, pam_faildelay's)
// is not slept here, where it would hold every logon queued behind this one,
// but reported in *failDelayMs (when given; 0 when none was asked), for the
// caller to hold only the client that failed.
// PAM runs under the calling thread's current credentials; logons are
// serialised, since PAM modules need not be thread-safe.
int LogonUser(const char* user, const char* domain, const char* password, LogonTokenPtr* token,
              std::uint32_t* failDelayMs = nullptr);

// The calling thread runs as token's account (effective uid, gid and groups)
// until RevertToSelf or the next Impersonate. Impersonating the token the
// thread already runs as costs nothing, so a fiber scheduler may re-apply on
// every resume. A failure restores the identity the thread had before and
// reports 1314 (not root: nothing is changed), 1349 (null token, an id of -1,
// too many groups) or 1359.
int Impersonate(const LogonTokenPtr& token);
// The calling thread runs as itself again (its identity before its first
// Impersonate). Without an impersonation this does nothing and returns 0.
int RevertToSelf();
// The token the calling thread impersonates, null when it runs as itself.
LogonTokenPtr CurrentImpersonation();
// The same without taking a reference, for a scheduler that compares it on
// every switch.
const LogonToken* CurrentImpersonationPointer();

// The errno -> Win32 table of the credential calls, and the PAM result ->
// Win32 table of the logon.
int ImpersonationErrorFromErrno(int error);
int LogonErrorFromPam(int pamResult);

// Everything a child needs to become the token's user between fork and exec,
// prepared before the fork (Apply allocates nothing).
class ChildCredentials {
public:
    explicit ChildCredentials(const LogonToken& token);

    // In the child, after fork: sets the groups, then all three gids, then all
    // three uids to the token's, so the child cannot regain root, and checks
    // the result. Async-signal-safe. Works from an impersonating thread too.
    // A non-zero result (the Win32 number) means the child must _exit without
    // exec: its credentials may be anything.
    int Apply() const noexcept;

    UserId Uid() const { return m_uid; }
    GroupId Gid() const { return m_gid; }

private:
    UserId m_uid;
    GroupId m_gid;
    std::vector<GroupId> m_groups;
    bool m_valid;
};

} // namespace platform
