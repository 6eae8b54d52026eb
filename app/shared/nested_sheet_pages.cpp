// The pages of the three global server sheets, in their designed order.

#include "app/shared/servers_page.h"

#include "app/chat/chat_rooms_page.h"
#include "app/http/cgi_extensions_page.h"
#include "app/http/http_servers_page.h"
#include "app/http/icon_list_page.h"
#include "app/http/redirections_page.h"
#include "app/http/type_list_page.h"
#include "app/http/virtual_paths_page.h"
#include "app/proxy/proxy_pages.h"
#include "app/proxy/url_list_page.h"
#include "app/shared/access_control_page.h"
#include "app/shared/groups_page.h"
#include "app/shared/macros_page.h"
#include "app/shared/strings_page.h"
#include "app/shared/users_page.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "macro/macro_context.h"
#include "proxy/proxy_settings.h"
#include "resources/string_table.h"

namespace {

// Users, Groups, Strings and Macros of a family whose configuration holds
// its users, groups, strings scope and init macro. A family without a
// strings scope (no macro library) has no Strings page.
template <class Config>
void AddAccountAndStringPages(std::vector<NestedPageMaker<Config>>& pages, const DefaultStringRow* table,
                              CUserMap& (*users)(Config&), CGroupMap& (*groups)(Config&),
                              std::string (*getMacro)(Config&), void (*setMacro)(Config&, const std::string&))
{
    pages.push_back([users](Config& c) { return std::make_unique<CUsersPage>(users(c)); });
    pages.push_back([users, groups](Config& c) { return std::make_unique<CGroupsPage>(users(c), groups(c)); });
    pages.push_back([table](Config& c) -> std::unique_ptr<CPropertyPage> {
        auto* scope = dynamic_cast<CMacroContext*>(c.GetStrings());
        if (!scope)
            return nullptr;
        return std::make_unique<CStringsPage>(*scope, table);
    });
    pages.push_back([getMacro, setMacro](Config& c) {
        return std::make_unique<CMacrosPage>([&c, getMacro] { return getMacro(c); },
                                             [&c, setMacro](const std::string& text) { setMacro(c, text); });
    });
}

} // namespace

CNestedSheetPages DefaultNestedSheetPages()
{
    // The editors of the families (server and room lists, paths, types,
    // icons, redirections, CGI, and the proxy's own pages) join here in
    // their designed places as they are built.
    CNestedSheetPages pages;
    AddAccountAndStringPages<CHTTPGlobalConfig>(
        pages.http, kHttpDefaultStrings, [](CHTTPGlobalConfig& c) -> CUserMap& { return c.GetUsers(); },
        [](CHTTPGlobalConfig& c) -> CGroupMap& { return c.GetGuests(); },
        [](CHTTPGlobalConfig& c) { return c.GetInitMacro(); },
        [](CHTTPGlobalConfig& c, const std::string& text) { c.SetInitMacro(text); });
    // The shared lists, after Macros.
    pages.http.push_back([](CHTTPGlobalConfig& c) {
        return std::make_unique<CVirtualPathsPage>(c.GetPaths(), &c.GetUsers(), &c.GetGuests());
    });
    pages.http.push_back([](CHTTPGlobalConfig& c) { return MakeMimeTypesPage(c); });
    pages.http.push_back([](CHTTPGlobalConfig& c) { return MakeMimeIconsPage(c); });
    pages.http.push_back([](CHTTPGlobalConfig& c) { return std::make_unique<CRedirectionsPage>(c.GetRedirections()); });
    pages.http.push_back([](CHTTPGlobalConfig& c) { return std::make_unique<CCGIExtensionsPage>(c.GetCGIExt()); });
    AddAccountAndStringPages<CChatGlobalConfig>(
        pages.chat, kChatDefaultStrings, [](CChatGlobalConfig& c) -> CUserMap& { return c.GetUsers(); },
        [](CChatGlobalConfig& c) -> CGroupMap& { return c.GetGuests(); },
        [](CChatGlobalConfig& c) { return c.GetInitMacro(); },
        [](CChatGlobalConfig& c, const std::string& text) { c.SetInitMacro(text); });
    AddAccountAndStringPages<CHTTPProxySettings>(
        pages.proxy, kProxyDefaultStrings, [](CHTTPProxySettings& c) -> CUserMap& { return c.GetUsers(); },
        [](CHTTPProxySettings& c) -> CGroupMap& { return c.GetGroups(); },
        [](CHTTPProxySettings& c) { return c.GetSettings()->initMacro; },
        [](CHTTPProxySettings& c, const std::string& text) {
            auto settings = std::make_shared<CServiceSettings>(*c.GetSettings());
            settings->initMacro = text;
            c.SetSettings(settings);
        });
    // The HTTP servers come first.
    pages.http.insert(pages.http.begin(),
                      [](CHTTPGlobalConfig& c) { return std::make_unique<CHTTPServersPage>(c.GetServers()); });
    // The proxy's Access Control page comes after its own pages, before Strings.
    pages.proxy.insert(pages.proxy.begin() + 2,
                       [](CHTTPProxySettings& c) { return MakeAccessControlPage(c); });
    // The rooms come first.
    pages.chat.insert(pages.chat.begin(),
                      [](CChatGlobalConfig& c) { return std::make_unique<CChatRoomsPage>(c.GetRooms()); });
    // The proxy: General first; its cache, URL lists and cascade between
    // Groups and Access Control; its FTP and gopher lists last.
    pages.proxy.insert(pages.proxy.begin(),
                       [](CHTTPProxySettings& c) { return std::make_unique<CProxyGeneralPage>(c); });
    pages.proxy.insert(pages.proxy.begin() + 3,
                       {[](CHTTPProxySettings& c) { return std::make_unique<CProxyCachePage>(c); },
                        [](CHTTPProxySettings& c) { return MakeBarredURLsPage(c); },
                        [](CHTTPProxySettings& c) { return MakeAllowedURLsPage(c); },
                        [](CHTTPProxySettings& c) { return MakeUncachedURLsPage(c); },
                        [](CHTTPProxySettings& c) { return std::make_unique<CProxyCascadePage>(c); }});
    pages.proxy.push_back([](CHTTPProxySettings& c) {
        return std::make_unique<CTypeListPage>(kFtpTypesKind, c.GetFTPExtMappings());
    });
    pages.proxy.push_back([](CHTTPProxySettings& c) {
        return std::make_unique<CIconListPage>(kFtpIconsKind, c.GetFTPIcons(), c.GetFTPExtMappings());
    });
    pages.proxy.push_back([](CHTTPProxySettings& c) {
        return std::make_unique<CTypeListPage>(kGopherTypesKind, c.GetGopherMappings());
    });
    pages.proxy.push_back([](CHTTPProxySettings& c) {
        return std::make_unique<CIconListPage>(kGopherIconsKind, c.GetGopherIcons(), c.GetGopherMappings());
    });
    return pages;
}
