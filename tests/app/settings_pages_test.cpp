// The pages in the settings sheet against a real hive of the test's own:
// what reaches the registry, and what the sheet answers, after nested and
// outer OKs and Cancels, and after a refused Workers value.

#include "app/performance_page.h"
#include "app/settings_sheet.h"
#include "app_fixture.h"
#include "config/config_fixture.h"
#include "family_edit_page.h"

#include <QPushButton>
#include <QTabWidget>

namespace {

class SettingsPagesTest : public ConfigTest {
protected:
    void SetUp() override
    {
        ConfigTest::SetUp();
        ASSERT_EQ(m_product.SetDword("Workers", 1), platform::kErrorSuccess);
    }
    std::uint32_t Workers()
    {
        std::uint32_t value = 0;
        EXPECT_EQ(m_product.QueryDword("Workers", value), platform::kErrorSuccess);
        return value;
    }
    bool Exists(const std::string& path)
    {
        platform::RegistryKey key;
        return platform::RegistryKey::LocalMachine().Open("Software\\Tessaline\\" + path, key) ==
               platform::kErrorSuccess;
    }

    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
};

TEST_F(SettingsPagesTest, WorkersOutOfRangeIsRefusedAndAChangeAsksForARestart)
{
    CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
    settings.Load();
    settings.AddStandardPages();
    CPropertySheetPlus& sheet = settings.Sheet();
    QStringList titles;
    for (int i = 0; i < sheet.GetPageCount(); ++i)
        titles << sheet.GetPage(i)->Title();
    EXPECT_EQ(titles, (QStringList{"Servers", "Performance", "Service", "About"}));

    bool refusedKeptOpen = false;
    runner.steps.push_back([&](QDialog& dialog) {
        sheet.Tabs()->setCurrentIndex(1);
        QApplication::processEvents(); // a page's fields show once events run
        ASSERT_EQ(sheet.GetActiveIndex(), 1);
        auto* workers = Find<QLineEdit>(dialog, "edit1126");
        EXPECT_EQ(workers->text(), "1");
        Retype(workers, QStringLiteral("32001"));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
        refusedKeptOpen = dialog.isVisible() && dialog.result() != QDialog::Accepted;
        EXPECT_EQ(sheet.GetActiveIndex(), 1);
        EXPECT_EQ(dialog.focusWidget(), workers) << "the refused field has the focus";
        EXPECT_EQ(Workers(), 1u) << "nothing is written while the page refuses";
        Retype(workers, QStringLiteral("2"));
        QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(settings.Run(), 1);
    EXPECT_TRUE(refusedKeptOpen);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please enter an integer between 0 and 32000.");
    EXPECT_EQ(Workers(), 2u);
    EXPECT_TRUE(Exists("Velmora001"));
}

TEST_F(SettingsPagesTest, OnlyNestedOkThenOuterOkSavesAndOnlyANestedOkCarriesTheRestart)
{
    struct Case {
        bool nestedOk;
        bool markRestart;
        bool outerOk;
        bool saved;  // the room reached the registry
        int restart; // what the settings sheet answered
    };
    const Case cases[] = {
        {false, true, true, false, 0},  {true, false, false, false, 0}, {true, true, false, false, 0},
        {true, false, true, true, 0},   {true, true, true, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("nested ") + (c.nestedOk ? "OK" : "Cancel") + (c.markRestart ? " restart" : "")
                     + ", outer " + (c.outerOk ? "OK" : "Cancel"));
        CSettingsSheet settings(nullptr, platform::RegistryKey::LocalMachine());
        settings.Load();
        CSettingsWork& work = settings.Work();
        CNestedSheetPages pages;
        pages.chat.push_back(EditPageMaker<CChatGlobalConfig>(AddRoom));
        settings.Sheet().AddPage(std::make_unique<CServersPage>(work.http, work.chat, work.proxy, pages));
        runner.steps.push_back([&](QDialog&) {
            QTest::mouseClick(Find<QPushButton>(settings.Sheet(), "button1063"), Qt::LeftButton);
            QPushButton* end = c.outerOk ? settings.Sheet().OkButton() : settings.Sheet().CancelButton();
            QTest::mouseClick(end, Qt::LeftButton);
        });
        runner.steps.push_back([&](QDialog& nested) {
            Retype(Find<QLineEdit>(nested, "entry"), QStringLiteral("Lounge"));
            Find<QCheckBox>(nested, "needsRestart")->setChecked(c.markRestart);
            auto& sheet = static_cast<CPropertySheetPlus&>(nested);
            QTest::mouseClick(c.nestedOk ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(settings.Run(), c.restart);
        EXPECT_EQ(runner.unscripted, 0);
        EXPECT_EQ(Exists("Velmora\\ChatRoom\\Rooms\\Lounge"), c.saved);
        EXPECT_TRUE(boxes.shown.empty());
        if (c.saved) {
            // The next case starts from an empty room list again.
            platform::RegistryKey rooms;
            ASSERT_EQ(m_product.Open("ChatRoom\\Rooms", rooms), platform::kErrorSuccess);
            ASSERT_EQ(rooms.DeleteTree("Lounge"), platform::kErrorSuccess);
        }
    }
}

} // namespace
