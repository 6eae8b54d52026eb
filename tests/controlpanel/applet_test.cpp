// The applet library as a control panel sees it (loaded with dlopen here and
// by the real host velmora-cpl), and the applet's settings sheet: its page
// list on each kind of machine and the restart offer after OK.

#include "app/page_harness.h"
#include "app/settings_sheet.h"
#include "config/config_fixture.h"
#include "controlpanel/applet_sheet.h"
#include "controlpanel/cpl_applet.h"
#include "controlpanel/odbc_page.h"
#include "controlpanel/service_page.h"
#include "e2e/e2e_server.h"
#include "service/service_process.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string BinDir()
{
    const char* dir = std::getenv("VELMORA_TEST_BIN_DIR");
    return dir ? dir : ".";
}

class AppletTest : public ConfigTest {
protected:
    std::uint32_t LastMod()
    {
        std::uint32_t value = 0;
        platform::RegistryKey product;
        if (platform::RegistryKey::LocalMachine().Open(kProductKeyPath, product) == platform::kErrorSuccess)
            product.QueryDword(kLastModValueName, value);
        return value;
    }
};

TEST_F(AppletTest, TheLibraryExportsOneEntryThatAnswersEachMessageAsDesigned)
{
    e2e::RunResult exports = e2e::RunProgram({"nm", "-D", "--defined-only", VELMORA_APPLET_LIBRARY}, m_dir / "nm.out");
    ASSERT_EQ(exports.exitCode, 0);
    std::vector<std::string> names;
    std::istringstream lines(exports.output);
    for (std::string address, kind, name; lines >> address >> kind >> name;)
        names.push_back(name);
    EXPECT_EQ(names, std::vector<std::string>{"CPlApplet"});

    for (int load = 0; load < 2; ++load) {
        SCOPED_TRACE(load);
        std::uint32_t before = LastMod();
        void* library = ::dlopen(VELMORA_APPLET_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        EXPECT_NE(LastMod(), before) << "every load of the library marks a change";
        auto applet = reinterpret_cast<APPLET_PROC>(::dlsym(library, CPL_APPLET_ENTRY));
        ASSERT_NE(applet, nullptr);

        const std::pair<std::uint32_t, intptr_t> answers[] = {
            {CPL_INIT, 1}, {CPL_GETCOUNT, 1}, {CPL_INQUIRE, 0}, {CPL_SELECT, 0}, {CPL_STOP, 0}, {99, 0}};
        for (auto [message, answer] : answers)
            EXPECT_EQ(applet(nullptr, message, 0, 0), answer) << "message " << message;

        NEWCPLINFO info;
        std::memset(&info, 0xAB, sizeof info);
        EXPECT_EQ(applet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0);
        EXPECT_EQ(info.dwSize, sizeof(NEWCPLINFO));
        EXPECT_EQ(info.dwFlags | info.dwHelpContext, 0u);
        EXPECT_EQ(info.lData, 0);
        EXPECT_EQ(info.iconId, 138u);
        EXPECT_STREQ(info.szName, "Velmora");
        EXPECT_STREQ(info.szInfo, "Configure Web Server");
        EXPECT_STREQ(info.szHelpFile, "");
        EXPECT_EQ(applet(nullptr, CPL_EXIT, 0, 0), 0);
        ASSERT_EQ(::dlclose(library), 0);
    }

    struct HostCase {
        std::vector<std::string> args;
        int exitCode;
        const char* output;
    };
    const std::string host = BinDir() + "/controlpanel/velmora-cpl";
    const HostCase hosts[] = {
        {{host, "-l", VELMORA_APPLET_LIBRARY}, 0, "Velmora\tConfigure Web Server\n"},
        {{host, "-l"}, 0, "Velmora\tConfigure Web Server\n"},
        {{host, "-l", BinDir() + "/tools/velmora-reg"}, 1, ""},
    };
    for (const HostCase& c : hosts) {
        SCOPED_TRACE(c.args.back());
        e2e::RunResult run = e2e::RunProgram(c.args, m_dir / "host.out");
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (c.exitCode == 0) {
            EXPECT_EQ(run.output, c.output);
        }
    }
}

TEST_F(AppletTest, TheSheetHoldsTheServicePageEverywhereAndODBCOnlyLocally)
{
    struct Case {
        const char* machine;
        std::vector<std::string> tail; // the pages from Macros on
    };
    const Case cases[] = {
        {"", {"Macros", "Service", "ODBC", "Remote", "About"}},
        {"far", {"Macros", "Service", "About"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machine);
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine(), c.machine);
        settings.Load();
        AddAppletPages(settings);
        CPropertySheetPlus& sheet = settings.Sheet();
        std::vector<std::string> titles;
        for (int i = 0; i < sheet.GetPageCount(); ++i)
            titles.push_back(sheet.GetPage(i)->Title().toStdString());
        auto macros = std::find(titles.begin(), titles.end(), "Macros");
        ASSERT_NE(macros, titles.end());
        EXPECT_EQ(std::vector<std::string>(macros, titles.end()), c.tail);
        EXPECT_NE(dynamic_cast<CServicePage*>(sheet.GetPage(static_cast<int>(macros - titles.begin()) + 1)), nullptr);
    }
}

TEST_F(AppletTest, OnlyAnOkThatNeedsARestartOffersOneAndAFailedRestartSaysSo)
{
    struct Case {
        const char* what;
        bool ok;
        bool restart;
        std::deque<int> answers;
        std::vector<unsigned> asked; // help ids of the boxes shown
    };
    // The service is not installed here, so a restart cannot succeed.
    const Case cases[] = {
        {"cancel", false, true, {}, {}},
        {"ok without a restart", true, false, {}, {}},
        {"restart declined", true, true, {kIdNo}, {kRestartPromptId}},
        {"restart that fails", true, true, {kIdYes}, {kRestartPromptId, kRestartFailedId}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedMessageBoxes boxes;
        boxes.answers = c.answers;
        ScriptedRunner runner;
        runner.steps.push_back([&c](QDialog& dialog) {
            auto& sheet = dynamic_cast<CPropertySheetPlus&>(dialog);
            sheet.m_bRestart = c.restart ? 1 : 0;
            if (c.ok)
                QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
            else
                QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
            EXPECT_EQ(sheet.result() == QDialog::Accepted, c.ok);
        });
        RunAppletSettings(nullptr);
        EXPECT_EQ(runner.runs, 1);
        std::vector<unsigned> asked;
        for (const ShownMessage& shown : boxes.shown)
            asked.push_back(shown.helpId);
        EXPECT_EQ(asked, c.asked);
    }
}

// The titles of every nested sheet a person opens from the Servers page
// (global HTTP and one server, global chat and one room, the proxy), each
// line "sheet: title,title,...", with run opening the settings sheet.
std::vector<std::string> NestedSheetTitles(const std::function<void()>& run)
{
    std::vector<std::string> seen;
    auto record = [&seen](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        std::string line = sheet.windowTitle().toStdString() + ":";
        for (const std::string& title : TabTitles(sheet))
            line += " " + title;
        seen.push_back(line);
        return &sheet;
    };
    // The sheet a list's first line opens, as Edit on it does.
    auto editFirst = [](CPropertySheetPlus& sheet, int list, int edit) {
        auto* lines = Control<QListWidget>(*sheet.GetActivePage(), list);
        ASSERT_TRUE(lines && lines->count() > 0);
        lines->setCurrentRow(0);
        Click(*sheet.GetActivePage(), edit);
    };
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    runner.steps.push_back([](QDialog& dialog) {
        for (int button : {1062, 1063, 1064})
            Click(dialog, button);
        static_cast<CPropertySheetPlus&>(dialog).CancelButton()->click();
    });
    for (auto [list, edit] : {std::pair{1049, 1144}, {1012, 1140}}) {
        runner.steps.push_back([&, list, edit](QDialog& dialog) {
            CPropertySheetPlus* sheet = record(dialog);
            editFirst(*sheet, list, edit);
            sheet->CancelButton()->click();
        });
        runner.steps.push_back([&](QDialog& dialog) { record(dialog)->CancelButton()->click(); });
    }
    runner.steps.push_back([&](QDialog& dialog) { record(dialog)->CancelButton()->click(); });
    run();
    EXPECT_EQ(runner.unscripted, 0);
    EXPECT_TRUE(boxes.shown.empty());
    return seen;
}

// The applet's variant differs from the application's only in its top-level
// pages: every nested sheet has the same pages, Strings among them.
TEST_F(AppletTest, TheNestedSheetsHoldTheSamePagesAsTheApplicationsWithStrings)
{
    AddLoopbackServer(m_product, 8123, (m_dir / "www"));
    platform::RegistryKey room;
    ASSERT_EQ(m_product.Create("ChatRoom\\Rooms\\Lobby", room), platform::kErrorSuccess);
    room.SetString("Name", "Lobby");
    room.SetDword("Port", 8124);

    // The applet first: the application's run must not lend it the strings.
    const std::vector<std::string> applet = NestedSheetTitles([] { RunAppletSettings(nullptr); });
    ASSERT_EQ(applet.size(), 5u);
    for (const std::string& sheet : applet)
        EXPECT_NE(sheet.find(" Strings"), std::string::npos) << sheet;
    EXPECT_EQ(applet, NestedSheetTitles([] { RunSettingsSheet(nullptr, platform::RegistryKey::LocalMachine(), nullptr); }));
}

} // namespace

namespace {

// The real host on an X server: the double click opens the applet's sheet
// in the host's process, Escape cancels it, and the host stops, exits and
// unloads the applet cleanly.
TEST_F(AppletTest, TheHostOpensTheSheetOnADoubleClickAndEndsCleanly)
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!std::getenv("DISPLAY") || !platform || std::string_view(platform) != "xcb" ||
        ::access("/usr/bin/xdotool", X_OK) != 0)
        GTEST_SKIP() << "needs an X server and xdotool (the x11. test list runs it under Xvfb)";
    std::string host = BinDir() + "/controlpanel/velmora-cpl";
    char* argv[] = {host.data(), nullptr};
    // Under the sanitizers: the X session's D-Bus library keeps a block to the end.
    e2e::WriteFile(m_dir / "lsan.supp", "leak:libdbus-1.so\n");
    ::setenv("LSAN_OPTIONS", ("suppressions=" + (m_dir / "lsan.supp")).c_str(), 1);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, argv[0], nullptr, nullptr, argv, environ), 0);
    ::unsetenv("LSAN_OPTIONS");

    e2e::RunResult found = e2e::RunProgram(
        {"timeout", "30", "xdotool", "search", "--sync", "--onlyvisible", "--name", "^Server Settings$"},
        m_dir / "xdotool.out");
    EXPECT_EQ(found.exitCode, 0) << "the sheet did not open";
    std::string window = found.output.substr(0, found.output.find('\n'));
    if (!window.empty())
        e2e::RunProgram({"xdotool", "key", "--window", window, "Escape"}, m_dir / "key.out");

    int status = -1;
    const std::uint64_t end = platform::MonotonicMs() + 20000;
    while (::waitpid(child, &status, WNOHANG) == 0 && platform::MonotonicMs() < end)
        ::usleep(50 * 1000);
    if (platform::MonotonicMs() >= end) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the host did not end after Cancel";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

} // namespace
