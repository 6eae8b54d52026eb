// The pages of one HTTP server's sheet, in their designed order.

#include "app/http_servers_page.h"

#include "app/access_control_page.h"
#include "app/groups_page.h"
#include "app/http_general_page.h"
#include "app/http_path_pages.h"
#include "app/icon_list_page.h"
#include "app/http_performance_page.h"
#include "app/logging_page.h"
#include "app/nt_auth_page.h"
#include "app/service_pages.h"
#include "app/users_page.h"
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
