#include "app/far_call.h"

#include "platform/remote_protocol.h"
#include "platform/remote_registry.h"

#include <QElapsedTimer>

#include <atomic>

int CallFarMachine(QWidget* parent, platform::RemoteRegistry& far, const std::function<int()>& work, FarEnd* ended)
{
    std::atomic<bool> gaveUp{false};
    CWaitBox box;
    box.parent = parent;
    box.text = QStringLiteral("Waiting for %1 to answer...").arg(QString::fromStdString(far.Host()));
    box.giveUp = [&far, &gaveUp] {
        gaveUp = true;
        far.Abandon();
    };
    QElapsedTimer waited;
    waited.start();
    const int result = RunWhileWindowPaints(work, &box);
    if (ended) {
        if (gaveUp)
            *ended = FarEnd::GaveUp;
        else if (!far.Broken())
            *ended = FarEnd::Answered;
        else
            *ended = waited.elapsed() >= platform::kRemoteReplyTimeoutMs ? FarEnd::NoAnswer : FarEnd::Lost;
    }
    return result;
}

QString FarEndReason(FarEnd ended, const std::string& host)
{
    const QString name = QString::fromStdString(host);
    switch (ended) {
    case FarEnd::Answered:
        break;
    case FarEnd::GaveUp:
        return QStringLiteral("Reason: you gave up waiting for %1 to answer.").arg(name);
    case FarEnd::NoAnswer:
        return QStringLiteral("Reason: %1 did not answer within %2 seconds.")
            .arg(name)
            .arg(platform::kRemoteReplyTimeoutMs / 1000);
    case FarEnd::Lost:
        return QStringLiteral("Reason: the connection to %1 was lost.").arg(name);
    }
    return {};
}
