#include "service/proxy_start.h"

#include "config/last_mod_stamp.h"
#include "framework/thread_data.h"
#include "macro/macro_context.h"
#include "platform/registry.h"
#include "proxy/http_proxy.h"

#include <string>

bool CreateHTTPProxy(CMacroContext& global)
{
    CHeapSwitch shared;
    CHTTPProxySettings settings;
    if (!settings.Open(platform::RegistryKey::LocalMachine(), std::string(kProductKeyPath) + "\\HTTPProxy", 1))
        return false;
    if (!settings.GetSettings()->enabled)
        return false;
    auto* proxy = new CHTTPProxy(settings);
    if (CMacroContext* scope = proxy->GetMacroScope())
        scope->SetParent(&global);
    return true;
}
