// The Remote page against a real sshd and a second velmorad on a hive of
// its own, both started here on loopback: a user added in the remote sheet
// reaches the far hive and its running server (curl logs in with it, no
// restart asked), and a change that needs a restart asks and restarts the
// far service through the same channel (a new process that still serves).
// sshd must log root in, so without root the test is skipped.

#include "remote_live.h"

#include "app/shared/service_watcher.h"
#include "app/window_wait.h"
#include "config/last_mod_stamp.h"
#include "config/registry_helpers.h"
#include "macro/extension_libraries.h"

#include <QLabel>
#include <QListWidget>
#include <QPointer>

#include <iostream>

namespace {

// The Service page of a far sheet, shown: its Start and Stop buttons.
void SetWorkers(CPropertySheetPlus& sheet, const char* workers)
{
    ClickTab(sheet, "Performance");
    Retype(Control<QLineEdit>(*sheet.GetActivePage(), 1126), workers);
}

std::pair<QPushButton*, QPushButton*> ShowServicePage(CPropertySheetPlus& sheet)
{
    ClickTab(sheet, "Service");
    QWidget& page = *sheet.GetActivePage();
    return {Control<QPushButton>(page, 1163), Control<QPushButton>(page, 1164)};
}

TEST_F(RemoteLiveTest, TheFarSheetChangesTheFarServerAndItsRestartRestartsIt)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    ASSERT_EQ(Status("/private/", "carol:Tulip7"), "401");
    const platform::ServiceStatus before = FarService();
    ASSERT_EQ(before.currentState, platform::kServiceRunning);

    // A new user needs no restart: nothing is asked, the far server takes it.
    std::vector<std::string> asked = Connect(
        [](CPropertySheetPlus& sheet) {
            ClickTab(sheet, "Users");
            Click(*sheet.GetActivePage(), 1181);
        },
        {[](QDialog& dialog) {
            Retype(Control<QLineEdit>(dialog, 1033), "Carol");
            Retype(Control<QLineEdit>(dialog, 1032), "Tulip7");
            Retype(Control<QLineEdit>(dialog, 1034), "Tulip7");
            QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        }},
        {});
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(Eventually([&] { return Status("/private/", "carol:Tulip7") == "200"; },
                           kLastModHoldOffMs + kLiveSlackMs));
    EXPECT_EQ(FarService().processId, before.processId) << "the far server was not restarted";

    // New worker counts need a restart: asked, and done through the channel.
    asked = Connect(
        [](CPropertySheetPlus& sheet) { SetWorkers(sheet, "6"); },
        {}, {kIdYes});
    EXPECT_EQ(asked, std::vector<std::string>{kRestartPrompt});
    const platform::ServiceStatus after = FarService();
    EXPECT_EQ(after.currentState, platform::kServiceRunning);
    EXPECT_NE(after.processId, before.processId) << "a new far process";
    EXPECT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the restarted far server serves";
    EXPECT_EQ(Status("/private/", "carol:Tulip7"), "200");
}

} // namespace

namespace {

// The far sheet's Service page drives the far service; the servers of this
// process, running beside it, are not touched.
TEST_F(RemoteLiveTest, TheFarSheetsServicePageStopsAndStartsTheFarServiceAlone)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    // This process's servers listen nowhere the far ones do.
    Key("HTTP\\Servers\\" + HTTPServerKeyName(m_port, kSeededServerAddress)).SetDword("Enabled", 0);
    Key("ChatRoom\\Rooms\\Lobby").SetDword("Enabled", 0);
    ASSERT_EQ(StartServices(), 0);
    struct StopAtEnd {
        ~StopAtEnd() { StopServices(); }
    } stopAtEnd;

    std::vector<std::string> asked = Connect(
        [&](CPropertySheetPlus& sheet) {
            QPushButton *start, *stop;
            std::tie(start, stop) = ShowServicePage(sheet);
            QWidget& page = *sheet.GetActivePage();
            ASSERT_TRUE(start && stop);
            ASSERT_TRUE(QTest::qWaitFor([&] { return stop->isEnabled(); }, 30000)) << "the far service runs";
            EXPECT_FALSE(start->isEnabled());

            // The page asks on its watcher's thread: the buttons follow once the state after the press is known.
            Click(page, 1164);
            EXPECT_TRUE(QTest::qWaitFor([&] { return start->isEnabled(); }, 30000));
            EXPECT_EQ(FarService().currentState, platform::kServiceStopped);
            EXPECT_NE(Curl(), 0) << "the far server no longer serves";
            EXPECT_NE(ServicesRunning(), 0) << "this process's servers still run";
            EXPECT_FALSE(stop->isEnabled());

            Click(page, 1163);
            EXPECT_TRUE(QTest::qWaitFor([&] { return stop->isEnabled(); }, 30000));
            EXPECT_EQ(FarService().currentState, platform::kServiceRunning);
            EXPECT_TRUE(Eventually([&] { return Curl() == 0; }, 20000)) << "the far server serves again";
            EXPECT_NE(ServicesRunning(), 0);
            EXPECT_FALSE(start->isEnabled());
        },
        {}, {});
    EXPECT_TRUE(asked.empty());
    EXPECT_NE(ServicesRunning(), 0);
}

} // namespace

namespace {

// The far side stops answering while OK saves: the window keeps answering,
// a box offers to give up after a moment, and once the far side answers
// again a second OK saves the edits the sheet kept.
TEST_F(RemoteLiveTest, AFarMachineThatStopsAnsweringKeepsTheWindowAnsweringAndTheEdits)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    FarWatch watch;
    watch.boxShots = {"app_far_sheet_waiting"};
    qint64 longest = -1;
    shown.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        SetWorkers(sheet, "6");
        Stall(watch);
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        longest = watch.Longest();
        EXPECT_TRUE(sheet.isVisible()) << "the refused OK keeps the sheet and its edits";
        ASSERT_GE(SignalFarSide(SIGCONT), 1);
        watch.giveUp = false;
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    shown.boxes.answers = {kIdOk, kIdNo};
    Click(*shown.page, 1048);
    EXPECT_EQ(shown.runner.unscripted, 0);
    ASSERT_EQ(watch.boxesAfter.size(), 1u) << "a box offers to give up once the wait lasts";
    EXPECT_GE(watch.boxesAfter[0], kWaitBoxDelayMs);
    EXPECT_LT(longest, 1000 + static_cast<qint64>(SlackMs())) << "the window answered all along";
    ASSERT_EQ(shown.boxes.shown.size(), 2u);
    EXPECT_EQ(shown.boxes.shown[0].text,
              "The settings could not be saved: error 1722.  Nothing was changed; correct the problem and press OK "
              "again, or Cancel to discard the changes.\n\nReason: you gave up waiting for 127.0.0.1 to answer. The "
              "edits are kept: OK tries again.");
    EXPECT_EQ(shown.boxes.shown[1].text, kRestartPrompt) << "the second OK saved";

    std::unique_ptr<platform::RemoteRegistry> remote;
    ASSERT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
    platform::RegistryKey product;
    ASSERT_EQ(remote->LocalMachine().Open(kProductKeyPath, product), platform::kErrorSuccess);
    std::uint32_t workers = 0;
    EXPECT_EQ(product.QueryDword("Workers", workers), platform::kErrorSuccess);
    EXPECT_EQ(workers, 6u) << "the edit reached the far machine";
}

// The far Service page follows the far service when it is stopped from
// elsewhere, and while the far machine does not answer offers nothing and
// says so.
TEST_F(RemoteLiveTest, TheFarServicePageFollowsTheFarServiceAndSaysWhenItDoesNotAnswer)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    std::vector<std::string> asked = Connect(
        [&](CPropertySheetPlus& sheet) {
            QPushButton *start, *stop;
            std::tie(start, stop) = ShowServicePage(sheet);
            auto* note = sheet.GetActivePage()->findChild<QLabel*>(QStringLiteral("serviceNote"));
            ASSERT_TRUE(start && stop && note);
            ASSERT_TRUE(QTest::qWaitFor([&] { return stop->isEnabled(); }, 30000)) << "the far service runs";

            ASSERT_EQ(FarTool({"velmora-sc", "stop", kRemoteServiceName}), 0);
            EXPECT_TRUE(QTest::qWaitFor([&] { return start->isEnabled() && !stop->isEnabled(); },
                                        2 * kServiceRefreshMs + kLiveSlackMs))
                << "the page follows the stop made elsewhere";
            SaveScreenshot(sheet, "app_far_service_page_after_outside_stop");

            EXPECT_FALSE(note->isVisible());
            ASSERT_GE(SignalFarSide(SIGSTOP), 1);
            QElapsedTimer silent;
            silent.start();
            // A query a second, each given the time-out: greyed within both.
            EXPECT_TRUE(QTest::qWaitFor([&] { return !start->isEnabled() && note->isVisible(); },
                                        kServiceRefreshMs + kServiceQueryTimeoutMs + SlackMs()))
                << "a far machine that does not answer offers nothing, and the page says so";
            std::cout << "greyed " << silent.elapsed() << " ms after the far side went silent\n";
            EXPECT_FALSE(stop->isEnabled());
            EXPECT_EQ(note->text().toStdString(), "127.0.0.1 does not answer, so the state of its Velmora service is "
                                                  "not known.");
            SaveScreenshot(sheet, "app_far_service_page_silent");
            SignalFarSide(SIGCONT);
            EXPECT_TRUE(QTest::qWaitFor([&] { return start->isEnabled() && !note->isVisible(); }, 30000))
                << "the answer, once it comes, shows";
        },
        {}, {});
    EXPECT_TRUE(asked.empty());
}

} // namespace

namespace {

// How long the window may go without answering while a far machine does not.
qint64 WindowBoundMs() { return 300 + static_cast<qint64>(SlackMs()); }

std::string ConnectFailedText() { return LoadQString(kRemoteConnectFailedStringId).toStdString(); }

// The far machine stops answering before Connect (its sshd takes the
// connection and says nothing) and while its sheet is open: Connect waits
// with a box the user can give up, its message says so, and Cancel closes
// the sheet at once. The window answers all along.
TEST_F(RemoteLiveTest, ConnectAndCancelNeverHoldTheWindowWhileTheFarMachineIsSilent)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    SetMessageBoxes(nullptr);
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    FarWatch watch;
    watch.boxShots = {"app_far_connect_waiting"};
    watch.answers = {{QMessageBox::Ok, "app_far_connect_given_up", {}}};
    SignalSshd(SIGSTOP);
    watch.giveUp = true;
    watch.Mark();
    Click(*shown.page, 1048);
    const qint64 connectLongest = watch.Longest();
    SignalSshd(SIGCONT);
    EXPECT_LT(connectLongest, WindowBoundMs()) << "Connect held the window";
    EXPECT_EQ(watch.boxesAfter.size(), 1u) << "a box offered to give up";
    for (qint64 after : watch.boxesAfter)
        EXPECT_GE(after, kWaitBoxDelayMs);
    EXPECT_EQ(watch.messages, std::vector<std::string>{ConnectFailedText() +
                                                       "\n\nReason: you gave up waiting for 127.0.0.1 to answer."});

    watch.giveUp = false;
    QPointer<QDialog> sheet;
    shown.runner.steps.push_back([&](QDialog& dialog) {
        sheet = &dialog;
        ASSERT_GE(SignalFarSide(SIGSTOP), 1);
        watch.boxesLeft = 0;
        watch.Mark();
        QTest::mouseClick(static_cast<CPropertySheetPlus&>(dialog).CancelButton(), Qt::LeftButton);
    });
    Click(*shown.page, 1048);
    const qint64 cancelLongest = watch.Longest();
    SignalFarSide(SIGCONT);
    EXPECT_EQ(shown.runner.runs, 1);
    EXPECT_TRUE(sheet.isNull()) << "the sheet is gone";
    EXPECT_LT(cancelLongest, WindowBoundMs()) << "Cancel held the window";
    EXPECT_EQ(watch.boxesLeft, 0) << "Cancel waits for nothing";
    EXPECT_EQ(watch.messages.size(), 1u);
    std::cout << "window late at most: Connect " << connectLongest << " ms, Cancel " << cancelLongest << " ms\n";
}

// The far machine stops answering as the KAV page first reads and again as
// the remote restart begins: each wait offers a box to give up, the page
// says it could not read the list (the sheet's OK writes nothing for it),
// and the message after the restart says why and that the settings were
// saved.
TEST_F(RemoteLiveTest, TheKAVPageAndTheRestartSayWhyWhenTheFarMachineIsSilent)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    const std::string library = VELMORA_SETUP_EXTENSION;
    {
        std::unique_ptr<platform::RemoteRegistry> remote;
        ASSERT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
        platform::RegistryKey key;
        ASSERT_EQ(remote->LocalMachine().Create(kExtensionsKeyPath, key), platform::kErrorSuccess);
        ASSERT_EQ(key.SetString(library, "Far library"), platform::kErrorSuccess);
    }
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    SetMessageBoxes(nullptr);
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    FarWatch watch;
    watch.answers = {{QMessageBox::Yes, {},
                      [&] { Stall(watch); }},
                     {QMessageBox::Ok, "app_far_restart_given_up", {}}};
    qint64 readLongest = -1;
    shown.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        SetWorkers(sheet, "6");
        Stall(watch);
        ClickTab(sheet, "KAV");
        readLongest = watch.Longest();
        QWidget& page = *sheet.GetActivePage();
        auto* note = page.findChild<QLabel*>(QStringLiteral("unreadNote"));
        EXPECT_TRUE(note && note->isVisible()) << "the page says it could not read";
        if (note) {
            EXPECT_EQ(note->text().toStdString(), "The KAV extension libraries of 127.0.0.1 could not be read. "
                                                  "Reason: you gave up waiting for 127.0.0.1 to answer. Showing this "
                                                  "page again reads them again.");
        }
        EXPECT_EQ(Control<QListWidget>(page, 1110)->count(), 0);
        SaveScreenshot(sheet, "app_far_kav_page_unread");
        SignalFarSide(SIGCONT);
        watch.giveUp = false;
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    Click(*shown.page, 1048);
    SignalFarSide(SIGCONT);
    EXPECT_EQ(shown.runner.unscripted, 0);
    EXPECT_LT(readLongest, WindowBoundMs()) << "the page's read held the window";
    EXPECT_EQ(watch.boxesAfter.size(), 2u) << "a box for the read and one for the restart";
    for (qint64 after : watch.boxesAfter)
        EXPECT_GE(after, kWaitBoxDelayMs);
    EXPECT_EQ(watch.messages,
              (std::vector<std::string>{kRestartPrompt,
                                        "Could not restart the Windows NT service.\n\nReason: you gave up waiting for "
                                        "127.0.0.1 to answer. The settings were saved there and take effect at the "
                                        "next restart."}));

    std::unique_ptr<platform::RemoteRegistry> remote;
    ASSERT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
    platform::RegistryKey key;
    ASSERT_EQ(remote->LocalMachine().Open(kExtensionsKeyPath, key), platform::kErrorSuccess);
    std::string description;
    EXPECT_EQ(RegQueryString(key, library, description), platform::kErrorSuccess);
    EXPECT_EQ(description, "Far library") << "the library list the page never read is as it was";
    platform::RegistryKey product;
    ASSERT_EQ(remote->LocalMachine().Open(kProductKeyPath, product), platform::kErrorSuccess);
    std::uint32_t workers = 0;
    EXPECT_EQ(product.QueryDword("Workers", workers), platform::kErrorSuccess);
    EXPECT_EQ(workers, 6u) << "the settings were saved";
    std::cout << "window late at most in the KAV page's read: " << readLongest << " ms; the restart's message after "
              << (watch.messagesAfter.size() > 1 ? watch.messagesAfter[1] : -1) << " ms\n";
}

} // namespace

namespace {

// Stop and Start on the far Service page, pressed while the far machine
// does not answer, wait as every far call does and are given up; the far
// service is as it was after the far side goes on.
TEST_F(RemoteLiveTest, AFarServiceCommandGivenUpIsNeverCarriedOutLater)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    StartFarService();
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    SetMessageBoxes(nullptr);
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    // Each on a sheet of its own: a channel given up on is opened again by the next far call.
    for (bool stop : {true, false}) {
        shown.runner.steps.push_back([&, stop](QDialog& dialog) {
            auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
            ShowServicePage(sheet);
            GiveUpFarServiceCommand(*sheet.GetActivePage(), stop, "app");
            sheet.CancelButton()->click();
        });
        Click(*shown.page, 1048);
    }
    EXPECT_EQ(shown.runner.runs, 2);
    EXPECT_EQ(shown.runner.unscripted, 0);
}

// Remove on the far KAV page, given up while the far machine does not
// answer, says why, keeps the library listed, and never reaches the far
// hive; a read that failed is read again when the page is shown again.
// The far hive's description of library, empty when it is not there.
std::string FarLibraryDescription(const std::string& library)
{
    std::unique_ptr<platform::RemoteRegistry> remote;
    EXPECT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
    platform::RegistryKey key;
    std::string description;
    if (remote && remote->LocalMachine().Open(kExtensionsKeyPath, key) == platform::kErrorSuccess)
        RegQueryString(key, library, description);
    return description;
}

void RegisterFarLibrary(const std::string& library)
{
    std::unique_ptr<platform::RemoteRegistry> remote;
    ASSERT_EQ(platform::RemoteRegistry::Connect("127.0.0.1", remote), platform::kErrorSuccess);
    platform::RegistryKey key;
    ASSERT_EQ(remote->LocalMachine().Create(kExtensionsKeyPath, key), platform::kErrorSuccess);
    ASSERT_EQ(key.SetString(library, "Far library"), platform::kErrorSuccess);
}

TEST_F(RemoteLiveTest, AFarKAVRemoveGivenUpSaysWhyAndNeverTakesEffect)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    const std::string library = VELMORA_SETUP_EXTENSION;
    RegisterFarLibrary(library);
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    SetMessageBoxes(nullptr);
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    FarWatch watch;
    watch.boxShots = {"app_far_kav_remove_waiting"};
    watch.answers = {{QMessageBox::Yes, {}, {}}, {QMessageBox::Ok, "app_far_kav_remove_given_up", {}}};
    shown.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        ClickTab(sheet, "KAV");
        QWidget& page = *sheet.GetActivePage();
        auto* list = Control<QListWidget>(page, 1110);
        ASSERT_EQ(list->count(), 1);
        list->setCurrentRow(0);
        const int orphaned = OrphanedFarSides();
        Stall(watch);
        Click(page, 1176);
        EXPECT_EQ(watch.boxTexts, std::vector<std::string>{"Waiting for 127.0.0.1 to answer...\nRemoving the KAV "
                                                            "extension library: each answer is awaited at most 45 "
                                                            "seconds."})
            << "a box says what it waits for";
        EXPECT_EQ(list->count(), 1) << "the library stays listed";
        EXPECT_EQ(page.window()->focusWidget(), Control<QPushButton>(page, 1176)) << "the focus is back on Remove";
        SaveScreenshot(sheet, "app_far_kav_page_after_remove_given_up");
        ContinueAfterGiveUp(watch, orphaned);
        sheet.CancelButton()->click();
    });
    Click(*shown.page, 1048);
    EXPECT_EQ(shown.runner.unscripted, 0);
    ASSERT_EQ(watch.messages.size(), 2u);
    EXPECT_EQ(watch.messages[1], "The KAV extension library could not be removed from 127.0.0.1.\n\nReason: you gave "
                                 "up waiting for 127.0.0.1 to answer.");
    // The remove the far side dropped would have acted at once.
    QElapsedTimer held;
    held.start();
    for (int check = 0; check < 10 && held.elapsed() < 2000; ++check) {
        EXPECT_EQ(FarLibraryDescription(library), "Far library") << "the far hive is unchanged";
        QTest::qWait(150);
    }
}

TEST_F(RemoteLiveTest, TheFarKAVPageIsReadAgainWhenShownAfterAFailedRead)
{
    if (IsSkipped())
        return;
    InitMacroLibrary();
    RegisterFarLibrary(VELMORA_SETUP_EXTENSION);
    PageHarness<CRemotePage> shown(std::make_unique<CRemotePage>());
    SetMessageBoxes(nullptr);
    Retype(Control<QLineEdit>(*shown.page, 1047), "127.0.0.1");
    FarWatch watch;
    shown.runner.steps.push_back([&](QDialog& dialog) {
        auto& sheet = static_cast<CPropertySheetPlus&>(dialog);
        const int orphaned = OrphanedFarSides();
        Stall(watch);
        ClickTab(sheet, "KAV");
        QWidget& page = *sheet.GetActivePage();
        auto* list = Control<QListWidget>(page, 1110);
        auto* note = page.findChild<QLabel*>(QStringLiteral("unreadNote"));
        ASSERT_TRUE(note);
        EXPECT_TRUE(note->isVisible());
        EXPECT_TRUE(note->text().endsWith("Showing this page again reads them again.")) << note->text().toStdString();
        EXPECT_EQ(list->count(), 0);
        EXPECT_FALSE(Control<QPushButton>(page, 1113)->isEnabled());
        EXPECT_FALSE(Control<QPushButton>(page, 1176)->isEnabled());
        ContinueAfterGiveUp(watch, orphaned);
        ClickTab(sheet, "Strings");
        ClickTab(sheet, "KAV");
        EXPECT_EQ(list->count(), 1) << "read again";
        EXPECT_FALSE(note->isVisible());
        sheet.CancelButton()->click();
    });
    Click(*shown.page, 1048);
    EXPECT_EQ(shown.runner.unscripted, 0);
}

} // namespace
