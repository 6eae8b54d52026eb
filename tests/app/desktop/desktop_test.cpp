// The application on a real X server with a tray host, worked with real
// mouse clicks (xdotool): the tray icon appears, only a left click shows
// the window, the Users field counts the clients curl keeps connected, and
// Shutdown stops the servers. Screenshots of the main window and the
// settings sheet (its first page and the Performance page, at the sheet's
// opening size) are kept under the build folder's tests/app/artefacts/.

#include "app/app_fixture.h"
#include "app/app_hive.h"
#include "app/kit/property_sheet_plus.h"
#include "app/main_dialog.h"
#include "desktop_environment.h"
#include "eventually.h"
#include "framework/server_stats.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "service/engine.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QWindow>

#include <filesystem>
#include <memory>

namespace {

class DesktopTest : public AppEngineTest {
protected:
    const char* Missing() const override { return DesktopMissing(); }

    template <class Pred>
    bool Until(Pred pred, std::uint64_t limitMs = 10000)
    {
        return Eventually(
            [&] {
                QApplication::processEvents(QEventLoop::AllEvents, 50);
                return pred();
            },
            limitMs);
    }
    // Lets the window system deliver what is on its way.
    void Settle(std::uint64_t ms)
    {
        const std::uint64_t end = platform::MonotonicMs() + ms;
        while (platform::MonotonicMs() < end)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }

    static std::string Artefact(const std::string& name)
    {
        std::string dir = BinDir() + "/tests/app/artefacts";
        std::filesystem::create_directories(dir);
        return dir + "/" + name;
    }
    // What the X server shows of the window, saved as a PNG.
    static void Screenshot(QWidget& window, const std::string& name)
    {
        QPixmap shot = window.screen()->grabWindow(window.winId());
        if (shot.isNull())
            shot = window.grab();
        std::string path = Artefact(name);
        EXPECT_TRUE(shot.save(QString::fromStdString(path), "PNG")) << path;
        EXPECT_GT(std::filesystem::file_size(path), 0u);
        std::printf("screenshot: %s\n", path.c_str());
    }

    // A left (1) or right (3) click in the middle of the tray icon.
    void ClickTray(CMainDialog& dialog, int button)
    {
        QRect icon = dialog.TrayIcon()->geometry();
        QPoint middle = icon.center();
        ASSERT_TRUE(XdotoolSucceeds({"mousemove", std::to_string(middle.x()), std::to_string(middle.y()),
                                     "click", std::to_string(button)}));
    }

    // A curl that connects and sends the first line of a request, then
    // waits for the rest while its standard input stays open.
    void StartCurlClient(platform::ChildProcess& curl)
    {
        platform::ChildStart start;
        start.arguments = {"curl", "-s", "--max-time", "60", "telnet://127.0.0.1:" + std::to_string(m_port)};
        ASSERT_EQ(curl.Start(start), 0);
        const char line[] = "GET / HTTP/1.0\r\n";
        ASSERT_EQ(::write(curl.InputHandle(), line, sizeof line - 1), static_cast<ssize_t>(sizeof line - 1));
    }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

TEST_F(DesktopTest, TrayIconClickUsersFieldAndShutdown)
{
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()) << "trayer owns the tray";
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    ASSERT_NE(dialog.TrayIcon(), nullptr);
    EXPECT_TRUE(Until([&] { return !dialog.isVisible(); })) << "hidden behind the tray icon";
    ASSERT_TRUE(Until([&] { return !dialog.TrayIcon()->geometry().isEmpty(); })) << "the icon is in the tray";
    EXPECT_EQ(dialog.TrayIcon()->toolTip(), "Velmora");
    EXPECT_EQ(Curl(), 0) << "the servers started with the window answer curl";

    platform::ChildProcess clients[2];
    for (auto& client : clients)
        StartCurlClient(client);
    ASSERT_TRUE(Until([] { return GetGlobalClientCount() == 2; })) << GetGlobalClientCount();

    ClickTray(dialog, 3);
    Settle(700);
    EXPECT_FALSE(dialog.isVisible()) << "a right click does nothing";

    ClickTray(dialog, 1);
    ASSERT_TRUE(Until([&] { return dialog.isVisible(); })) << "a left click shows the window";
    EXPECT_TRUE(dialog.TimerRunning());
    // The first tick comes 15 s after the window appeared.
    EXPECT_TRUE(Until([&] { return dialog.UsersField()->text() == "2"; }, 2 * kUsersRefreshMs))
        << dialog.UsersField()->text().toStdString();
    Screenshot(dialog, "main-window.png");

    runner.steps.push_back([&](QDialog& shown) {
        auto& sheet = static_cast<CPropertySheetPlus&>(shown);
        Settle(300);
        const QSize opening = sheet.size();
        Screenshot(sheet, "settings-sheet.png");
        // The page that opened clipped when the sheet took the first page's
        // size: at the opening size it reads cleanly.
        QTest::mouseClick(sheet.Tabs()->tabBar(), Qt::LeftButton, {}, sheet.Tabs()->tabBar()->tabRect(1).center());
        Settle(300);
        ASSERT_EQ(sheet.GetActivePage()->Title(), "Performance");
        EXPECT_EQ(ReadingFault(*sheet.GetActivePage()), "");
        EXPECT_EQ(sheet.size(), opening) << "the sheet keeps its opening size";
        Screenshot(sheet, "settings-sheet-performance.png");
        QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
    });
    QTest::mouseClick(dialog.SettingsButton(), Qt::LeftButton);
    EXPECT_EQ(runner.runs, 1);

    boxes.answers.push_back(kIdYes);
    QTest::mouseClick(dialog.ShutdownButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "There are 2 users currently using the server.  Are you sure you want to shut it down?");
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.TrayIcon(), nullptr) << "the tray icon is removed";
    EXPECT_EQ(ServicesRunning(), 0);
    EXPECT_NE(Curl(), 0) << "Shutdown stopped the servers";
}

TEST_F(DesktopTest, ASecondStartShowsTheFirstInstancesHiddenWindow)
{
    platform::ChildStart start;
    start.arguments = {BinDir() + "/app/velmora"};
    start.newSession = true;
    platform::ChildProcess first;
    ASSERT_EQ(first.Start(start), 0);
    ASSERT_TRUE(Eventually([&] { return Curl() == 0 || first.TryReap(); }, 20000) && first.IsRunning());
    const std::vector<std::string> visibleMain = {"search", "--onlyvisible", "--name", "^Velmora$"};
    // Hidden behind its tray icon once it has appeared.
    EXPECT_TRUE(Eventually([&] { return !XdotoolSucceeds(visibleMain); }, 10000));

    platform::ChildProcess second;
    ASSERT_EQ(second.Start(start), 0);
    EXPECT_TRUE(Eventually([&] { return second.TryReap(); }, 15000));
    EXPECT_EQ(second.ExitCode(), 0);
    EXPECT_TRUE(Eventually([&] { return XdotoolSucceeds(visibleMain); }, 10000)) << "the first window is shown";
    EXPECT_TRUE(first.IsRunning() && !first.TryReap());
}

} // namespace
