#pragma once
// A command of a Service page to the Velmora service of a far machine. It
// goes the one way every far call goes (the sheet's channel, the box after
// a moment, Give Up): sent on the page's watcher thread instead, a command
// pressed on a silent link waited in the channel unseen and was carried out
// whenever the link came back.

#include "app/shared/service_manager.h"

class QWidget;

namespace platform {
class RemoteRegistry;
}

// Sends command to far's Velmora service, waiting over page. True when far
// answered (its answer may be a refusal, which the buttons show); else the
// user was told why, and the focus is back on control.
bool CommandFarService(QWidget* page, platform::RemoteRegistry& far, ServiceCommand command, QWidget* control);
