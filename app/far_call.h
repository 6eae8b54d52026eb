#pragma once
// The one way the desktop programs call a far machine over its registry
// channel (Connect, a sheet's load and save, a page's read or write, the
// restart): the call runs off the window's thread while the window paints,
// and after kWaitBoxDelayMs a box "Waiting for HOST to answer..." offers
// Give Up, which ends the channel's wait at once. What a call ended by
// makes the reason line of the message that follows it.
//
// The far Service pages ask once a second and must not hold the window
// with a box for that: they send their questions and commands through
// CServiceWatcher's thread instead (app/shared/service_watcher.h).

#include "app/window_wait.h"

#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace platform {
class RemoteRegistry;
}

// How a far call ended.
enum class FarEnd {
    Answered, // the far side answered (its answer may still be a refusal)
    GaveUp,   // the user pressed Give Up (or Escape) in the box
    NoAnswer, // the reply time-out passed
    Lost,     // the channel failed at once (the shell ended, a bad reply)
};

// Runs work, which talks to far, with the box over parent; work's result.
// ended (when given) says how it ended.
int CallFarMachine(QWidget* parent, platform::RemoteRegistry& far, const std::function<int()>& work,
                   FarEnd* ended = nullptr);

// "Reason: ..." for a call that did not end with an answer (empty for
// Answered): the user gave up waiting for host, or host did not answer in
// the reply time-out, or the connection was lost.
QString FarEndReason(FarEnd ended, const std::string& host);
