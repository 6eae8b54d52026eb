// The access-control editors against a running server, end to end: the
// real velmora program serves the seeded configuration from a folder of
// the test's own; the page and its dialogs are worked in this process on
// the settings sheet's working objects and saved by the sheet's own OK.
// The running server must honour each edit without a restart, within the
// change stamp's hold-off, and still serve what the edit allows.

#include "acl_test_support.h"
#include "app/settings_sheet.h"
#include "app/shared/access_control_page.h"
#include "app_hive.h"
#include "config/http_server_config.h"
#include "platform/clock.h"
#include "platform/process.h"

#include <QListWidget>

#include <filesystem>

namespace {

// A save reaches the server once its stamp reads LastMod again, which it
// does at most once per hold-off; the margin covers the request itself.
constexpr std::uint64_t kHonouredWithinMs = kLastModHoldOffMs + kLiveSlackMs;

class AccessControlLiveTest : public AppHiveTest {
protected:
    void SetUp() override
    {
        AppHiveTest::SetUp();
        SeedForCurl();
        if (IsSkipped() || HasFatalFailure())
            return;
        m_www = UseDocumentFolder({{"doc.txt", "guarded"}, {"other.txt", "open"}});

        StartApplication(m_server);
        if (HasFatalFailure())
            return;
        ASSERT_LE(WaitForStatus("GET", "/doc.txt", "200", 20000), 20000) << "the server never served";
    }
    void TearDown() override
    {
        if (m_server.IsRunning())
            m_server.KillAndReap();
        AppHiveTest::TearDown();
    }

    // The status curl gets, as text ("000" when nothing answered).
    std::string Status(const char* method, const std::string& path)
    {
        std::vector<std::string> args = {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "10"};
        if (std::string(method) == "HEAD")
            args.push_back("-I");
        args.push_back("http://127.0.0.1:" + std::to_string(m_port) + path);
        return e2e::RunProgram(args, m_dir / "status.out").output;
    }
    // Milliseconds until the status was seen; above limitMs when never.
    std::uint64_t WaitForStatus(const char* method, const std::string& path, const char* status,
                                std::uint64_t limitMs = kHonouredWithinMs)
    {
        const std::uint64_t start = platform::MonotonicMs();
        for (;;) {
            const std::uint64_t elapsed = platform::MonotonicMs() - start;
            if (Status(method, path) == status)
                return elapsed;
            if (elapsed > limitMs || !m_server.IsRunning() || m_server.TryReap())
                return limitMs + 1;
            platform::SleepMs(200);
        }
    }

    // The settings sheet as the main window builds it, with the server's
    // Access Control page on it; sheetStep works the sheet.
    void RunSettingsSheetWith(ScriptedRunner& runner, ScriptedRunner::Step sheetStep)
    {
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        CHTTPServerConfig* server = settings.Work().http.GetServers().FindByPortAddress(m_port, kSeededServerAddress);
        ASSERT_NE(server, nullptr);
        settings.Sheet().AddPage(MakeAccessControlPage(*server));
        runner.steps.push_front(std::move(sheetStep));
        settings.Run();
        EXPECT_EQ(runner.unscripted, 0);
    }

    std::string m_www;
    platform::ChildProcess m_server;
};

TEST_F(AccessControlLiveTest, ARejectLineSavedByTheSheetRefusesTheRunningServer)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    RunSettingsSheetWith(runner, [&](QDialog& sheet) {
        runner.steps.push_back([&](QDialog& edit) {
            // Allow everything, then (inserted before it) refuse GET from here.
            runner.steps.push_back([](QDialog& f) { FillFilter(f, {"Allow", "user", "*", "*", "*"}); });
            ClickControl(edit, 1158);
            runner.steps.push_back([](QDialog& f) { FillFilter(f, {"Reject", "user", "*", "GET", "127.0.0.1"}); });
            ClickControl(edit, 1158);
            EXPECT_EQ(ListLines(edit, 1037),
                      (std::vector<std::string>{"Reject-user: GET,*,127.0.0.1", "Allow-user: *,*,*"}));
            ClickControl(edit, 1);
        });
        ClickControl(sheet, 1161);
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).OkButton(), Qt::LeftButton);
    });
    EXPECT_TRUE(boxes.shown.empty());
    std::uint64_t took = WaitForStatus("GET", "/doc.txt", "401");
    EXPECT_LE(took, kHonouredWithinMs) << "the running server never refused";
    std::printf("refused after %llu ms\n", static_cast<unsigned long long>(took));
    EXPECT_EQ(Status("HEAD", "/doc.txt"), "200") << "what the list allows is still served";
    EXPECT_TRUE(m_server.IsRunning() && !m_server.TryReap()) << "no restart";
}

TEST_F(AccessControlLiveTest, AnAccessListFileWrittenByFileACLsIsHonouredAtOnce)
{
    // The server has looked for the file and remembered that there is none.
    ASSERT_EQ(Status("GET", "/doc.txt"), "200");
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    RunSettingsSheetWith(runner, [&](QDialog& sheet) {
        runner.steps.push_back([&](QDialog& files) {
            auto* combo = FindControl<CSimpleCombo>(&files, 1044);
            auto found = combo->List()->findItems(QStringLiteral("/doc.txt"), Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1);
            combo->SetCurrentIndex(combo->List()->row(found[0]));
            runner.steps.push_back([&](QDialog& edit) {
                runner.steps.push_back([](QDialog& f) { FillFilter(f, {"Reject", "user", "*", "GET", "*"}); });
                ClickControl(edit, 1158);
                ClickControl(edit, 1);
            });
            ClickControl(files, 1169);
            ClickControl(files, 1);
        });
        ClickControl(sheet, 1162);
        // The file does not wait for the sheet: Cancel keeps it.
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(sheet).CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(e2e::ReadFile(m_www + "/doc.txt.~ACL~"), "Reject-user: GET,*,*\r\n");
    std::uint64_t took = WaitForStatus("GET", "/doc.txt", "401");
    EXPECT_LE(took, kHonouredWithinMs) << "the running server never read the new file";
    std::printf("refused after %llu ms\n", static_cast<unsigned long long>(took));
    EXPECT_EQ(Status("GET", "/other.txt"), "200") << "the other documents are still served";
    EXPECT_TRUE(m_server.IsRunning() && !m_server.TryReap()) << "no restart";
}

} // namespace
