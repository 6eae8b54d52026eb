#pragma once
// The program's own icons, drawn for it and compiled in: 138, the program
// icon (the main window and its caption), and 217, the tray icon.

#include <QIcon>

inline constexpr unsigned kProgramIconId = 138;
inline constexpr unsigned kTrayIconId = 217;

// The icon with that number at the usual sizes; a null icon for any other.
QIcon LoadProductIcon(unsigned iconId);
