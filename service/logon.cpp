#include "service/logon.h"

#include "framework/server_log.h"
#include "platform/eventlog.h"
#include "service/engine.h"

namespace {

constexpr std::uint32_t kEventErrorText = 0xC0004001;

bool LogonBound() { return GetEngineFunctions().logon; }

// Back to what the thread was before a failed call. Failing to take back an
// account the thread ran as a moment ago leaves it as itself; that is
// reported, since the caller then runs with the server's rights.
void RestoreIdentity(const platform::LogonTokenPtr& previous)
{
    if (platform::CurrentImpersonation() == previous)
        return;
    if (!previous) {
        platform::RevertToSelf();
        return;
    }
    if (platform::Impersonate(previous) != 0)
        LogMessage(platform::kEventTypeError, kEventErrorText,
                   {"Could not impersonate the previous user again after a failed logon."});
}

} // namespace

int LogonAndImpersonate(const char* user, const char* domain, const char* password)
{
    if (!LogonBound())
        return 0;
    platform::LogonTokenPtr previous = platform::CurrentImpersonation();
    // PAM needs the server's own rights to check another account.
    platform::RevertToSelf();
    platform::LogonTokenPtr token;
    if (platform::LogonUser(user, domain, password, &token) != 0 || platform::Impersonate(token) != 0) {
        RestoreIdentity(previous);
        return 0;
    }
    return 1;
}

int LogonUserOnly(const char* user, const char* domain, const char* password, int type, int provider,
                  platform::LogonTokenPtr* token)
{
    static_cast<void>(type);
    static_cast<void>(provider);
    if (token)
        token->reset();
    if (!LogonBound() || token == nullptr)
        return 0;
    platform::LogonTokenPtr own = platform::CurrentImpersonation();
    platform::RevertToSelf();
    int result = platform::LogonUser(user, domain, password, token);
    RestoreIdentity(own);
    return result == 0 ? 1 : 0;
}

int ImpersonateToken(const platform::LogonTokenPtr& token)
{
    if (!LogonBound())
        return 0;
    return platform::Impersonate(token) == 0 ? 1 : 0;
}

void RevertImpersonation()
{
    if (platform::CurrentImpersonation())
        platform::RevertToSelf();
}

int CreateProcessAsCurrentUser(const CChildStart& start, int* processId)
{
    platform::ChildStart child = start;
    platform::LogonTokenPtr token = platform::CurrentImpersonation();
    child.credentials = token && LogonBound() ? token.get() : nullptr;
    return platform::StartChild(child, processId);
}
