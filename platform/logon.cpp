#include "platform/logon.h"

#include "platform/sync.h"

namespace platform {

namespace {

// Back to what the thread was before the logon. A failure leaves the thread
// as itself and is reported, so the caller can refuse to go on with the
// server's rights.
int RestoreIdentity(const LogonTokenPtr& previous)
{
    if (CurrentImpersonation() == previous)
        return 0;
    return previous ? Impersonate(previous) : RevertToSelf();
}

int SystemLogon(const char* user, const char* domain, const char* password, LogonTokenPtr* token)
{
    if (!ThreadHasWaitSeam())
        return LogonUser(user, domain, password, token);
    int result = kErrorNoSystemResources;
    RunOnOwnThread([&] { result = LogonUser(user, domain, password, token); });
    return result;
}

} // namespace

int LogonUserOnly(const char* user, const char* domain, const char* password, LogonTokenPtr* token)
{
    if (!token)
        return kErrorBadTokenType;
    token->reset();
    LogonTokenPtr previous = CurrentImpersonation();
    if (int code = RevertToSelf(); code != 0)
        return code;
    int result = SystemLogon(user, domain, password, token);
    if (int code = RestoreIdentity(previous); code != 0) {
        token->reset();
        return code;
    }
    return result;
}

int LogonAndImpersonate(const char* user, const char* domain, const char* password)
{
    LogonTokenPtr previous = CurrentImpersonation();
    LogonTokenPtr token;
    int result = LogonUserOnly(user, domain, password, &token);
    if (result == 0)
        result = Impersonate(token);
    if (result != 0)
        RestoreIdentity(previous);
    return result;
}

} // namespace platform
