// A virtual path, a redirection and a CGI extension added through the
// Global HTTP Settings sheet's pages (through their widgets, then OK on both
// sheets) are served by the running velmora program without a restart,
// within the change stamp's hold-off. The CGI mapping is added without
// touching its protocol or check box: it must run for a plain GET.

#include "app/settings_sheet.h"
#include "app_hive.h"
#include "config/http_server_config.h"
#include "eventually.h"
#include "page_harness.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

// A reload through the stamp may land just after the hold-off; curl and
// the poll add their own share.
constexpr std::uint64_t kServeSlackMs = 3000;

ScriptedRunner::Step Type(std::vector<std::pair<int, std::string>> edits)
{
    return [=](QDialog& dialog) {
        for (const auto& [id, text] : edits)
            Retype(Control<QLineEdit>(dialog, id), QString::fromStdString(text));
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << dialog.windowTitle().toStdString();
    };
}

class LiveHttpPathsTest : public AppHiveTest {
protected:
    // Status code, redirect URL and body as curl sees them.
    std::string Get(const std::string& path)
    {
        return e2e::RunProgram({"curl", "-s", "--max-time", "10", "-w", " %{http_code} %{redirect_url}",
                                "http://127.0.0.1:" + std::to_string(m_port) + path},
                               m_dir / "get.out")
            .output;
    }
    std::string URL(const std::string& path) { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
};

TEST_F(LiveHttpPathsTest, PathRedirectionAndCGIAddedInTheGlobalSheetAreServedWithoutARestart)
{
    SeedForCurl();
    if (IsSkipped())
        return;
    const std::string www = UseDocumentFolder(
        {{"kept.txt", "kept"}, {"hi.vsh", "printf 'Content-type: text/plain\\n\\n'\nprintf 'ran as CGI'\n"}});
    const std::string papers = m_dir / "papers";
    std::filesystem::create_directories(papers);
    e2e::WriteFile(papers + "/note.txt", "a note");

    platform::ChildProcess server;
    StartApplication(server);
    ASSERT_TRUE(Eventually([&] { return Curl("/kept.txt") == 0 || server.TryReap(); }, 20000) &&
                server.IsRunning());
    ASSERT_TRUE(Get("/papers/note.txt").ends_with(" 404 "));
    ASSERT_FALSE(Get("/hi.vsh").ends_with("ran as CGI 200 ")) << "unmapped, the script is a document";

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    runner.steps.push_back([&](QDialog& sheet) {
        Click(sheet, 1062);
        QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back([](QDialog& dialog) {
        auto& nested = static_cast<CPropertySheetPlus&>(dialog);
        ASSERT_EQ(nested.windowTitle(), "Global HTTP Settings");
        const std::pair<const char*, int> pages[] = {
            {"Virtual Paths", 1185}, {"Redirections", 1152}, {"CGI Extensions", 1136}};
        for (const auto& [tab, newButton] : pages) {
            ClickTab(nested, tab);
            Click(*nested.GetActivePage(), newButton);
        }
        QTest::mouseClick(nested.OkButton(), Qt::LeftButton);
    });
    runner.steps.push_back(Type({{1024, "Papers"}, {1025, papers}}));
    runner.steps.push_back(Type({{1064, "/Gone.htm"}, {1065, "/kept.txt"}}));
    runner.steps.push_back(Type({{1017, "VSH"}, {1094, "/bin/sh %cgi-script%"}}));
    EXPECT_EQ(settings.Run(), 0) << "no restart is asked for";
    const std::uint64_t saved = platform::MonotonicMs();
    EXPECT_EQ(runner.runs, 5);
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty());

    const std::pair<std::string, std::string> served[] = {
        {"/papers/note.txt", "a note 200 "},
        {"/gone.htm", " 302 " + URL("/kept.txt")},
        {"/hi.vsh", "ran as CGI 200 "},
    };
    for (const auto& [path, expected] : served) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(Eventually([&] { return Get(path).ends_with(expected); }, kLastModHoldOffMs + kServeSlackMs))
            << Get(path);
    }
    const std::uint64_t took = platform::MonotonicMs() - saved;
    std::printf("all three were served %llu ms after OK\n", static_cast<unsigned long long>(took));
    EXPECT_LE(took, kLastModHoldOffMs + kServeSlackMs);
    EXPECT_TRUE(server.IsRunning() && !server.TryReap()) << "the server was not restarted";
    EXPECT_EQ(Curl("/kept.txt"), 0) << "the server still serves";
    server.KillAndReap();
}

} // namespace
