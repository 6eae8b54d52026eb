#include "platform/security.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <type_traits>

static_assert(std::is_same_v<uid_t, platform::UserId>);
static_assert(std::is_same_v<gid_t, platform::GroupId>);
static_assert(platform::kMaxLogonPasswordLength == PAM_MAX_RESP_SIZE);

namespace platform {

namespace {

// A PAM stack that keeps asking is broken; pam_unix asks once.
constexpr int kMaxConversationRounds = 8;
// getpwnam_r's buffer grows to this at most; real entries need a few hundred bytes.
constexpr std::size_t kMaxPasswdBuffer = 1 << 20;
// The privileged id the real or saved uid must hold for a thread to switch.
constexpr uid_t kRootId = 0;

// The raw credential calls. glibc's wrappers would change every thread of the
// process; the system calls change only the calling thread.
long RawSetGroups(std::size_t n, const gid_t* groups) { return syscall(SYS_setgroups, n, groups); }
long RawSetResGid(gid_t r, gid_t e, gid_t s) { return syscall(SYS_setresgid, r, e, s); }
long RawSetResUid(uid_t r, uid_t e, uid_t s) { return syscall(SYS_setresuid, r, e, s); }
long RawGetResUid(uid_t* r, uid_t* e, uid_t* s) { return syscall(SYS_getresuid, r, e, s); }
long RawGetResGid(gid_t* r, gid_t* e, gid_t* s) { return syscall(SYS_getresgid, r, e, s); }
long RawGetGroups(int size, gid_t* groups) { return syscall(SYS_getgroups, size, groups); }

// An identity a thread can take: the effective ids and the group list.
struct Identity {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

thread_local LogonTokenPtr t_current; // null: the thread runs as itself
thread_local Identity t_self{kNoId, kNoId, {}};

// An id of -1 would make the set*id calls keep the old one: a thread would
// "impersonate" while still root. The group count is left to the kernel.
bool TokenIsUsable(const LogonToken& token)
{
    return token.uid != kNoId && token.gid != kNoId;
}

int ReadThreadIdentity(Identity* out)
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (RawGetResUid(&ruid, &euid, &suid) != 0 || RawGetResGid(&rgid, &egid, &sgid) != 0)
        return ImpersonationErrorFromErrno(errno);
    long n = RawGetGroups(0, nullptr);
    if (n < 0)
        return ImpersonationErrorFromErrno(errno);
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    n = RawGetGroups(static_cast<int>(groups.size()), groups.data());
    if (n < 0)
        return ImpersonationErrorFromErrno(errno);
    groups.resize(static_cast<std::size_t>(n));
    *out = Identity{euid, egid, std::move(groups)};
    return 0;
}

// Moves the calling thread to the target's effective ids. While the thread is
// someone else, root has to be regained first: setgroups and setresgid need
// the capabilities that only an effective uid of 0 brings back. Then groups
// and gid while still privileged, the uid last. Returns 0 or a Win32 number;
// on failure *changed tells whether the thread may be half switched, in which
// case the caller restores it.
int SwitchThreadTo(uid_t uid, gid_t gid, const gid_t* groups, std::size_t groupCount, bool* changed)
{
    *changed = false;
    uid_t ruid, euid, suid;
    if (RawGetResUid(&ruid, &euid, &suid) != 0)
        return ImpersonationErrorFromErrno(errno);
    if (euid != kRootId) {
        if (RawSetResUid(kNoId, kRootId, kNoId) != 0)
            return ImpersonationErrorFromErrno(errno);
        *changed = true;
    }
    if (RawSetGroups(groupCount, groups) != 0)
        return ImpersonationErrorFromErrno(errno);
    *changed = true;
    if (RawSetResGid(kNoId, gid, kNoId) != 0 || RawSetResUid(kNoId, uid, kNoId) != 0)
        return ImpersonationErrorFromErrno(errno);
    gid_t rgid, egid, sgid;
    if (RawGetResUid(&ruid, &euid, &suid) != 0 || RawGetResGid(&rgid, &egid, &sgid) != 0)
        return ImpersonationErrorFromErrno(errno);
    return euid == uid && egid == gid ? 0 : kErrorInternalError;
}

int SwitchThreadTo(const Identity& identity, bool* changed)
{
    return SwitchThreadTo(identity.uid, identity.gid, identity.groups.data(), identity.groups.size(), changed);
}

// A thread whose identity cannot be put back would go on serving requests
// with unknown rights; there is no safe way to continue.
[[noreturn]] void CredentialsLost(int code)
{
    std::fprintf(stderr, "velmora: a thread's credentials could not be restored (error %d)\n", code);
    std::abort();
}

// Puts the thread back after a failed switch: to the token it impersonated,
// or to itself when previous is null.
void RestoreThreadIdentity(const LogonTokenPtr& previous)
{
    bool changed = false;
    int code = previous ? SwitchThreadTo(previous->uid, previous->gid, previous->groups.data(),
                                         previous->groups.size(), &changed)
                        : SwitchThreadTo(t_self, &changed);
    if (code != 0)
        CredentialsLost(code);
}

// --- The PAM conversation -------------------------------------------------

struct Conversation {
    const char* user;
    const char* password;
    int rounds;
    unsigned failDelayUs; // what the stack asked a failure to be delayed by
};

char* CopyAnswer(const char* text)
{
    // PAM frees the answers with free(), so they must come from malloc.
    return strdup(text);
}

void FreeAnswers(pam_response* answers, int n)
{
    for (int i = 0; i < n; ++i) {
        if (answers[i].resp) {
            explicit_bzero(answers[i].resp, std::strlen(answers[i].resp));
            std::free(answers[i].resp);
        }
    }
    std::free(answers);
}

// Answers the password prompt with the password and a name prompt with the
// user name; informational texts get no answer. Nothing reads a terminal.
extern "C" int AnswerPam(int count, const pam_message** messages, pam_response** out, void* data)
{
    auto* conversation = static_cast<Conversation*>(data);
    *out = nullptr;
    if (count <= 0 || count > PAM_MAX_NUM_MSG || ++conversation->rounds > kMaxConversationRounds)
        return PAM_CONV_ERR;
    auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
    if (!answers)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char* text = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            text = conversation->password;
            break;
        case PAM_PROMPT_ECHO_ON:
            text = conversation->user;
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            continue;
        default:
            FreeAnswers(answers, count);
            return PAM_CONV_ERR;
        }
        answers[i].resp = CopyAnswer(text);
        if (!answers[i].resp) {
            FreeAnswers(answers, count);
            return PAM_BUF_ERR;
        }
    }
    *out = answers;
    return PAM_SUCCESS;
}

// Stands in for PAM's own failure delay, which would sleep the thread that
// runs the logon and so every logon queued behind it. The delay is kept and
// handed back, for the caller to hold only the client that failed.
extern "C" void NoteFailDelay(int status, unsigned microseconds, void* data)
{
    if (status != PAM_SUCCESS && data)
        static_cast<Conversation*>(data)->failDelayUs = microseconds;
}

// PAM modules are not required to be thread-safe (pam_unix's shadow look-up is not).
std::mutex g_pamLock;

int Authenticate(const char* user, const char* password, std::string* accountName, std::uint32_t* failDelayMs)
{
    Conversation conversation{user, password, 0, 0};
    const pam_conv conv{AnswerPam, &conversation};
    std::lock_guard<std::mutex> hold(g_pamLock);
    pam_handle_t* pam = nullptr;
    int status = pam_start("velmora", user, &conv, &pam);
    if (status != PAM_SUCCESS)
        return LogonErrorFromPam(status);
    const void* delay = reinterpret_cast<const void*>(&NoteFailDelay);
    status = pam_set_item(pam, PAM_FAIL_DELAY, delay);
    if (status == PAM_SUCCESS)
        status = pam_authenticate(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) {
        // A module may have mapped the name to another account.
        const void* item = nullptr;
        if (pam_get_item(pam, PAM_USER, &item) == PAM_SUCCESS && item)
            *accountName = static_cast<const char*>(item);
        else
            *accountName = user;
    }
    pam_end(pam, status);
    if (failDelayMs)
        *failDelayMs = conversation.failDelayUs / 1000;
    return LogonErrorFromPam(status);
}

// --- The account's ids ----------------------------------------------------

// getpwnam_r into a buffer that grows until the entry fits. Returns 0, or
// 1326 when there is no such account, or another Win32 number.
int LookUpAccount(const char* name, std::string* userName, uid_t* uid, gid_t* gid)
{
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0)
            return error == ENOMEM ? kErrorNoSystemResources : kErrorNoLogonServers;
        if (!found)
            return kErrorLogonFailure;
        *userName = found->pw_name;
        *uid = found->pw_uid;
        *gid = found->pw_gid;
        return 0;
    }
}

int LookUpGroups(const char* name, gid_t gid, std::vector<GroupId>* groups)
{
    int count = 32;
    for (int attempt = 0; attempt < 4; ++attempt) {
        groups->assign(static_cast<std::size_t>(count), 0);
        int n = count;
        if (getgrouplist(name, gid, groups->data(), &n) >= 0) {
            groups->resize(static_cast<std::size_t>(n));
            return 0;
        }
        // n now says how many there are (glibc); a list that keeps growing is refused.
        if (n <= count || static_cast<std::size_t>(n) > kMaxLogonGroups)
            return kErrorInternalError;
        count = n;
    }
    return kErrorInternalError;
}

// Only root may check another account's password (pam_unix's helper enforces
// the same); a server that runs as a user may still verify that user.
bool MayLogOn(const char* user)
{
    uid_t ruid, euid, suid;
    if (RawGetResUid(&ruid, &euid, &suid) != 0)
        return false;
    if (ruid == kRootId || suid == kRootId)
        return true;
    std::vector<char> buffer(4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int error = getpwuid_r(ruid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxPasswdBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found && std::strcmp(found->pw_name, user) == 0;
    }
}

} // namespace

int ImpersonationErrorFromErrno(int error)
{
    switch (error) {
    case 0:
        return 0;
    case EPERM:
        return kErrorPrivilegeNotHeld;
    case EINVAL:
        return kErrorBadTokenType;
    case ENOMEM:
    case EAGAIN:
        return kErrorNoSystemResources;
    default:
        return kErrorInternalError;
    }
}

int LogonErrorFromPam(int pamResult)
{
    switch (pamResult) {
    case PAM_SUCCESS:
        return 0;
    case PAM_AUTH_ERR:
    case PAM_USER_UNKNOWN:
        return kErrorLogonFailure;
    case PAM_CRED_INSUFFICIENT:
        return kErrorPrivilegeNotHeld;
    case PAM_AUTHINFO_UNAVAIL:
        return kErrorNoLogonServers;
    case PAM_MAXTRIES:
        return kErrorAccountLockedOut;
    case PAM_PERM_DENIED:
        return kErrorAccountRestriction;
    case PAM_ACCT_EXPIRED:
        return kErrorAccountExpired;
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_AUTHTOK_EXPIRED:
        return kErrorPasswordExpired;
    case PAM_BUF_ERR:
        return kErrorNoSystemResources;
    default:
        return kErrorInternalError;
    }
}

int LogonUser(const char* user, const char* /*domain*/, const char* password, LogonTokenPtr* token,
              std::uint32_t* failDelayMs)
{
    if (failDelayMs)
        *failDelayMs = 0;
    if (!token)
        return kErrorBadTokenType;
    token->reset();
    if (!password)
        password = "";
    if (!user || !*user || std::strlen(user) > kMaxLogonNameLength ||
        std::strlen(password) > kMaxLogonPasswordLength)
        return kErrorLogonFailure;
    if (!MayLogOn(user))
        return kErrorPrivilegeNotHeld;

    std::string pamName;
    int code = Authenticate(user, password, &pamName, failDelayMs);
    if (code != 0)
        return code;
    auto result = std::make_shared<LogonToken>();
    code = LookUpAccount(pamName.c_str(), &result->userName, &result->uid, &result->gid);
    if (code == 0)
        code = LookUpGroups(result->userName.c_str(), result->gid, &result->groups);
    if (code != 0)
        return code;
    if (!TokenIsUsable(*result))
        return kErrorBadTokenType;
    *token = std::move(result);
    return 0;
}

int Impersonate(const LogonTokenPtr& token)
{
    if (!token || !TokenIsUsable(*token))
        return kErrorBadTokenType;
    if (token == t_current)
        return 0;
    if (!t_current) {
        // Taken afresh each time, so a process that changed its own identity
        // since the last impersonation is reverted to what it is now.
        int code = ReadThreadIdentity(&t_self);
        if (code != 0)
            return code;
    }
    bool changed = false;
    int code = SwitchThreadTo(token->uid, token->gid, token->groups.data(), token->groups.size(), &changed);
    if (code != 0) {
        if (changed)
            RestoreThreadIdentity(t_current);
        return code;
    }
    t_current = token;
    return 0;
}

int RevertToSelf()
{
    if (!t_current)
        return 0;
    bool changed = false;
    int code = SwitchThreadTo(t_self, &changed);
    if (code != 0) {
        // Staying the impersonated user is the safe side of a failed revert.
        if (changed)
            RestoreThreadIdentity(t_current);
        return code;
    }
    t_current.reset();
    return 0;
}

LogonTokenPtr CurrentImpersonation()
{
    return t_current;
}

const LogonToken* CurrentImpersonationPointer() { return t_current.get(); }

ChildCredentials::ChildCredentials(const LogonToken& token)
    : m_uid(token.uid), m_gid(token.gid), m_groups(token.groups), m_valid(TokenIsUsable(token))
{
}

int ChildCredentials::Apply() const noexcept
{
    if (!m_valid)
        return kErrorBadTokenType;
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (RawGetResUid(&ruid, &euid, &suid) != 0)
        return ImpersonationErrorFromErrno(errno);
    // A child forked by an impersonating thread must be root again to drop
    // the groups and gids; the saved uid allows it.
    if (euid != kRootId && RawSetResUid(kNoId, kRootId, kNoId) != 0)
        return ImpersonationErrorFromErrno(errno);
    if (RawSetGroups(m_groups.size(), m_groups.data()) != 0 || RawSetResGid(m_gid, m_gid, m_gid) != 0 ||
        RawSetResUid(m_uid, m_uid, m_uid) != 0)
        return ImpersonationErrorFromErrno(errno);
    if (RawGetResUid(&ruid, &euid, &suid) != 0 || RawGetResGid(&rgid, &egid, &sgid) != 0)
        return ImpersonationErrorFromErrno(errno);
    if (ruid != m_uid || euid != m_uid || suid != m_uid || rgid != m_gid || egid != m_gid || sgid != m_gid)
        return kErrorInternalError;
    return 0;
}

} // namespace platform
