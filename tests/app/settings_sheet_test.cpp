// The settings sheet against a real hive of the test's own: OK rotates the
// backups and saves in one transaction, Cancel writes nothing, a save the
// hive refuses rolls back and keeps the sheet open, and LastMod always
// moves forward. The hive is read back with the real velmora-reg.

#include "app/settings_sheet.h"
#include "app_fixture.h"
#include "app_hive.h"
#include "macro/named_strings.h"
#include "config/config_fixture.h"
#include "config/registry_helpers.h"
#include "e2e/e2e_server.h"

#include <QVBoxLayout>

#include <ctime>
#include <map>
#include <set>
#include <fstream>
#include <sstream>

namespace {

// Stands for the Performance page: edits Workers and marks a restart when
// it changed, as that page does.
class WorkersPage : public CPropertyPage {
public:
    explicit WorkersPage(std::uint32_t& workers) : CPropertyPage(QStringLiteral("Workers")), m_workers(workers) {}
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("workersEdit"));
        edit->setProperty(kControlIdProperty, 1126);
        layout->addWidget(edit);
    }
    void DoDataExchange(CDataExchange& dx) override
    {
        std::int32_t value = static_cast<std::int32_t>(m_workers);
        dx.Text(edit, value);
        dx.MinMaxInt(value, 0, 32000);
        if (dx.m_bSaveAndValidate) {
            if (static_cast<std::uint32_t>(value) != m_workers)
                SetRestart();
            m_workers = static_cast<std::uint32_t>(value);
        }
    }
    QLineEdit* edit = nullptr;

private:
    std::uint32_t& m_workers;
};

class SettingsSheetTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ASSERT_EQ(m_product.SetDword("Workers", 1), platform::kErrorSuccess);
        ASSERT_EQ(Key("HTTP").SetString("InitMacro", "first"), platform::kErrorSuccess);
    }

    // One run of the sheet: types workers (when given) and presses button.
    int RunSheet(const char* workers, bool ok = true)
    {
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        settings.AddStandardPages();
        auto* page = settings.Sheet().AddPage(std::make_unique<WorkersPage>(settings.Work().workers));
        runner.steps.push_back([&, page](QDialog&) {
            settings.Sheet().SetActivePage(settings.Sheet().GetPageCount() - 1);
            if (workers)
                Retype(page->edit, QString::fromLatin1(workers));
            QTest::mouseClick(ok ? settings.Sheet().OkButton() : settings.Sheet().CancelButton(), Qt::LeftButton);
        });
        return settings.Run();
    }

    // The key as REGEDIT4 text, written by the real velmora-reg.
    std::string Export(const std::string& key)
    {
        std::string file = m_dir / "export.reg";
        std::remove(file.c_str());
        e2e::RunResult run = e2e::RunProgram(
            {"timeout", "60", BinDir() + "/tools/velmora-reg", "export", "HKEY_LOCAL_MACHINE\\" + key, file},
            m_dir / "reg.out");
        if (run.exitCode != 0)
            return "exit " + std::to_string(run.exitCode);
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static std::string BinDir()
    {
        const char* dir = std::getenv("VELMORA_TEST_BIN_DIR");
        return dir ? dir : ".";
    }
    std::uint32_t Dword(const char* name)
    {
        std::uint32_t value = 0;
        EXPECT_EQ(m_product.QueryDword(name, value), platform::kErrorSuccess) << name;
        return value;
    }
    bool BackupExists(const char* name)
    {
        platform::RegistryKey key;
        return platform::RegistryKey::LocalMachine().Open(std::string("Software\\Tessaline\\") + name, key) ==
               platform::kErrorSuccess;
    }
    // Adds an SQL statement to the hive through the sqlite3 shell, as an
    // outside party would.
    void HiveSql(const std::string& sql)
    {
        e2e::RunResult run =
            e2e::RunProgram({"timeout", "30", "sqlite3", m_dir / "registry.db", sql}, m_dir / "sqlite.out");
        ASSERT_EQ(run.exitCode, 0) << run.output;
    }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

TEST_F(SettingsSheetTest, TwoOksLeaveThePreviousStatesInTheBackups)
{
    EXPECT_EQ(RunSheet("2"), 1) << "a changed Workers needs a restart";
    EXPECT_EQ(RunSheet("3"), 1);

    std::string current = Export("Software\\Tessaline\\Velmora");
    std::string first = Export("Software\\Tessaline\\Velmora001");
    std::string second = Export("Software\\Tessaline\\Velmora002");
    EXPECT_NE(current.find("\"Workers\"=dword:00000003"), std::string::npos) << current;
    EXPECT_NE(first.find("[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora001]"), std::string::npos) << first;
    EXPECT_NE(first.find("\"Workers\"=dword:00000002"), std::string::npos) << first;
    EXPECT_NE(second.find("\"Workers\"=dword:00000001"), std::string::npos) << second;
    // Whole copies, subkeys included.
    EXPECT_NE(second.find("[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora002\\HTTP]"), std::string::npos);
    EXPECT_NE(second.find("\"InitMacro\"=\"first\""), std::string::npos);
    // A backup is a copy of the product key, not of an older backup.
    EXPECT_EQ(first.find("Velmora001\\Velmora"), std::string::npos);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SettingsSheetTest, OkWithoutChangesSavesButAsksNoRestartAndCancelWritesNothing)
{
    std::uint32_t stampBefore = Dword("LastMod");
    EXPECT_EQ(RunSheet("7", false), 0) << "Cancel answers 0 even when a page marked a restart";
    EXPECT_EQ(Dword("Workers"), 1u);
    EXPECT_EQ(Dword("LastMod"), stampBefore);
    EXPECT_FALSE(BackupExists("Velmora001"));

    EXPECT_EQ(RunSheet(nullptr), 0);
    EXPECT_TRUE(BackupExists("Velmora001"));
    EXPECT_FALSE(BackupExists("Velmora002")) << "there was no Velmora001 to move";
    EXPECT_GT(Dword("LastMod"), stampBefore);
}

TEST_F(SettingsSheetTest, LastModMovesForwardEvenWhenTheClockLags)
{
    const std::uint32_t ahead = static_cast<std::uint32_t>(std::time(nullptr)) + 100000;
    ASSERT_EQ(m_product.SetDword("LastMod", ahead), platform::kErrorSuccess);
    EXPECT_EQ(RunSheet("4"), 1);
    EXPECT_EQ(Dword("LastMod"), ahead + 1);
    EXPECT_EQ(RunSheet("5"), 1);
    EXPECT_EQ(Dword("LastMod"), ahead + 2);
}

TEST_F(SettingsSheetTest, ASaveTheHiveRefusesRollsBackAndKeepsTheSheetOpen)
{
    struct Case {
        const char* what;
        const char* trigger;
        const char* workers;
    };
    const Case cases[] = {
        {"no key can be created",
         "CREATE TRIGGER refuse BEFORE INSERT ON keys WHEN NEW.parent IS NOT NULL "
         "BEGIN SELECT RAISE(ABORT, 'read-only'); END;", "9"},
        {"no value can be written",
         "CREATE TRIGGER refuse BEFORE UPDATE ON vals BEGIN SELECT RAISE(ABORT, 'read-only'); END;", "10"},
    };
    // A first save, so there is a Velmora001 the failed save must keep.
    ASSERT_EQ(RunSheet("2"), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string productBefore = Export("Software\\Tessaline\\Velmora");
        std::string backupBefore = Export("Software\\Tessaline\\Velmora001");
        std::string secondBefore = Export("Software\\Tessaline\\Velmora002");
        HiveSql(c.trigger);
        boxes.shown.clear();

        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        auto* page = settings.Sheet().AddPage(std::make_unique<WorkersPage>(settings.Work().workers));
        bool stayedOpen = false;
        std::string productDuring, backupDuring, secondDuring;
        runner.steps.push_back([&](QDialog& dialog) {
            Retype(page->edit, QString::fromLatin1(c.workers));
            QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
            stayedOpen = dialog.isVisible() && dialog.result() != QDialog::Accepted;
            productDuring = Export("Software\\Tessaline\\Velmora");
            backupDuring = Export("Software\\Tessaline\\Velmora001");
            secondDuring = Export("Software\\Tessaline\\Velmora002");
            // The edit waits for a second try once the hive takes writes again.
            EXPECT_EQ(page->edit->text(), c.workers);
            HiveSql("DROP TRIGGER refuse;");
            QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
        });
        EXPECT_EQ(settings.Run(), 1);
        EXPECT_TRUE(stayedOpen);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_NE(boxes.shown[0].text.find("The settings could not be saved"), std::string::npos)
            << boxes.shown[0].text;
        EXPECT_EQ(productDuring, productBefore) << "nothing of the failed save stays";
        EXPECT_EQ(backupDuring, backupBefore);
        EXPECT_EQ(secondDuring, secondBefore) << "no backup rotation either";
        EXPECT_EQ(Dword("Workers"), std::stoul(c.workers)) << "the retry saved";
    }
}

// The proxy and the Web Remote configuration are saved by SaveToKey: a key
// it cannot create or a value it cannot write is that area's failure, named
// in the message, and the save stops with nothing of it kept.
TEST_F(SettingsSheetTest, AnAreaSavedByKeyReportsItsOwnFailure)
{
    struct Case {
        const char* what;
        const char* trigger;
        const char* named; // in the message
    };
    const char* const inProduct = "SELECT id FROM keys WHERE parent = (SELECT id FROM keys WHERE name = 'Velmora')";
    const std::string proxyValues = std::string("CREATE TRIGGER refuse BEFORE INSERT ON vals WHEN NEW.key IN (") +
                                    inProduct + " AND name = 'HTTPProxy') BEGIN SELECT RAISE(ABORT, 'read-only'); END;";
    const std::string remoteValues = std::string("CREATE TRIGGER refuse BEFORE INSERT ON vals WHEN NEW.key IN (") +
                                     inProduct + " AND name = 'HTTPConf') BEGIN SELECT RAISE(ABORT, 'read-only'); END;";
    const Case cases[] = {
        {"the proxy key cannot be created",
         "CREATE TRIGGER refuse BEFORE INSERT ON keys WHEN NEW.name = 'HTTPProxy' "
         "BEGIN SELECT RAISE(ABORT, 'read-only'); END;",
         "the proxy settings cannot be written"},
        {"no proxy value can be written", proxyValues.c_str(), "the proxy settings cannot be written"},
        {"no Web Remote value can be written", remoteValues.c_str(), "the Web Remote settings cannot be written"},
    };
    ASSERT_TRUE(Key("HTTPConf").IsOpen());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::RegistryKey::LocalMachine().DeleteTree("Software\\Tessaline\\Velmora\\HTTPProxy");
        HiveSql(c.trigger);
        boxes.shown.clear();

        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        const std::string productBefore = Export("Software\\Tessaline\\Velmora");
        settings.Sheet().AddPage(std::make_unique<WorkersPage>(settings.Work().workers));
        std::string productDuring;
        runner.steps.push_back([&](QDialog&) {
            QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton);
            productDuring = Export("Software\\Tessaline\\Velmora");
            HiveSql("DROP TRIGGER refuse;");
            QTest::mouseClick(settings.Sheet().CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(settings.Run(), 0);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_NE(boxes.shown[0].text.find(c.named), std::string::npos) << boxes.shown[0].text;
        EXPECT_EQ(productDuring, productBefore) << "nothing of the failed save stays";
    }
}

// The shipped configuration through the sheet with no edit, the macro
// library in as in the running program: every value reads back as it was
// (the save writes defaults out too, so more may be there), and the
// default named strings are not copied into the registry.
class SettingsRoundTripTest : public AppHiveTest {
protected:
    using Values = std::map<std::string, std::set<std::string>>;
    Values ExportValues(const std::string& key)
    {
        std::string file = m_dir / "roundtrip.reg";
        e2e::RunResult run = e2e::RunProgram(
            {"timeout", "60", BinDir() + "/tools/velmora-reg", "export", "HKEY_LOCAL_MACHINE\\" + key, file},
            m_dir / "reg.out");
        EXPECT_EQ(run.exitCode, 0);
        std::ifstream in(file);
        Values values;
        std::string line, section;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '[')
                values[section = line];
            else if (!line.empty() && line[0] == '"' && line.rfind("\"LastMod\"=", 0) != 0)
                values[section].insert(line);
        }
        return values;
    }
};

TEST_F(SettingsRoundTripTest, AnOkWithoutEditsLosesNothing)
{
    SeedDefaultConfiguration();
    InitMacroLibrary();
    const std::string product = "Software\\Tessaline\\Velmora";
    Values before = ExportValues(product);
    ASSERT_GT(before.size(), 5u);

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    runner.steps.push_back([&](QDialog&) { QTest::mouseClick(settings.Sheet().OkButton(), Qt::LeftButton); });
    EXPECT_EQ(settings.Run(), 0);
    EXPECT_TRUE(boxes.shown.empty());

    Values after = ExportValues(product);
    for (const auto& [section, lines] : before) {
        ASSERT_TRUE(after.count(section)) << section;
        for (const std::string& line : lines)
            EXPECT_TRUE(after[section].count(line)) << section << " lost " << line;
    }
    EXPECT_TRUE(after["[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\HTTP\\Strings]"].empty())
        << "the default strings stay in the string table";
}

} // namespace
