#include "app/shared/server_family_copy.h"

#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "config/http_server_config.h"
#include "proxy/proxy_settings.h"

namespace {

template <class List>
void CopyList(List& to, const List& from)
{
    if (&to == &from)
        return;
    to.RemoveAll();
    for (const auto& config : from)
        to.AddTail(config);
}

void CopyStrings(CMacroScope* to, const CMacroScope* from)
{
    if (to && from && to != from)
        to->CopyStringsFrom(*from);
}

} // namespace

void CopyHTTPGlobalConfig(CHTTPGlobalConfig& to, CHTTPGlobalConfig& from)
{
    if (&to == &from)
        return;
    CopyList(to.GetServers(), from.GetServers());
    to.GetUsers() = from.GetUsers();
    to.GetGuests() = from.GetGuests();
    CopyStrings(to.GetStrings(), from.GetStrings());
    to.GetPaths() = from.GetPaths();
    to.GetRedirections().Assign(from.GetRedirections());
    to.GetCGIExt() = from.GetCGIExt();
    to.GetIcons().Assign(from.GetIcons());
    to.GetMappings().Assign(from.GetMappings());
    to.SetInitMacro(from.GetInitMacro());
}

void CopyChatGlobalConfig(CChatGlobalConfig& to, CChatGlobalConfig& from)
{
    if (&to == &from)
        return;
    CopyList(to.GetRooms(), from.GetRooms());
    to.GetUsers() = from.GetUsers();
    to.GetGuests() = from.GetGuests();
    CopyStrings(to.GetStrings(), from.GetStrings());
    to.SetInitMacro(from.GetInitMacro());
}

void CopyProxySettings(CHTTPProxySettings& to, const CHTTPProxySettings& from)
{
    if (&to == &from)
        return;
    to.ResetDefaults();
    to = from;
}
