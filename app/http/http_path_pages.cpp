#include "app/http/http_path_pages.h"

#include "app/http/cgi_extensions_page.h"
#include "app/http/redirections_page.h"
#include "app/http/virtual_paths_page.h"
#include "config/http_server_config.h"

std::unique_ptr<CPropertyPage> MakeVirtualPathsPage(CHTTPServerConfig& server)
{
    return std::make_unique<CVirtualPathsPage>(server.GetPaths(), &server.GetUsers(), &server.GetGroups());
}

std::unique_ptr<CPropertyPage> MakeRedirectionsPage(CHTTPServerConfig& server)
{
    return std::make_unique<CRedirectionsPage>(server.GetRedirections());
}

std::unique_ptr<CPropertyPage> MakeCGIExtensionsPage(CHTTPServerConfig& server)
{
    return std::make_unique<CCGIExtensionsPage>(server.GetCGIExt());
}
