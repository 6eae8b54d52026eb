#pragma once
// The SSL, Strings and Macros pages of one server's own configuration (an
// HTTP server, a chat room, the proxy): its SSL values with the port checked
// against every server, its strings scope with the family's default texts,
// and its init macro in the service values.

#include "app/shared/listening_ports.h"
#include "app/shared/macros_page.h"
#include "app/shared/ssl_page.h"
#include "app/shared/strings_page.h"
#include "config/service_config.h"
#include "macro/macro_context.h"

#include <memory>

// Null in a build without the macro library, which keeps no strings scope.
inline std::unique_ptr<CPropertyPage> MakeServiceStringsPage(CServiceConfig& config, const DefaultStringRow* table)
{
    auto* scope = dynamic_cast<CMacroContext*>(config.GetStrings());
    if (!scope)
        return nullptr;
    return std::make_unique<CStringsPage>(*scope, table);
}

// Config publishes its service values (SetSettings).
template <class Config>
std::unique_ptr<CPropertyPage> MakeServiceMacrosPage(Config& config)
{
    return std::make_unique<CMacrosPage>([&config] { return config.GetSettings()->initMacro; },
                                         [&config](const std::string& text) {
                                             auto settings = std::make_shared<CServiceSettings>(*config.GetSettings());
                                             settings->initMacro = text;
                                             config.SetSettings(settings);
                                         });
}

// The SSL page of a server of family; others are the other servers of its
// own list (may be null). An SSL port another enabled server of any kind
// listens on is refused.
template <class Config, class List>
std::unique_ptr<CPropertyPage> MakeServiceSSLPage(Config& config, const List* others, ServerFamily family)
{
    auto page = std::make_unique<CSSLPage>(config);
    page->SetPortTest([shown = page.get(), others, family](const CServiceConfig& edited) {
        std::vector<CListeningSocket> same;
        if (others)
            AddListeningSockets(*others, same);
        return SSLPortInUse(shown, family, std::move(same), edited);
    });
    return page;
}
