// The QNS page and the QNS Host dialog worked as a person works them: New,
// Edit and Delete with the designed messages, the look-up on a helper
// thread under its deadline, and a sheet that keeps blank host names as the
// registry holds them.

#include "app/kit/control_lookup.h"
#include "app/kit/property_sheet_plus.h"
#include "app/settings_sheet.h"
#include "app/shared/qns_host_dialog.h"
#include "app/shared/qns_page.h"
#include "app_fixture.h"
#include "config/config_fixture.h"
#include "config/qns_config.h"
#include "e2e/e2e_server.h"
#include "platform/clock.h"
#include "screenshot.h"

#include <QListWidget>
#include <QTabWidget>
#include <QTimer>

#include <condition_variable>
#include <mutex>

namespace {

const char* const kInvalid = "An invalid IP address was entered.  Please specify an address in the form aa.bb.cc.dd.";
const char* const kDuplicate = "A QNS entry for this IP address already exists.";
const char* const kNotLocated = "The hostname cannot be located using your DNS server.";

std::uint32_t Address(const char* dotted)
{
    std::uint32_t address = 0;
    EXPECT_TRUE(ParseQNSAddress(QString::fromLatin1(dotted), address)) << dotted;
    return address;
}

QStringList Lines(QListWidget* list)
{
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->item(i)->text();
    return lines;
}

void ClickLine(QListWidget* list, const QString& text, bool twice = false)
{
    QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << text.toStdString();
    QPoint at = list->visualItemRect(found[0]).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
    if (twice)
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

void Click(QWidget& root, int id) { QTest::mouseClick(FindControl<QPushButton>(&root, id), Qt::LeftButton); }

// The page in a sheet of its own over table, shown.
struct ShownPage {
    explicit ShownPage(CQNSConfig& table) : sheet(QStringLiteral("Server Settings"), nullptr)
    {
        page = sheet.AddPage(std::make_unique<CQNSPage>(table));
        sheet.show();
        QApplication::processEvents();
        list = FindControl<QListWidget>(&sheet, 1103);
    }
    ~ShownPage() { sheet.hide(); }
    CPropertySheetPlus sheet;
    CQNSPage* page = nullptr;
    QListWidget* list = nullptr;
};

TEST(QNSPage, NewChecksTheAddressAndListsEachEntryInTwoColumns)
{
    struct Case {
        const char* address;
        const char* host;
        const char* message; // null: accepted, unless the address is empty
        const char* line;    // the new line, when accepted
    };
    const Case cases[] = {
        {"", "blank", nullptr, nullptr},
        {"10.0.0.7", "alpha", nullptr, "10.0.0.7\talpha"},
        {"10.1", "short", nullptr, "10.0.0.1\tshort"},
        {"10.0.0.8", "", nullptr, "10.0.0.8\t"},
        {"10.0.0.5", "again", kDuplicate, nullptr},
        {"255.255.255.255", "all", kInvalid, nullptr},
        {"10.0.0.300", "big", kInvalid, nullptr},
        {"gate.example", "name", kInvalid, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        CQNSConfig table;
        table.SetAt(Address("10.0.0.5"), "gate");
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        ShownPage shown(table);
        runner.steps.push_back([&](QDialog& dialog) {
            auto* address = FindControl<QLineEdit>(&dialog, 1042);
            EXPECT_EQ(address->text(), "0.0.0.0");
            EXPECT_TRUE(FindControl<QPushButton>(&dialog, 1)->isEnabled()) << "0.0.0.0 counts as text";
            EXPECT_EQ(dialog.focusWidget(), address);
            // Typed over as it comes: the pre-filled address is selected.
            if (*c.address)
                QTest::keyClicks(address, QString::fromLatin1(c.address));
            else
                QTest::keyClick(address, Qt::Key_Delete);
            EXPECT_EQ(address->text().toStdString(), c.address);
            Retype(FindControl<QLineEdit>(&dialog, 1105), QString::fromLatin1(c.host));
            // OK and Lookup only while the address field holds text.
            EXPECT_EQ(FindControl<QPushButton>(&dialog, 1)->isEnabled(), *c.address != '\0');
            EXPECT_EQ(FindControl<QPushButton>(&dialog, 3)->isEnabled(), *c.address != '\0');
            Click(dialog, 1);
            if (!c.line) {
                EXPECT_TRUE(dialog.isVisible()) << "the dialog stays open";
                if (c.message) {
                    EXPECT_EQ(dialog.focusWidget(), address);
                }
                Click(dialog, 2);
            }
        });
        Click(shown.sheet, 1149);
        EXPECT_EQ(runner.runs, 1);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (!c.line) {
            if (c.message) {
                EXPECT_EQ(boxes.shown[0].text, c.message);
            }
            EXPECT_EQ(Lines(shown.list), QStringList{"10.0.0.5\tgate"}) << "nothing added";
            EXPECT_EQ(table.GetEntries().size(), 1u);
            continue;
        }
        EXPECT_EQ(shown.list->count(), 2);
        ASSERT_NE(shown.list->currentItem(), nullptr);
        EXPECT_EQ(shown.list->currentItem()->text(), c.line) << "the new entry is selected";
        EXPECT_TRUE(FindControl<QPushButton>(&shown.sheet, 1150)->isEnabled());
        EXPECT_EQ(shown.sheet.m_bRestart, 0) << "the servers reload the table without a restart";
    }
}

TEST(QNSPage, EditTakesTheEntryOutWhileItsDialogRunsAndDeleteAsksNothing)
{
    CQNSConfig table;
    table.SetAt(Address("10.0.0.5"), "gate");
    table.SetAt(Address("10.0.0.6"), "door");
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    ShownPage shown(table);
    auto* edit = FindControl<QPushButton>(&shown.sheet, 1150);
    auto* remove = FindControl<QPushButton>(&shown.sheet, 1151);

    // The unchanged address is no duplicate of itself.
    runner.steps.push_back([&](QDialog& dialog) {
        EXPECT_EQ(FindControl<QLineEdit>(&dialog, 1042)->text(), "10.0.0.5");
        EXPECT_EQ(FindControl<QLineEdit>(&dialog, 1105)->text(), "gate");
        Retype(FindControl<QLineEdit>(&dialog, 1105), QStringLiteral("gateway"));
        Click(dialog, 1);
    });
    ClickLine(shown.list, QStringLiteral("10.0.0.5\tgate"));
    QTest::mouseClick(edit, Qt::LeftButton);
    // A double click edits too; moving onto the other entry is refused, and
    // Cancel then puts the entry back as it was.
    runner.steps.push_back([&](QDialog& dialog) {
        Retype(FindControl<QLineEdit>(&dialog, 1042), QStringLiteral("10.0.0.5"));
        Retype(FindControl<QLineEdit>(&dialog, 1105), QStringLiteral("lost"));
        Click(dialog, 1);
        EXPECT_TRUE(dialog.isVisible());
        Click(dialog, 2);
    });
    ClickLine(shown.list, QStringLiteral("10.0.0.6\tdoor"), true);
    EXPECT_EQ(runner.runs, 2);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, kDuplicate);
    EXPECT_EQ(boxes.shown[0].helpId, 2092u);
    EXPECT_EQ(Lines(shown.list), (QStringList{"10.0.0.5\tgateway", "10.0.0.6\tdoor"}));
    EXPECT_EQ(shown.list->currentItem()->text(), "10.0.0.6\tdoor");

    QTest::mouseClick(remove, Qt::LeftButton);
    EXPECT_EQ(Lines(shown.list), QStringList{"10.0.0.5\tgateway"});
    EXPECT_EQ(shown.list->currentItem()->text(), "10.0.0.5\tgateway") << "the first line is selected";
    QTest::mouseClick(remove, Qt::LeftButton);
    EXPECT_EQ(shown.list->count(), 0);
    EXPECT_FALSE(edit->isEnabled());
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_TRUE(table.GetEntries().empty());
    EXPECT_EQ(boxes.shown.size(), 1u) << "Delete asks nothing";
}

// A DNS of the test's own: answers after delayMs (or when released), with
// name, or fails when name is empty.
struct ScriptedDNS {
    std::mutex lock;
    std::condition_variable wake;
    bool released = false;
    int calls = 0;
    std::uint32_t deadlineSeen = 0;

    QNSReverseLookup Lookup(std::shared_ptr<ScriptedDNS> self, std::uint32_t delayMs, std::string name)
    {
        return [self, delayMs, name](std::uint32_t, std::uint32_t deadlineMs, std::string* out) {
            std::unique_lock<std::mutex> hold(self->lock);
            ++self->calls;
            self->deadlineSeen = deadlineMs;
            self->wake.wait_for(hold, std::chrono::milliseconds(delayMs), [&] { return self->released; });
            if (name.empty())
                return 11001;
            *out = name;
            return 0;
        };
    }
    void Release()
    {
        std::lock_guard<std::mutex> hold(lock);
        released = true;
        wake.notify_all();
    }
};

TEST(QNSHostDialog, LookupWaitsOnAHelperThreadWhileTheWindowServesItsEventsAndEndsAtItsDeadline)
{
    struct Case {
        const char* address;
        std::uint32_t delayMs;
        const char* answer; // "": the DNS knows no name
        std::uint32_t deadlineMs;
        const char* field;   // the host name field afterwards
        const char* message; // null: none
        bool asked;          // whether the DNS was asked
    };
    const Case cases[] = {
        {"10.4.0.1", 0, "one.example", 5000, "one.example", nullptr, true},
        {"10.4.0.2", 0, "", 5000, "typed", kNotLocated, true},
        {"10.4.0.3", 400, "slow.example", 5000, "slow.example", nullptr, true},
        {"10.4.0.4", 20000, "late.example", 500, "typed",
         "The hostname cannot be located using your DNS server: it did not answer within 0.5 seconds.", true},
        {"255.255.255.255", 0, "never", 5000, "typed", kInvalid, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        CQNSConfig table;
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        auto dns = std::make_shared<ScriptedDNS>();
        CQNSHostDialog dialog(table, nullptr);
        dialog.SetReverseLookup(dns->Lookup(dns, c.delayMs, c.answer));
        dialog.SetLookupDeadline(c.deadlineMs);
        int ticks = 0;
        std::uint64_t took = 0;
        runner.steps.push_back([&](QDialog& shown) {
            Retype(FindControl<QLineEdit>(&shown, 1042), QString::fromLatin1(c.address));
            Retype(FindControl<QLineEdit>(&shown, 1105), QStringLiteral("typed"));
            QTimer heartbeat;
            QObject::connect(&heartbeat, &QTimer::timeout, [&] {
                ++ticks;
                // While the DNS is asked, the buttons that would ask again or
                // close on a half-done answer wait.
                if (dns->calls) {
                    EXPECT_FALSE(FindControl<QPushButton>(&shown, 3)->isEnabled());
                }
            });
            heartbeat.start(20);
            const std::uint64_t start = platform::MonotonicMs();
            Click(shown, 3);
            took = platform::MonotonicMs() - start;
            heartbeat.stop();
            EXPECT_EQ(FindControl<QLineEdit>(&shown, 1105)->text(), c.field);
            EXPECT_TRUE(FindControl<QPushButton>(&shown, 3)->isEnabled());
            Click(shown, 2);
        });
        dialog.DoModal();
        dns->Release();
        EXPECT_EQ(dns->calls, c.asked ? 1 : 0);
        if (c.asked) {
            EXPECT_EQ(dns->deadlineSeen, c.deadlineMs) << "the look-up itself knows when to stop";
        }
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(boxes.shown[0].helpId, c.asked ? 2091u : 2074u);
        }
        if (c.delayMs >= 400) {
            EXPECT_GE(ticks, 5) << "the window's events ran while the DNS was asked";
            const std::uint64_t expected = std::min(c.delayMs, c.deadlineMs);
            EXPECT_GE(took + 100, expected) << "a coarse timer may fire a little early";
            EXPECT_LT(took, expected + 3000) << "the deadline, not the DNS, ended the wait";
        }
    }
}

// Without a scripted DNS the dialog asks the system's resolver: its name for
// the loopback address is the one getent gives.
TEST(QNSHostDialog, LookupAsksTheSystemResolver)
{
    e2e::RunResult getent = e2e::RunProgram({"getent", "hosts", "127.0.0.1"}, testing::TempDir() + "getent.out");
    std::istringstream fields(getent.output);
    std::string address, expected;
    fields >> address >> expected;
    if (getent.exitCode != 0 || expected.empty())
        GTEST_SKIP() << "the system has no name for 127.0.0.1";
    CQNSConfig table;
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CQNSHostDialog dialog(table, nullptr);
    runner.steps.push_back([&](QDialog& shown) {
        Retype(FindControl<QLineEdit>(&shown, 1042), QStringLiteral("127.0.0.1"));
        Click(shown, 3);
        EXPECT_EQ(FindControl<QLineEdit>(&shown, 1105)->text().toStdString(), expected);
        Click(shown, 1);
    });
    EXPECT_EQ(dialog.DoModal(), kIdOk);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(dialog.m_hostName, expected);
}

TEST(QNSPage, Screenshot)
{
    CQNSConfig table;
    table.SetAt(Address("10.0.0.5"), "gate.tessaline.example");
    table.SetAt(Address("192.168.17.240"), "printer-third-floor.tessaline.example");
    table.SetAt(Address("172.16.0.9"), "");
    ShownPage shown(table);
    EXPECT_EQ(Lines(shown.list), (QStringList{"10.0.0.5\tgate.tessaline.example", "172.16.0.9\t",
                                              "192.168.17.240\tprinter-third-floor.tessaline.example"}));
    SaveScreenshot(shown.sheet, "qns_page");
    ScriptedRunner runner;
    runner.steps.push_back([](QDialog& dialog) { SaveScreenshot(dialog, "qns_host_dialog"); });
    Click(shown.sheet, 1149);
}

class QNSSheetTest : public ConfigTest {
protected:
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

// A blank host name is a stored entry, resolved by the servers: the sheet
// shows it as stored and writes it back, whatever the DNS says about it.
TEST_F(QNSSheetTest, TheSheetShowsAndKeepsBlankHostNamesAsStored)
{
    platform::RegistryKey qns = Key("QNS");
    qns.SetString("10.9.8.7", "");
    qns.SetString("10.9.8.8", "gate");
    qns.SetString("not-an-address", "skipped");
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    CPropertySheetPlus& sheet = settings.Sheet();
    int index = -1;
    for (int i = 0; i < sheet.GetPageCount(); ++i)
        if (sheet.GetPage(i)->Title() == "QNS")
            index = i;
    ASSERT_GE(index, 0);
    runner.steps.push_back([&](QDialog& dialog) {
        sheet.Tabs()->setCurrentIndex(index);
        QApplication::processEvents();
        EXPECT_EQ(Lines(FindControl<QListWidget>(&dialog, 1103)), (QStringList{"10.9.8.7\t", "10.9.8.8\tgate"}));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 0);
    std::string blank = "unset", named;
    platform::RegistryKey reread = Key("QNS");
    EXPECT_EQ(reread.QueryString("10.9.8.7", blank), platform::kErrorSuccess);
    EXPECT_EQ(blank, "");
    EXPECT_EQ(reread.QueryString("10.9.8.8", named), platform::kErrorSuccess);
    EXPECT_EQ(named, "gate");
}

} // namespace
