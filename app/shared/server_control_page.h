#pragma once
// CServerControlPage: starts and stops the servers that run inside the
// application. The press takes effect at once, before the sheet closes;
// afterwards Start is enabled exactly when the servers are stopped and Stop
// exactly when they run, whatever the press achieved.
//
// On another machine's sheet the servers this process runs are not the ones
// being configured: there the page drives that machine's Velmora service
// and follows it as the applet's Service page does, asking once a second on
// a watcher's thread, so a change made there by others shows and a machine
// that does not answer never freezes the window. Start is enabled exactly
// when the service is stopped and Stop exactly when it runs; while it is
// pending, missing or cannot be asked neither is, and a line says why.

#include "app/kit/property_page.h"
#include "app/shared/service_manager.h"

#include <memory>
#include <string>

namespace platform {
class RemoteRegistry;
}

namespace Ui {
class ServiceControlPage;
}

class CServiceNote;
class CServiceWatcher;

class CServerControlPage : public CPropertyPage {
    Q_OBJECT
public:
    // machine: the other machine whose service the page drives; empty for
    // this process's own servers. far: the sheet's channel to it, which
    // carries the commands (the page's questions go on a channel of their
    // own); without it the commands go with the questions.
    explicit CServerControlPage(std::string machine = {}, platform::RemoteRegistry* far = nullptr);
    ~CServerControlPage() override;

    void OnStart();
    void OnStop();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void UpdateButtons();
    void ShowFarState(int state);
    void Command(ServiceCommand command, QWidget* control);

    std::unique_ptr<Ui::ServiceControlPage> m_ui;
    std::string m_machine;
    platform::RemoteRegistry* m_far = nullptr;
    std::unique_ptr<CServiceWatcher> m_watcher;
    std::unique_ptr<CServiceNote> m_note;
};
