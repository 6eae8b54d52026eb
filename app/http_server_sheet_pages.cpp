// The pages of one HTTP server's sheet, in their designed order; a page
// built later takes its marked place here.

#include "app/http_servers_page.h"

#include "app/access_control_page.h"
#include "app/groups_page.h"
#include "app/http_general_page.h"
#include "app/http_path_pages.h"
#include "app/icon_list_page.h"
#include "app/http_performance_page.h"
#include "app/listening_ports.h"
#include "app/logging_page.h"
#include "app/macros_page.h"
#include "app/nt_auth_page.h"
#include "app/ssl_page.h"
#include "app/strings_page.h"
#include "app/users_page.h"
#include "config/http_server_config.h"
#include "macro/macro_context.h"
#include "resources/string_table.h"

std::vector<ServerPageMaker> ServerSheetPages()
{
    std::vector<ServerPageMaker> pages;
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList* others) {
        return std::make_unique<CHTTPGeneralPage>(c, others);
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList* others) {
        return std::make_unique<CLoggingPage>(c, others);
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList* others) {
        auto page = std::make_unique<CSSLPage>(c);
        page->SetPortTest([shown = page.get(), others](const CServiceConfig& server) {
            std::vector<CListeningSocket> servers;
            if (others)
                AddListeningSockets(*others, servers);
            return SSLPortInUse(shown, ServerFamily::http, std::move(servers), server);
        });
        return page;
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        auto page = std::make_unique<CHTTPPerformancePage>();
        page->SetConfig(&c);
        return page;
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        return std::make_unique<CUsersPage>(c.GetUsers());
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        return std::make_unique<CGroupsPage>(c.GetUsers(), c.GetGroups());
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        auto page = std::make_unique<CNTAuthPage>();
        page->SetConfig(&c);
        return page;
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) -> std::unique_ptr<CPropertyPage> {
        // A build without the macro library keeps no strings scope.
        auto* scope = dynamic_cast<CMacroContext*>(c.GetStrings());
        if (!scope)
            return nullptr;
        return std::make_unique<CStringsPage>(*scope, kHttpDefaultStrings);
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        return std::make_unique<CMacrosPage>([&c] { return c.GetSettings()->initMacro; },
                                             [&c](const std::string& text) {
                                                 auto settings = std::make_shared<CServiceSettings>(*c.GetSettings());
                                                 settings->initMacro = text;
                                                 c.SetSettings(settings);
                                             });
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeAccessControlPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeVirtualPathsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeMimeTypesPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeMimeIconsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeRedirectionsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeCGIExtensionsPage(c); });
    return pages;
}
