#pragma once
// CServicePage: starts, stops, pauses and resumes the Velmora service of
// the machine whose settings the sheet edits, and keeps its four buttons in
// step with the service's state by asking once a second. Pause and Stop are
// enabled only while it runs, Resume while it is paused, Start while it is
// stopped; in a pending state, or when the service is missing or cannot be
// asked, none is, and a line on the page says which.
//
// Questions go to the machine on the watcher's thread, so a slow machine
// never freezes the window; a press disables the buttons until the state
// after the command is known. The outcome of a command is not reported: the
// buttons show what it achieved. A far machine's commands go as every far
// call does (a box to give up, and a message when no answer came).

#include "app/kit/property_page.h"
#include "app/shared/service_manager.h"

#include <memory>
#include <string>

namespace platform {
class RemoteRegistry;
}

namespace Ui {
class ServicePage;
}

class CServiceNote;
class CServiceWatcher;

class CServicePage : public CPropertyPage {
    Q_OBJECT
public:
    // machine: empty for the local machine. far: the sheet's channel to a
    // far machine, which carries the commands (the page's questions go on a
    // channel of their own); without it the commands go with the questions.
    explicit CServicePage(std::string machine = {}, platform::RemoteRegistry* far = nullptr);
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
    void Send(ServiceCommand command, QWidget* control);

    std::unique_ptr<Ui::ServicePage> m_ui;
    std::string m_machine;
    platform::RemoteRegistry* m_far = nullptr;
    std::unique_ptr<CServiceWatcher> m_watcher;
    std::unique_ptr<CServiceNote> m_note;
};
