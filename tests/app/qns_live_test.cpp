// End to end: a QNS entry added through the settings sheet reaches a
// server running in another process, without a restart, once that
// process's change stamp looks again: the access log names the client by
// the entry's host name.

#include "app/kit/control_lookup.h"
#include "app/settings_sheet.h"
#include "app_fixture.h"
#include "app_hive.h"
#include "eventually.h"
#include "config/last_mod_stamp.h"
#include "platform/clock.h"

#include <QTabWidget>

#include <random>

namespace {

class QNSLiveTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
        if (IsSkipped())
            return;
        // The log names a client only when the server asks for names.
        Key("HTTP\\Servers\\" + std::to_string(m_port) + ":127.0.0.1").SetDword("UseDNS", 1);
        // A loopback address of this run's own, so no other test's line matches.
        std::mt19937 pick(static_cast<unsigned>(platform::MonotonicMs()));
        m_client = "127.0." + std::to_string(1 + pick() % 250) + "." + std::to_string(2 + pick() % 250);
    }
    void TearDown() override
    {
        if (m_server.IsRunning())
            m_server.KillAndReap();
        AppHiveTest::TearDown();
    }

    // A GET from the client address; curl's exit code.
    int CurlFromClient()
    {
        return e2e::RunProgram({"curl", "-sf", "--max-time", "10", "--interface", m_client, "-o", "/dev/null",
                                "http://127.0.0.1:" + std::to_string(m_port) + "/"},
                               m_dir / "client.out")
            .exitCode;
    }
    // The access log's lines that start with who.
    int LinesFrom(const std::string& who)
    {
        std::istringstream log(e2e::ReadFile(m_dir / "log/access.log"));
        int count = 0;
        for (std::string line; std::getline(log, line);)
            count += line.rfind(who + " ", 0) == 0 ? 1 : 0;
        return count;
    }

    platform::ChildProcess m_server;
    std::string m_client;
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

TEST_F(QNSLiveTest, AnEntryAddedOnThePageNamesTheClientInTheRunningServersLogWithinTheHoldOff)
{
    const std::string host = "qns-live.tessaline.example";
    // The real program serves the hive from a process of its own.
    StartApplication(m_server);
    ASSERT_TRUE(Serving(m_server));
    ASSERT_EQ(CurlFromClient(), 0);
    // The line follows the reply, so it may come a moment after curl ends.
    EXPECT_TRUE(Eventually([&] { return LinesFrom(m_client) == 1; }, 5000))
        << "before the entry the log shows the address\n" << e2e::ReadFile(m_dir / "log/access.log");

    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    CPropertySheetPlus& sheet = settings.Sheet();
    runner.steps.push_back([&](QDialog&) {
        for (int i = 0; i < sheet.GetPageCount(); ++i)
            if (sheet.GetPage(i)->Title() == "QNS")
                sheet.Tabs()->setCurrentIndex(i);
        QApplication::processEvents();
        QTest::mouseClick(FindControl<QPushButton>(&sheet, 1149), Qt::LeftButton);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([&](QDialog& dialog) {
        Retype(FindControl<QLineEdit>(&dialog, 1042), QString::fromStdString(m_client));
        Retype(FindControl<QLineEdit>(&dialog, 1105), QString::fromStdString(host));
        QTest::mouseClick(FindControl<QPushButton>(&dialog, 1), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 0) << "a QNS entry needs no restart";
    ASSERT_TRUE(boxes.shown.empty()) << boxes.shown[0].text;
    const std::uint64_t saved = platform::MonotonicMs();

    // The server's stamp looks again within one hold-off; each request may
    // add a reverse look-up of its own before the log line is written.
    bool named = false;
    std::uint64_t seenAfter = 0;
    while (!named && platform::MonotonicMs() - saved < kLastModHoldOffMs + 2 * kLiveSlackMs) {
        ASSERT_EQ(CurlFromClient(), 0);
        named = LinesFrom(host) > 0;
        seenAfter = platform::MonotonicMs() - saved;
        if (!named)
            platform::SleepMs(250);
    }
    EXPECT_TRUE(named) << e2e::ReadFile(m_dir / "log/access.log");
    EXPECT_LE(seenAfter, kLastModHoldOffMs + kLiveSlackMs) << "named " << seenAfter << " ms after the save";
    EXPECT_TRUE(m_server.IsRunning() && !m_server.TryReap()) << "no restart";
    EXPECT_EQ(Curl(), 0) << "the server still serves";
}

} // namespace
