// The X server and the tray host every desktop test shares, started once
// for the program: Xvfb on a display number it picks itself, trayer on it,
// then one QApplication on that display. Without them the tests skip.

#include "desktop_environment.h"

#include "e2e/e2e_server.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string g_missing = "the desktop environment was not set up";
std::string g_display;

// Runs xdotool with args; true when it found something (exit 0).
bool XdotoolFinds(const std::vector<std::string>& args)
{
    std::vector<std::string> command = {"timeout", "10", "xdotool"};
    command.insert(command.end(), args.begin(), args.end());
    return e2e::RunProgram(command, "/dev/null").exitCode == 0;
}

class DesktopEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        StartDesktop();
        if (!g_missing.empty())
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        m_app = std::make_unique<QApplication>(m_argc, m_argv);
    }
    void TearDown() override
    {
        m_app.reset();
        m_trayer.KillAndReap();
        m_xvfb.KillAndReap();
    }

private:
    void StartDesktop()
    {
        for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/trayer", "/usr/bin/xdotool"}) {
            if (!e2e::HaveTool(tool)) {
                g_missing = std::string(tool) + " is not installed";
                return;
            }
        }
        platform::ChildStart xvfb;
        xvfb.arguments = {"Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"};
        xvfb.newSession = true;
        if (m_xvfb.Start(xvfb) != 0) {
            g_missing = "Xvfb does not start";
            return;
        }
        // Xvfb writes the display number it took once it accepts clients.
        std::string number;
        const std::uint64_t end = platform::MonotonicMs() + 15000;
        while (number.find('\n') == std::string::npos && platform::MonotonicMs() < end) {
            pollfd ready{m_xvfb.OutputHandle(), POLLIN, 0};
            if (::poll(&ready, 1, 100) > 0) {
                char bytes[32];
                ssize_t n = ::read(m_xvfb.OutputHandle(), bytes, sizeof bytes);
                if (n <= 0)
                    break;
                number.append(bytes, static_cast<std::size_t>(n));
            }
        }
        if (number.find('\n') == std::string::npos) {
            g_missing = "Xvfb gave no display number";
            return;
        }
        g_display = ":" + number.substr(0, number.find('\n'));
        ::setenv("DISPLAY", g_display.c_str(), 1);

        platform::ChildStart trayer;
        trayer.arguments = {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                            "--height", "24", "--transparent", "false"};
        trayer.newSession = true;
        if (m_trayer.Start(trayer) != 0) {
            g_missing = "trayer does not start";
            return;
        }
        // Its panel is mapped once it owns the tray.
        const std::uint64_t trayEnd = platform::MonotonicMs() + 15000;
        while (!XdotoolFinds({"search", "--onlyvisible", "--name", "^panel$"})) {
            if (platform::MonotonicMs() > trayEnd) {
                g_missing = "trayer shows no panel";
                return;
            }
            platform::SleepMs(100);
        }
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        g_missing.clear();
    }

    platform::ChildProcess m_xvfb;
    platform::ChildProcess m_trayer;
    int m_argc = 1;
    char m_name[24] = "app_desktop_tests";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new DesktopEnvironment);

} // namespace

const char* DesktopMissing() { return g_missing.empty() ? nullptr : g_missing.c_str(); }

const std::string& DesktopDisplay() { return g_display; }

bool XdotoolSucceeds(const std::vector<std::string>& args) { return XdotoolFinds(args); }

// Under the sanitizers: the X platform's D-Bus connection (the tray's
// status-notifier probe) keeps a block libdbus allocates until the process
// ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
