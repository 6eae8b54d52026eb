#pragma once
// The Virtual Paths, Redirections and CGI Extensions pages on one HTTP
// server's own maps, as its per-server sheet adds them (the global sheet
// makes the same pages on the shared maps).

#include "app/kit/property_page.h"

#include <memory>

class CHTTPServerConfig;

std::unique_ptr<CPropertyPage> MakeVirtualPathsPage(CHTTPServerConfig& server);
std::unique_ptr<CPropertyPage> MakeRedirectionsPage(CHTTPServerConfig& server);
std::unique_ptr<CPropertyPage> MakeCGIExtensionsPage(CHTTPServerConfig& server);
