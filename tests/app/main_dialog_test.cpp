// The main window with the real engine on the shipped configuration, run
// in this process on the offscreen platform (no system tray there): the
// servers start with the window, the Users field, the shutdown
// confirmation with real connected clients, and Settings from Esc.

#include "app/kit/property_sheet_plus.h"
#include "app/main_dialog.h"
#include "app/product_icons.h"
#include "app_fixture.h"
#include "app_hive.h"
#include "eventually.h"
#include "screenshot.h"
#include "framework/loopback.h"
#include "framework/server_stats.h"
#include "framework/wsocket.h"
#include "service/engine.h"

#include <QStyle>
#include <QTimer>

#include <memory>
#include <set>
#include <vector>

namespace {

class MainDialogTest : public AppEngineTest {
protected:
    // Processes events until pred holds (at most limitMs).
    template <class Pred>
    bool Until(Pred pred, std::uint64_t limitMs = 10000)
    {
        return Eventually(
            [&] {
                QApplication::processEvents();
                return pred();
            },
            limitMs);
    }

    // Clients in the middle of a request: a server counts a connection
    // once its first bytes came, and this one waits for the rest.
    void ConnectClients(int count)
    {
        for (int i = 0; i < count; ++i) {
            auto client = std::make_unique<WSocket>();
            ASSERT_EQ(client->Connect("127.0.0.1", m_port), 0);
            client->SendText("GET / HTTP/1.0\r\n", false);
            m_clients.push_back(std::move(client));
        }
    }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    std::vector<std::unique_ptr<WSocket>> m_clients;
};

TEST_F(MainDialogTest, WithoutATrayTheWindowMinimisesAndShutdownAsksOnlyWhenUsersAreConnected)
{
    CMainDialog dialog(false);
    dialog.show();
    dialog.Start();
    EXPECT_EQ(dialog.windowTitle(), "Velmora");
    EXPECT_EQ(dialog.TrayIcon(), nullptr);
    EXPECT_TRUE(Until([&] { return dialog.isMinimized(); })) << "no tray: minimised at start";
    EXPECT_EQ(ServicesRunning(), 1);
    EXPECT_EQ(Curl(), 0) << "the servers started with the window answer";
    EXPECT_EQ(dialog.UsersField()->text(), "0") << "the count shows from the start, not after the first tick";

    ConnectClients(3);
    ASSERT_TRUE(Until([] { return GetGlobalClientCount() == 3; })) << GetGlobalClientCount();
    dialog.OnTimer();
    EXPECT_EQ(dialog.UsersField()->text(), "3");

    // Shutdown with 3 users asks; No keeps everything running.
    boxes.answers.push_back(kIdNo);
    QTest::mouseClick(dialog.ShutdownButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "There are 3 users currently using the server.  Are you sure you want to shut it down?");
    EXPECT_EQ(boxes.shown[0].helpId, 2057u);
    EXPECT_EQ(boxes.shown[0].type & kMbButtonMask, kMbYesNo);
    EXPECT_EQ(dialog.result(), 0);
    EXPECT_EQ(ServicesRunning(), 1);
    EXPECT_EQ(Curl(), 0);

    // Closing the window without a tray is Shutdown; Yes ends it and stops the servers.
    boxes.answers.push_back(kIdYes);
    dialog.close();
    EXPECT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(ServicesRunning(), 0);
    EXPECT_NE(Curl(), 0) << "Shutdown stopped the servers";
}

TEST_F(MainDialogTest, StoppedServersShowADashAndShutdownAsksNobody)
{
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    EXPECT_TRUE(Until([&] { return !dialog.isVisible(); })) << "tray mode: hidden at start";
    dialog.ShowFromTray();
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.TimerRunning());

    // Stopped elsewhere (the Service Control page): no statistics block,
    // so no user count at all (-1), and nobody to ask about.
    StopServices();
    ASSERT_EQ(GetGlobalClientCount(), -1);
    dialog.OnTimer();
    EXPECT_EQ(dialog.UsersField()->text(), "-");

    // Closing in tray mode only hides, and stops the refresh.
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(dialog.TimerRunning());
    EXPECT_EQ(dialog.result(), 0);

    dialog.ShowFromTray();
    QTest::mouseClick(dialog.ShutdownButton(), Qt::LeftButton);
    EXPECT_TRUE(boxes.shown.empty()) << "a missing statistics block is no users";
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST_F(MainDialogTest, EscOpensTheSettingsSheetAndAChangeWithoutRestartAsksNothing)
{
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    ASSERT_TRUE(Until([&] { return !dialog.isVisible(); }));
    dialog.ShowFromTray();
    bool sawSheet = false;
    runner.steps.push_back([&](QDialog& sheet) {
        sawSheet = sheet.windowTitle() == "Server Settings";
        QTest::mouseClick(sheet.findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
    });
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(runner.runs, 1);
    EXPECT_TRUE(sawSheet);
    EXPECT_TRUE(boxes.shown.empty()) << "no restart was marked, so no prompt";
    EXPECT_TRUE(dialog.isVisible()) << "the program keeps running";
    EXPECT_EQ(ServicesRunning(), 1);
    platform::RegistryKey backup;
    EXPECT_EQ(platform::RegistryKey::LocalMachine().Open("Software\\Tessaline\\Velmora001", backup),
              platform::kErrorSuccess)
        << "the sheet saved on OK";
}

TEST_F(MainDialogTest, ARestartAfterSettingsRestartsTheServersInProcessOnlyOnYes)
{
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    ASSERT_TRUE(Until([&] { return !dialog.isVisible(); }));
    dialog.ShowFromTray();
    const std::uint16_t oldPort = m_port;
    const std::uint16_t newPort = e2e::FreePort();
    // A port change only a restart applies, made as a page would make it.
    platform::RegistryKey server = Key("HTTP\\Servers\\" + std::to_string(oldPort) + ":127.0.0.1");
    ASSERT_EQ(server.SetDword("Port", newPort), platform::kErrorSuccess);
    auto markRestartAndOk = [](QDialog& sheet) {
        static_cast<CPropertySheetPlus&>(sheet).m_bRestart = 1;
        QTest::mouseClick(sheet.findChild<QPushButton*>(QStringLiteral("ok")), Qt::LeftButton);
    };

    // No: the servers keep running as they were, so nothing listens on the
    // new port yet. Yes: they are stopped and started in this process, on
    // the new port only.
    struct Case {
        int answer;
        bool restarted;
    };
    const Case cases[] = {{kIdNo, false}, {kIdYes, true}};
    for (const Case& c : cases) {
        boxes.shown.clear();
        boxes.answers.push_back(c.answer);
        runner.steps.push_back(markRestartAndOk);
        QTest::mouseClick(dialog.SettingsButton(), Qt::LeftButton);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text,
                  "For the changes you have made to take effect, all services will have to be restarted.  "
                  "Existing connections will be terminated.  Do you want to restart the server now?");
        EXPECT_EQ(boxes.shown[0].helpId, 2055u);
        EXPECT_EQ(ServicesRunning(), 1);
        m_port = newPort;
        EXPECT_EQ(Curl() == 0, c.restarted);
        m_port = oldPort;
        if (c.restarted) {
            EXPECT_NE(Curl(), 0) << "the old port is closed";
        }
    }
    EXPECT_TRUE(dialog.isVisible()) << "the program keeps running";
}

TEST_F(MainDialogTest, EnterIsShutdownUnlessAButtonHasTheFocus)
{
    struct Case {
        Qt::Key key;
        const char* focus; // the control holding the focus; null for none
        bool shutdown;     // else the settings sheet ran
    };
    const Case cases[] = {
        {Qt::Key_Return, nullptr, true},
        {Qt::Key_Enter, nullptr, true},
        {Qt::Key_Return, "shutdownButton", true},
        {Qt::Key_Return, "settingsButton", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.key) + " on " + (c.focus ? c.focus : "no button"));
        runner.runs = 0;
        CMainDialog dialog(false);
        dialog.show();
        dialog.Start();
        ASSERT_TRUE(Until([&] { return dialog.isMinimized(); }));
        dialog.ShowFromTray();
        ASSERT_EQ(ServicesRunning(), 1);
        if (c.focus)
            Find<QPushButton>(dialog, c.focus)->setFocus();
        else
            dialog.setFocus();
        runner.steps.push_back([](QDialog& sheet) {
            QTest::mouseClick(sheet.findChild<QPushButton*>(QStringLiteral("cancel")), Qt::LeftButton);
        });
        QTest::keyClick(&dialog, c.key);
        EXPECT_EQ(dialog.result() == QDialog::Accepted, c.shutdown);
        EXPECT_EQ(ServicesRunning(), c.shutdown ? 0 : 1);
        EXPECT_EQ(runner.runs, c.shutdown ? 0 : 1);
        runner.steps.clear();
        StopServices();
    }
}

TEST_F(MainDialogTest, TheWindowAndTheTrayShowTheProgramsOwnIcons)
{
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    ASSERT_NE(dialog.TrayIcon(), nullptr);
    auto image = [](const QIcon& icon) { return icon.pixmap(32, 32).toImage(); };
    const QImage program = image(LoadProductIcon(kProgramIconId));
    const QImage tray = image(LoadProductIcon(kTrayIconId));
    const std::pair<QImage, QImage> shown[] = {{image(dialog.windowIcon()), program},
                                               {image(dialog.TrayIcon()->icon()), tray},
                                               {Find<QLabel>(dialog, "programIcon")->pixmap().toImage(), program}};
    for (const auto& [icon, expected] : shown) {
        EXPECT_FALSE(icon.isNull());
        EXPECT_EQ(icon, expected);
        for (auto which : {QStyle::SP_ComputerIcon, QStyle::SP_DesktopIcon, QStyle::SP_MessageBoxInformation})
            EXPECT_NE(icon, image(QApplication::style()->standardIcon(which))) << "not the theme's " << which;
        std::set<QRgb> colours;
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x)
                colours.insert(icon.pixel(x, y));
        EXPECT_GT(colours.size(), 3u) << "drawn, not one flat colour";
    }
    EXPECT_NE(program, tray);
}

// With every configured port taken (another instance runs) the window does
// not hide behind the tray with nothing to show: it stays up and says that
// not one server could start.
TEST_F(MainDialogTest, WithEveryPortTakenTheWindowStaysUpAndSaysSo)
{
    LoopbackListener httpPort, chatPort;
    Key("HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress)).SetDword("Port", httpPort.port);
    Key("ChatRoom\\Rooms\\Lobby").SetDword("Port", chatPort.port);
    CMainDialog dialog(true);
    dialog.show();
    dialog.Start();
    QApplication::processEvents();
    EXPECT_TRUE(dialog.isVisible()) << "hidden behind the tray with nothing serving";
    EXPECT_TRUE(dialog.StatusLabel()->isVisible());
    EXPECT_TRUE(dialog.StatusLabel()->text().startsWith("Not one configured server could start"))
        << dialog.StatusLabel()->text().toStdString();
    QLabel* status = dialog.StatusLabel();
    EXPECT_GE(status->height(), status->heightForWidth(status->width())) << "the text shows whole, not clipped";
    EXPECT_TRUE(dialog.rect().contains(status->geometry()));
    SaveScreenshot(dialog, "main_window_nothing_serves");
    StopServices();

    // Once the ports are free a start serves and the window gets out of the way.
    Key("HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress)).SetDword("Port", m_port);
    CMainDialog second(true);
    second.show();
    second.Start();
    EXPECT_TRUE(Until([&] { return !second.isVisible(); }));
    EXPECT_FALSE(second.StatusLabel()->isVisible());
}

} // namespace
