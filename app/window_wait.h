#pragma once
// Work that may wait long (a restart, a far machine's registry) runs on a
// worker thread while the calling window keeps painting; user input is held
// back, so nothing can pull away what the worker uses. A wait that lasts
// shows a box saying what is waited for, whose Give Up lets the user end a
// wait that would otherwise last until the channel's own time-out.

#include <QString>

#include <functional>

class QWidget;

// How long a wait goes before its box shows.
inline constexpr int kWaitBoxDelayMs = 1000;

struct CWaitBox {
    QWidget* parent = nullptr;
    QString text;
    // Must make the work end soon (it runs on the window's thread).
    std::function<void()> giveUp;
};

// Runs work on a worker thread while the calling window keeps painting;
// work's result. box: the box to show once the work has taken
// kWaitBoxDelayMs (none when null).
int RunWhileWindowPaints(const std::function<int()>& work, const CWaitBox* box = nullptr);
