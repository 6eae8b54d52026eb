#include "app/window_wait.h"

#include <QCoreApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProgressDialog>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

namespace {

std::unique_ptr<QProgressDialog> ShowWaitBox(const CWaitBox& box)
{
    auto shown = std::make_unique<QProgressDialog>(box.text, QStringLiteral("&Give Up"), 0, 0, box.parent);
    shown->setObjectName(QStringLiteral("waitBox"));
    if (box.parent)
        shown->setWindowTitle(box.parent->window()->windowTitle());
    shown->setAutoClose(false);
    shown->setAutoReset(false);
    // The window behind stays painted but takes no input while it waits.
    shown->setWindowModality(Qt::ApplicationModal);
    QObject::connect(shown.get(), &QProgressDialog::canceled, [giveUp = box.giveUp] {
        if (giveUp)
            giveUp();
    });
    shown->show();
    return shown;
}

} // namespace

int RunWhileWindowPaints(const std::function<int()>& work, const CWaitBox* box)
{
    // Off the window's thread (a page's watcher) there is no window to keep painting.
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return work();
    QEventLoop loop;
    std::atomic<int> result{0};
    std::atomic<bool> done{false};
    std::thread worker([&] {
        result = work();
        done = true;
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    if (qGuiApp)
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    QElapsedTimer waited;
    waited.start();
    QTimer due;
    due.setSingleShot(true);
    QObject::connect(&due, &QTimer::timeout, &loop, &QEventLoop::quit);
    std::unique_ptr<QProgressDialog> shown;
    // The quit may be posted before exec starts; exec only when still waiting.
    while (!done) {
        if (box && !shown) {
            // A coarse timer may fire a little early: the box waits for the full delay.
            const qint64 left = kWaitBoxDelayMs - waited.elapsed();
            if (left > 0) {
                due.start(static_cast<int>(left));
            } else {
                shown = ShowWaitBox(*box);
                // Given up, the box hides: the loop starts again holding input back.
                QObject::connect(shown.get(), &QProgressDialog::canceled, &loop, &QEventLoop::quit);
            }
        }
        // Only the box takes input (its modality keeps it from the window);
        // once given up and hidden, nothing does until the work ends.
        loop.exec(shown && shown->isVisible() ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    }
    shown.reset();
    if (qGuiApp)
        QGuiApplication::restoreOverrideCursor();
    worker.join();
    return result;
}
