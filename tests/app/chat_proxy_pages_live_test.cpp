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

const char* const kRestartQuestion = "For the changes you have made to take effect, all services will have to be "
                                     "restarted.  Existing connections will be terminated.  Do you want to restart "
                                     "the server now?";

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
        std::uint32_t port = 0;
        ASSERT_EQ(proxy.QueryDword("Port", port), platform::kErrorSuccess);
        m_proxyPort = static_cast<std::uint16_t>(port);
    }

    // curl's status code for a GET of url through our proxy ("" when
    // nothing answered).
    std::string ThroughProxy(const std::string& url)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "-o", "/dev/null", "-w", "%{http_code}", "-x",
                                "http://127.0.0.1:" + std::to_string(m_proxyPort), url},
                               m_dir / "proxy.out")
            .output;
    }
    std::string Document(const char* name) { return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name; }

    // Opens the settings sheet, the proxy sheet in it, works the proxy
    // sheet with work, and accepts both.
    void EditProxy(ScriptedRunner& runner, CMainDialog& window, const std::function<void(CPropertySheetPlus&)>& work)
    {
        runner.steps.push_back([](QDialog& sheet) {
            QTest::mouseClick(Control<QPushButton>(sheet, 1064), Qt::LeftButton);
            QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
        });
        runner.steps.push_back([work](QDialog& dialog) {
            auto& proxy = static_cast<CPropertySheetPlus&>(dialog);
            EXPECT_EQ(proxy.windowTitle(), "HTTP Proxy Settings");
            work(proxy);
            QTest::mouseClick(proxy.OkButton(), Qt::LeftButton);
        });
        QTest::mouseClick(window.SettingsButton(), Qt::LeftButton);
    }

    std::uint16_t m_proxyPort = 0;
};

TEST_F(LiveProxyChatPagesTest, ABarredMaskAddedOnThePageRefusesItsURLWithoutARestart)
{
    if (IsSkipped())
        return;
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return ThroughProxy(Document("secret.html")) == "200"; }, 10000));

    const std::string mask = "http://127.0.0.1:" + std::to_string(m_port) + "/secret*";
    EditProxy(runner, window, [&](CPropertySheetPlus& proxy) {
        ClickTab(proxy, "Barred URLs");
        runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(dialog.windowTitle(), "URL Mask");
            Retype(Control<QLineEdit>(dialog, 1060), QString::fromStdString(mask));
            OkOrElseCancel(dialog);
        });
        Click(*proxy.GetActivePage(), 1155);
        EXPECT_EQ(Lines(Control<QListWidget>(*proxy.GetActivePage(), 1059)), std::vector<std::string>{mask});
    });
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty()) << "a URL list needs no restart";

    EXPECT_TRUE(Eventually([&] { return ThroughProxy(Document("secret.html")) == "403"; },
                           kLastModHoldOffMs + kLiveSlackMs));
    EXPECT_EQ(ThroughProxy(Document("open.html")), "200") << "other URLs still pass";
    EXPECT_EQ(Curl("/open.html"), 0) << "the server still serves";
    window.accept();
}

TEST_F(LiveProxyChatPagesTest, ACascadeHostSetOnThePageSendsRequestsThroughSquid)
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
    bench::WriteFile(folder + "/squid.conf", "http_port 127.0.0.1:" + std::to_string(squidPort) + "\n" +
                                                 "pid_filename " + folder + "/squid.pid\n" +
                                                 "access_log stdio:" + folder + "/access.log\n" +
                                                 "cache_log " + folder + "/cache.log\n" +
                                                 "cache_store_log none\n"
                                                 "cache deny all\n"
                                                 "coredump_dir " + folder + "\n" +
                                                 "pinger_enable off\n"
                                                 "shutdown_lifetime 0 seconds\n"
                                                 "strip_query_terms off\n"
                                                 "http_access allow localhost\n"
                                                 "http_access deny all\n");
    bench::Peer squidPeer;
    std::string error = squidPeer.Start({squid, "-N", "-f", folder + "/squid.conf"}, folder + "/stdout.log", squidPort);
    ASSERT_TRUE(error.empty()) << error << bench::ReadFile(folder + "/cache.log");

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CMainDialog window(false);
    window.show();
    window.Start();
    ASSERT_TRUE(Eventually([&] { return ThroughProxy(Document("open.html")) == "200"; }, 10000));

    EditProxy(runner, window, [&](CPropertySheetPlus& proxy) {
        ClickTab(proxy, "Cascade");
        Retype(Control<QLineEdit>(*proxy.GetActivePage(), 1047), "127.0.0.1");
        Retype(Control<QLineEdit>(*proxy.GetActivePage(), 1000), QString::number(squidPort));
    });
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty()) << "an upstream proxy needs no restart";

    // Each try asks for a URL the proxy has not cached yet.
    int tries = 0;
    std::string asked;
    auto throughSquid = [&] {
        asked = Document("far.html") + "?try=" + std::to_string(++tries);
        if (ThroughProxy(asked) != "200")
            return false;
        return bench::ReadFile(folder + "/access.log").find("GET " + asked) != std::string::npos;
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
    EXPECT_EQ(boxes.shown[0].text, kRestartQuestion);

    auto join = [&] {
        return e2e::RunProgram({"curl", "-sf", "--max-time", "10",
                                "http://127.0.0.1:" + std::to_string(roomPort) + "/Join"},
                               m_dir / "join.out");
    };
    EXPECT_TRUE(Eventually([&] { return join().exitCode == 0; }, 20000)) << "the room listens on " << roomPort;
    e2e::RunResult page = join();
    EXPECT_NE(page.output.find("<H1>Garden</H1>Among the roses."), std::string::npos) << page.output;
    EXPECT_EQ(Curl("/open.html"), 0) << "the server still serves";
    window.accept();
}

} // namespace
