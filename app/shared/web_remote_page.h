#pragma once
// CWebRemotePage: the web remote-configuration server's main values (the
// HTTP server kept under HTTPConf). Advanced opens a nested sheet with its
// logging, SSL, users, groups, NT authentication, strings, macros, access
// control and MIME type pages on a working copy. Reading the fields back
// marks the sheet for a restart when the configuration's own restart test
// says so against the values the page was filled with.

#include "app/kit/property_page.h"
#include "config/http_server_config.h"

#include <memory>

namespace Ui {
class WebRemotePage;
}

inline constexpr unsigned kWebRemoteAdvancedCaptionId = 2100; // "Web Remote Advanced Settings"

class CWebRemotePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CWebRemotePage(CHTTPServerConfig& config);
    ~CWebRemotePage() override;

    // kIdOk when the Advanced sheet was accepted.
    int OnAdvanced();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::WebRemotePage> m_ui;
    CHTTPServerConfig& m_config;
    CHTTPServerConfig m_snapshot;
};

std::unique_ptr<CPropertyPage> MakeWebRemotePage(CHTTPServerConfig& config);
