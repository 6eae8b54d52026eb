#pragma once
// A command of a Service page (the application's far one and the applet's)
// to the Velmora service it follows. To a far machine it goes the one way
// every far call goes (the sheet's channel, the box after a moment, Give
// Up): sent on the page's watcher thread instead, a command pressed on a
// silent link waited in the channel unseen and was carried out whenever the
// link came back.

#include "app/shared/service_manager.h"

#include <functional>

class CServiceWatcher;
class QWidget;

namespace platform {
class RemoteRegistry;
}

// Sends command, pressed on control of page: with far, over far's channel,
// waiting over page (not answered, the user is told why and the focus is
// back on control); without it, through watcher. unknown runs once the state
// after the command is to come (it greys the buttons); a far command not
// answered leaves them as they were until the far machine says more.
void SendServiceCommand(QWidget* page, CServiceWatcher& watcher, platform::RemoteRegistry* far,
                        ServiceCommand command, QWidget* control, const std::function<void()>& unknown);
