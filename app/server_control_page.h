#pragma once
// CServerControlPage: starts and stops the servers that run inside the
// application. The press takes effect at once, before the sheet closes;
// afterwards Start is enabled exactly when the servers are stopped and Stop
// exactly when they run, whatever the press achieved.

#include "app/property_page.h"

#include <memory>

namespace Ui {
class ServiceControlPage;
}

class CServerControlPage : public CPropertyPage {
    Q_OBJECT
public:
    CServerControlPage();
    ~CServerControlPage() override;

    void OnStart();
    void OnStop();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void UpdateButtons();

    std::unique_ptr<Ui::ServiceControlPage> m_ui;
};
