#include "app/far_call.h"

#include "platform/remote_protocol.h"
#include "platform/remote_registry.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

#include <atomic>

int CallFarMachine(QWidget* parent, platform::RemoteRegistry& far, const QString& what,
                   const std::function<int()>& work, FarEnd* ended, bool* mayHaveActed)
{
    std::atomic<bool> gaveUp{false};
    const std::uint32_t unanswered = far.Unanswered();
    CWaitBox box;
    box.parent = parent;
    // What is waited for, and how long at most, so the user can judge whether to give up.
    box.text = QStringLiteral("Waiting for %1 to answer...\n%2: each answer is awaited at most %3 seconds.")
                   .arg(QString::fromStdString(far.Host()), what)
                   .arg(platform::kRemoteReplyTimeoutMs / 1000);
    box.giveUp = [&far, &gaveUp] {
        gaveUp = true;
        far.Abandon();
    };
    QElapsedTimer waited;
    waited.start();
    const int result = RunWhileWindowPaints(work, &box);
    if (mayHaveActed)
        *mayHaveActed = far.Unanswered() != unanswered;
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

QString FarUnsureNote(const std::string& host)
{
    return QStringLiteral("%1 may have carried it out before the wait ended; it will not carry it out later.")
        .arg(QString::fromStdString(host));
}

namespace {

// Gives the focus back to its control whenever the control is enabled
// again (a far page greys its buttons while the far machine is silent, and
// greying moves the focus on), until the user presses a key or a mouse
// button: from then on the focus is the user's.
class CFocusOnEnable : public QObject {
public:
    explicit CFocusOnEnable(QWidget* control) : QObject(control)
    {
        control->installEventFilter(this);
        QCoreApplication::instance()->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::KeyPress:
            deleteLater();
            break;
        case QEvent::EnabledChange:
            if (watched == parent() && static_cast<QWidget*>(watched)->isEnabled())
                static_cast<QWidget*>(watched)->setFocus(Qt::OtherFocusReason);
            break;
        default:
            break;
        }
        return false;
    }
};

} // namespace

void ReturnFocus(QWidget* control)
{
    if (!control)
        return;
    if (control->isEnabled())
        control->setFocus(Qt::OtherFocusReason);
    // A page that shows a far state may grey the control (now or soon)
    // while the far machine is silent: the focus comes back with the answer.
    new CFocusOnEnable(control);
}
