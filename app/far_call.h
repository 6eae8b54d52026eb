#pragma once
// The one way the desktop programs call a far machine over its registry
// channel (Connect, a sheet's load and save, a page's read or write, the
// restart): the call runs off the window's thread while the window paints,
// and after kWaitBoxDelayMs a box "Waiting for HOST to answer..." offers
// Give Up, which ends the channel's wait at once. What a call ended by
// makes the reason line of the message that follows it.
//
// The far Service pages ask once a second and must not hold the window
// with a box for that: they send their questions through CServiceWatcher's
// thread instead (app/shared/service_watcher.h); their commands come here.

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
// what names the work in the box ("Saving the settings"). ended (when
// given) says how it ended; mayHaveActed (when given) whether a change it
// sent went unanswered, so it may have been carried out before the end
// (never after: the far side drops a request whose asker has gone).
int CallFarMachine(QWidget* parent, platform::RemoteRegistry& far, const QString& what,
                   const std::function<int()>& work, FarEnd* ended = nullptr, bool* mayHaveActed = nullptr);

// Said after the reason of a call that may have acted before it ended.
QString FarUnsureNote(const std::string& host);

// Gives the keyboard focus back to the control that started a far call,
// once its message has closed (a control greyed meanwhile had lost it).
void ReturnFocus(QWidget* control);

// "Reason: ..." for a call that did not end with an answer (empty for
// Answered): the user gave up waiting for host, or host did not answer in
// the reply time-out, or the connection was lost.
QString FarEndReason(FarEnd ended, const std::string& host);
