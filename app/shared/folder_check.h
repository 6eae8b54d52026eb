#pragma once
// Whether a folder typed on a page exists. A server given a folder that is
// not there answers 404 to every request and logs nothing, so the pages
// that take one refuse it with a message. Only this machine's folders can
// be looked at: on a sheet that edits another machine nothing is refused.

#include <QString>

#include <string>

class CDataExchange;
class QWidget;

// The property a settings sheet carries when it edits another machine.
inline constexpr const char* kFarMachineProperty = "editsFarMachine";
// The property a sheet carries when it edits an entry not stored yet: its
// folders were never checked, so the ones it was given are checked too.
inline constexpr const char* kNewEntryProperty = "editsNewEntry";

// True when path names no folder here and control sits on a sheet that
// edits this machine.
bool FolderMissing(const QWidget* control, const std::string& path);

// While saving: when folder was changed from stored (or dialog sits on a
// sheet that edits a new entry) and names no folder,
// shows "The <what> "<folder>" does not exist..." and fails the exchange
// with the focus on the control the exchange handled last.
void CheckFolderExists(CDataExchange& dx, QWidget* dialog, const QString& what, const std::string& folder,
                       const std::string& stored);
