// The MIME Types page of the Global HTTP Settings sheet against a running
// server, end to end: a mapping added through the page's widgets and saved
// by the sheets' OKs makes the real velmora program, which keeps running,
// send a file of that extension with that Content-Type, within the change
// stamp's hold-off.

#include "app/settings_sheet.h"
#include "app_hive.h"
#include "config/http_server_config.h"
#include "eventually.h"
#include "page_harness.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <filesystem>

namespace {

// A reload through the stamp may land just after the hold-off; curl and
// the poll add their own share.
constexpr std::uint64_t kServeSlackMs = 3000;

class MimeTypesLiveTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_www = UseDocumentFolder({{"tune.vlm", "a velmora tune"}});
    }
    // The Content-Type curl is sent for path ("" when none came).
    std::string ContentType(const std::string& path)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "-o", "/dev/null", "-w", "%{content_type}",
                                "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "type.out")
            .output;
    }
    std::string m_www;
};

TEST_F(MimeTypesLiveTest, AMappingAddedInTheGlobalSheetIsServedWithoutARestart)
{
    if (IsSkipped())
        return;
    platform::ChildProcess server;
    StartApplication(server);
    ASSERT_TRUE(Eventually([&] { return Curl("/tune.vlm") == 0 || server.TryReap(); }, 20000) && server.IsRunning());
    ASSERT_NE(ContentType("/tune.vlm"), "application/x-velmora");

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    runner.steps.push_back([](QDialog& sheet) {
        QTest::mouseClick(Control<QPushButton>(sheet, 1062), Qt::LeftButton);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        auto& nested = static_cast<CPropertySheetPlus&>(dialog);
        EXPECT_EQ(nested.windowTitle(), "Global HTTP Settings");
        QTabBar* bar = nested.Tabs()->tabBar();
        for (int i = 0; i < bar->count(); ++i)
            if (bar->tabText(i) == QLatin1String("MIME Types"))
                QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(i).center());
        QApplication::processEvents();
        ASSERT_EQ(nested.GetActivePage()->Title(), "MIME Types");
        Click(*nested.GetActivePage(), 1166);
        QTest::mouseClick(nested.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        Retype(Control<QLineEdit>(dialog, 1017), "VLM");
        Retype(Control<QLineEdit>(dialog, 1018), "application/x-velmora");
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 0) << "a new mapping needs no restart";
    const std::uint64_t saved = platform::MonotonicMs();
    EXPECT_EQ(runner.runs, 3);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty());

    EXPECT_TRUE(Eventually([&] { return ContentType("/tune.vlm") == "application/x-velmora"; },
                           kLastModHoldOffMs + kServeSlackMs))
        << ContentType("/tune.vlm");
    const std::uint64_t served = platform::MonotonicMs() - saved;
    std::printf("the new type was served %llu ms after OK\n", static_cast<unsigned long long>(served));
    EXPECT_LE(served, kLastModHoldOffMs + kServeSlackMs);
    EXPECT_TRUE(server.IsRunning() && !server.TryReap()) << "the server was not restarted";
    EXPECT_EQ(Curl("/tune.vlm"), 0) << "the server still serves";
    server.KillAndReap();
}

} // namespace
