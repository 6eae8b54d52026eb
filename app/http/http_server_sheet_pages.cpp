// The pages of one HTTP server's sheet, in their designed order.

#include "app/http/http_servers_page.h"

#include "app/shared/access_control_page.h"
#include "app/shared/groups_page.h"
#include "app/http/http_general_page.h"
#include "app/http/http_path_pages.h"
#include "app/http/icon_list_page.h"
#include "app/http/http_performance_page.h"
#include "app/http/logging_page.h"
#include "app/http/nt_auth_page.h"
#include "app/shared/service_pages.h"
#include "app/shared/users_page.h"
#include "config/http_server_config.h"
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
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList* others) { return MakeServiceSSLPage(c, others, ServerFamily::http); });
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
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) {
        return MakeServiceStringsPage(c, kHttpDefaultStrings);
    });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeServiceMacrosPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeAccessControlPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeVirtualPathsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeMimeTypesPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeMimeIconsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeRedirectionsPage(c); });
    pages.push_back([](CHTTPServerConfig& c, CHTTPServerConfigList*) { return MakeCGIExtensionsPage(c); });
    return pages;
}
