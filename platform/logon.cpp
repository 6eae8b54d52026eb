#include "platform/logon.h"

#include "platform/clock.h"
#include "platform/fiber.h"

#include <algorithm>

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

// In a fiber only the fiber waits; on a connection's own thread, only that
// connection. The wait is cut into slices and ends at the first that finds
// the caller gone (its fiber destroyed, or abandoned true).
void WaitOutFailDelay(std::uint32_t delayMs, const std::function<bool()>& abandoned)
{
    const std::uint64_t end = MonotonicMs() + delayMs;
    for (std::uint64_t now = MonotonicMs(); now < end; now = MonotonicMs()) {
        Fiber* fiber = Fiber::Current();
        if ((fiber && fiber->IsUnwinding()) || (abandoned && abandoned()))
            return;
        SleepMs(static_cast<std::uint32_t>(std::min<std::uint64_t>(end - now, kLogonWaitSliceMs)));
    }
}

} // namespace

int LogonUserOnly(const char* user, const char* domain, const char* password, LogonTokenPtr* token,
                  LogonClient client, std::uint32_t* failDelayMs, const std::function<bool()>& abandoned)
{
    if (failDelayMs)
        *failDelayMs = 0;
    if (!token)
        return kErrorBadTokenType;
    token->reset();
    LogonTokenPtr previous = CurrentImpersonation();
    // Also what the logon threads start with, should this be the first logon.
    if (int code = RevertToSelf(); code != 0)
        return code;
    int result = kErrorInternalError; // kept when the logon is dropped
    std::uint32_t delay = 0;
    LogonQueue::Instance().RunInTurn(
        client, [&] { result = LogonUser(user, domain, password, token, &delay); }, abandoned);
    if (failDelayMs)
        *failDelayMs = delay;
    if (int code = RestoreIdentity(previous); code != 0) {
        token->reset();
        return code;
    }
    return result;
}

int LogonAndImpersonate(const char* user, const char* domain, const char* password, LogonClient client,
                        const std::function<bool()>& abandoned)
{
    LogonTokenPtr previous = CurrentImpersonation();
    LogonTokenPtr token;
    std::uint32_t delay = 0;
    int result = LogonUserOnly(user, domain, password, &token, client, &delay, abandoned);
    if (result == 0)
        result = Impersonate(token);
    if (result != 0) {
        RestoreIdentity(previous);
        WaitOutFailDelay(delay, abandoned);
    }
    return result;
}

} // namespace platform
