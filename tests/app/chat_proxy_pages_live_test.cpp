// The proxy and chat-room pages against the servers running in this
// process, worked through the widgets: a barred URL mask and an upstream
// proxy take effect without a restart, and a new room serves its join page
// after the restart the sheet asks for.

#include "app/main_dialog.h"
#include "app_hive.h"
#include "bench/peer_server.h"
#include "config/last_mod_stamp.h"
#include "eventually.h"
#include "page_harness.h"

#include <sys/stat.h>

namespace {

class LiveProxyChatPagesTest : public AppEngineTest {
protected:
    void SetUp() override
    {
        AppEngineTest::SetUp();
        if (IsSkipped())
            return;
        UseDocumentFolder({{"open.html", "open to all\n"}, {"secret.html", "kept back\n"}, {"far.html", "far\n"}});
        // The seeded proxy, switched on before the servers start.
        platform::RegistryKey proxy = Key("HTTPProxy");
        ASSERT_EQ(proxy.SetDword("Enabled", 1), platform::kErrorSuccess);
        ASSERT_EQ(proxy.QueryDword("Port", m_proxyPort), platform::kErrorSuccess);
    }

    // curl's status code for a GET of path on the seeded server through
    // our proxy ("000" when nothing answered).
    std::string ThroughProxy(const std::string& path)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                                "http://127.0.0.1:" + std::to_string(m_proxyPort), Url(path)},
                               m_dir / "proxy.out")
            .output;
    }
    std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(m_port) + path; }

    std::uint32_t m_proxyPort = 0;
};

TEST_F(LiveProxyChatPagesTest, ABarredMaskAndACascadeHostSetOnThePagesApplyWithoutARestart)
{
    if (IsSkipped())
        return;
    std::string squid = bench::FindProgram("squid");
    if (squid.empty())
        GTEST_SKIP() << "squid is not installed";
    // Squid drops root for its own user, who must reach its folder.
    std::string folder = m_dir / "squid";
    std::filesystem::create_directories(folder);
    ::chmod(m_dir.Path().c_str(), 0711);
    ::chmod(folder.c_str(), 0777);
    std::uint16_t squidPort = e2e::FreePort();
    bench::WriteFile(folder + "/squid.conf",
                     "http_port 127.0.0.1:" + std::to_string(squidPort) + "\npid_filename " + folder +
                         "/squid.pid\naccess_log stdio:" + folder + "/access.log\ncache_log " + folder +
                         "/cache.log\ncoredump_dir " + folder +
                         "\ncache_store_log none\ncache deny all\npinger_enable off\nshutdown_lifetime 0 seconds\n"
                         "strip_query_terms off\nhttp_access allow localhost\nhttp_access deny all\n");
    bench::Peer squidPeer;
    std::string error = squidPeer.Start({squid, "-N", "-f", folder + "/squid.conf"}, folder + "/stdout.log", squidPort);
    ASSERT_TRUE(error.empty()) << error << bench::ReadFile(folder + "/cache.log");

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return ThroughProxy("/secret.html") == "200"; }, 10000));

    const std::string mask = Url("/secret*");
    runner.steps.push_back([](QDialog& sheet) {
        QTest::mouseClick(Control<QPushButton>(sheet, 1064), Qt::LeftButton);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([&](QDialog& dialog) {
        auto& proxy = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(proxy.windowTitle(), "HTTP Proxy Settings");
        ClickTab(proxy, "Barred URLs");
        Click(*proxy.GetActivePage(), 1155);
        EXPECT_EQ(Lines(Control<QListWidget>(*proxy.GetActivePage(), 1059)), std::vector<std::string>{mask});
        ClickTab(proxy, "Cascade");
        Retype(Control<QLineEdit>(*proxy.GetActivePage(), 1047), "127.0.0.1");
        Retype(Control<QLineEdit>(*proxy.GetActivePage(), 1000), QString::number(squidPort));
        QTest::mouseClick(proxy.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "URL Mask");
        Retype(Control<QLineEdit>(dialog, 1060), QString::fromStdString(mask));
        OkOrElseCancel(dialog);
    });
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty()) << "neither a URL list nor an upstream proxy needs a restart";

    EXPECT_TRUE(Eventually([&] { return ThroughProxy("/secret.html") == "403"; }, kLastModHoldOffMs + kLiveSlackMs));
    // Each try asks for a URL the proxy has not cached yet; Squid logs it.
    int tries = 0;
    auto throughSquid = [&] {
        std::string path = "/far.html?try=" + std::to_string(++tries);
        return ThroughProxy(path) == "200" &&
               bench::ReadFile(folder + "/access.log").find("GET " + Url(path)) != std::string::npos;
    };
    EXPECT_TRUE(Eventually(throughSquid, kLastModHoldOffMs + kLiveSlackMs)) << bench::ReadFile(folder + "/access.log");
    EXPECT_EQ(Curl("/open.html"), 0) << "the server still serves";
    window.accept();
}

TEST_F(LiveProxyChatPagesTest, ARoomAddedOnTheChatRoomsPageServesItsJoinPageAfterTheRestart)
{
    if (IsSkipped())
        return;
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return Curl("/open.html") == 0; }, 10000));

    const std::uint16_t roomPort = e2e::FreePort();
    runner.steps.push_back([](QDialog& sheet) {
        QTest::mouseClick(Control<QPushButton>(sheet, 1063), Qt::LeftButton);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        auto& chat = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(chat.windowTitle(), "Global ChatRoom Settings");
        Click(*chat.GetActivePage(), 1139);
        EXPECT_EQ(Lines(Control<QListWidget>(*chat.GetActivePage(), 1012)),
                  (std::vector<std::string>{"Garden", "Lobby"}));
        QTest::mouseClick(chat.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([&](QDialog& dialog) {
        auto& room = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(room.windowTitle(), "ChatRoom Settings");
        Retype(Control<QLineEdit>(dialog, 1000), QString::number(roomPort));
        Retype(Control<QLineEdit>(dialog, 1011), "Garden");
        Retype(Control<QLineEdit>(dialog, 1012), "Among the roses.");
        QTest::mouseClick(room.OkButton(), Qt::LeftButton);
    });
    boxes.answers.push_back(kIdYes);
    QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "For the changes you have made to take effect, all services will have to be "
                                   "restarted.  Existing connections will be terminated.  Do you want to restart "
                                   "the server now?");

    e2e::RunResult join;
    EXPECT_TRUE(Eventually(
        [&] {
            join = e2e::RunProgram(
                {"curl", "-sf", "--max-time", "10", "http://127.0.0.1:" + std::to_string(roomPort) + "/Join"},
                m_dir / "join.out");
            return join.exitCode == 0;
        },
        20000))
        << "the room listens on " << roomPort;
    EXPECT_NE(join.output.find("<H1>Garden</H1>Among the roses."), std::string::npos) << join.output;
    EXPECT_EQ(Curl("/open.html"), 0) << "the server still serves";
    window.accept();
}

} // namespace
