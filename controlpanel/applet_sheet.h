#pragma once
// The applet's settings sheet: the application's sheet with the applet's
// page list (its own Service page for every machine; the ODBC page on the
// local machine only), and the double click's sequence: the sheet on the
// local machine, then, when a page asked for it, the offer to restart the
// service.

#include "platform/registry.h"

class CSettingsSheet;
class QWidget;

inline constexpr unsigned kRestartPromptId = 2055;
inline constexpr unsigned kRestartFailedId = 2054;

struct CSettingsPageVariant;

// The applet's variant of the page list; the Remote page hands it on to the
// far machine's sheet.
const CSettingsPageVariant& AppletPageVariant();

// Adds the applet's variant of the page list to a loaded sheet.
void AddAppletPages(CSettingsSheet& settings);

// The applet's RunSettingsSheet: the restart flag after OK, 0 after Cancel.
int RunAppletSettingsSheet(QWidget* parent, const platform::RegistryKey& root, const char* machine);

// The double click: the sheet on the local machine; after an OK that needs
// a restart, asks and restarts the local service, saying so when it fails.
void RunAppletSettings(QWidget* parent);
