#include "app/shared/far_service_command.h"

#include "app/far_call.h"
#include "app/kit/message_box.h"
#include "app/shared/service_watcher.h"
#include "platform/remote_registry.h"
#include "platform/remote_service.h"

#include <QWidget>

namespace {

struct CommandWords {
    const char* doing;
    const char* done;
};

CommandWords Words(ServiceCommand command)
{
    switch (command) {
    case ServiceCommand::Start:
        return {"Starting", "started"};
    case ServiceCommand::Stop:
        return {"Stopping", "stopped"};
    case ServiceCommand::Pause:
        return {"Pausing", "paused"};
    case ServiceCommand::Continue:
        break;
    }
    return {"Resuming", "resumed"};
}

// Sends command to far's Velmora service, waiting over page. True when far
// answered (its answer may be a refusal, which the buttons show); else the
// user was told why, and the focus is back on control.
bool CommandFarService(QWidget* page, platform::RemoteRegistry& far, ServiceCommand command, QWidget* control)
{
    const CommandWords words = Words(command);
    FarEnd ended = FarEnd::Answered;
    bool unsure = false;
    CallFarMachine(
        page, far, QStringLiteral("%1 the Velmora service").arg(QLatin1String(words.doing)),
        [&] {
            // A channel given up on earlier is opened again for this command.
            if (far.Reconnect() != platform::kErrorSuccess)
                return 0;
            platform::RemoteServiceControl service(far, kVelmoraServiceName);
            platform::ServiceStatus status;
            switch (command) {
            case ServiceCommand::Start:
                return service.Start() == platform::kServiceOk ? 1 : 0;
            case ServiceCommand::Stop:
                return service.Stop(status) == platform::kServiceOk ? 1 : 0;
            case ServiceCommand::Pause:
                return service.Pause(status) == platform::kServiceOk ? 1 : 0;
            case ServiceCommand::Continue:
                break;
            }
            return service.Continue(status) == platform::kServiceOk ? 1 : 0;
        },
        &ended, &unsure);
    if (ended == FarEnd::Answered)
        return true;
    const QString host = QString::fromStdString(far.Host());
    QString text = (unsure ? QStringLiteral("The Velmora service of %1 may not have been %2.")
                           : QStringLiteral("The Velmora service of %1 was not %2."))
                       .arg(host, QLatin1String(words.done)) +
                   QStringLiteral("\n\n") + FarEndReason(ended, far.Host());
    if (unsure)
        text += QLatin1Char(' ') + FarUnsureNote(far.Host());
    VelmoraMessageBox(page, text, kMbOk | kMbIconExclamation);
    ReturnFocus(control);
    return false;
}

} // namespace

void SendServiceCommand(QWidget* page, CServiceWatcher& watcher, platform::RemoteRegistry* far,
                        ServiceCommand command, QWidget* control, const std::function<void()>& unknown)
{
    if (!far) {
        unknown();
        watcher.Send(command);
        return;
    }
    if (CommandFarService(page, *far, command, control))
        unknown();
    watcher.Poll();
}
