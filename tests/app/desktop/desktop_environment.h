#pragma once
// The X server and tray host of the desktop tests (desktop_environment_helper.cpp).

#include <string>
#include <vector>

// Why the desktop could not be set up, or null when it is ready.
const char* DesktopMissing();
// The display the tests run on (":N").
const std::string& DesktopDisplay();
// Runs xdotool on that display; true when it exits 0.
bool XdotoolSucceeds(const std::vector<std::string>& args);
