#pragma once
// CServerControlPage: starts and stops the servers that run inside the
// application. The press takes effect at once, before the sheet closes;
// afterwards Start is enabled exactly when the servers are stopped and Stop
// exactly when they run, whatever the press achieved.
//
// On another machine's sheet the servers this process runs are not the ones
// being configured: there the page drives that machine's Velmora service
// through the sheet's own channel, Start enabled exactly when the service is
// stopped and Stop exactly when it runs (neither while it is pending,
// missing or cannot be asked).

#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class ServiceControlPage;
}

namespace platform {
class RemoteRegistry;
}

class CServerControlPage : public CPropertyPage {
    Q_OBJECT
public:
    // far: the channel to another machine, which outlives the page; null
    // for this process's own servers.
    explicit CServerControlPage(platform::RemoteRegistry* far = nullptr);
    ~CServerControlPage() override;

    void OnStart();
    void OnStop();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void UpdateButtons();

    std::unique_ptr<Ui::ServiceControlPage> m_ui;
    platform::RemoteRegistry* m_far;
};
