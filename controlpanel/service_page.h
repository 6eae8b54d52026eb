#pragma once
// CServicePage: starts, stops, pauses and resumes the Velmora service of
// the machine whose settings the sheet edits, and keeps its four buttons in
// step with the service's state by asking once a second. Pause and Stop are
// enabled only while it runs, Resume while it is paused, Start while it is
// stopped; in a pending state, or when the service is missing or cannot be
// asked, none is, and a line on the page says which.
//
// Questions and commands go to the machine on the watcher's thread, so a
// slow machine never freezes the window; a press disables the buttons until
// the state after the command is known. The outcome of a command is not
// reported: the buttons show what it achieved.

#include "app/kit/property_page.h"
#include "app/shared/service_manager.h"

#include <memory>
#include <string>

namespace Ui {
class ServicePage;
}

class CServiceNote;
class CServiceWatcher;

class CServicePage : public CPropertyPage {
    Q_OBJECT
public:
    // machine: empty for the local machine.
    explicit CServicePage(std::string machine = {});
    ~CServicePage() override;

    void OnStart();
    void OnStop();
    void OnPause();
    void OnContinue();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;

private:
    void ShowState(int state);
    void Send(ServiceCommand command);

    std::unique_ptr<Ui::ServicePage> m_ui;
    std::string m_machine;
    std::unique_ptr<CServiceWatcher> m_watcher;
    std::unique_ptr<CServiceNote> m_note;
};
