#pragma once
// CNTAuthPage: a server's NT authentication settings: whether user names
// and passwords are checked against the system's accounts (on Linux, a PAM
// authentication), the server or domain that checks them, and the account
// unauthenticated requests run as. The owning sheet sets the configuration
// being edited before the page is shown. None of these values needs a
// restart: running servers take them at their next reload through the
// change stamp and log the anonymous account on again.

#include "app/kit/property_page.h"
#include "config/http_server_config.h"

#include <memory>

namespace Ui {
class NTAuthPage;
}

class CNTAuthPage : public CPropertyPage {
    Q_OBJECT
public:
    CNTAuthPage();
    ~CNTAuthPage() override;

    void SetConfig(CHTTPServerConfig* config) { m_config = config; }

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::unique_ptr<Ui::NTAuthPage> m_ui;
    CHTTPServerConfig* m_config = nullptr;
    CHTTPServerConfig m_original;
};
