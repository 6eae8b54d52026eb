#include "service/logon.h"

#include "framework/server_log.h"
#include "platform/eventlog.h"
#include "platform/sync.h"
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

// A system logon may take long (PAM checks a wrong password slowly) and
// PAM runs one at a time: on a worker thread it would hold every connection
// of the worker behind it, and a few clients sending wrong passwords would
// stall every page. A worker hands it to a thread of its own (made while
// the worker runs as the server, so it checks with the server's rights) and
// only its fiber waits for the answer; a connection thread runs it itself.
int SystemLogon(const char* user, const char* domain, const char* password, platform::LogonTokenPtr* token)
{
    if (!platform::ThreadHasWaitSeam())
        return platform::LogonUser(user, domain, password, token);
    int result = platform::kErrorNoSystemResources;
    platform::RunOnOwnThread([&] { result = platform::LogonUser(user, domain, password, token); });
    return result;
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
    if (SystemLogon(user, domain, password, &token) != 0 || platform::Impersonate(token) != 0) {
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
    int result = SystemLogon(user, domain, password, token);
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
