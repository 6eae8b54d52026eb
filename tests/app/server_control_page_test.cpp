// The Service Control page starts and stops the real engine at once, and its
// buttons always follow the running flag.

#include "app/kit/property_sheet_plus.h"
#include "app/shared/server_control_page.h"
#include "app_fixture.h"
#include "service/engine_fixture.h"

#include <QPushButton>

namespace {

class ServerControlPageTest : public EngineHiveTest {
protected:
    static void SetUpTestSuite() { EnterSuite("vapp"); }
};

TEST_F(ServerControlPageTest, ButtonsFollowTheRunningFlagAfterEveryPress)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
    sheet.AddPage(std::make_unique<CServerControlPage>());
    runner.steps.push_back([&](QDialog&) {
        auto* start = Control<QPushButton>(sheet, 1163);
        auto* stop = Control<QPushButton>(sheet, 1164);
        // The servers were started before the sheet opened.
        EXPECT_FALSE(start->isEnabled());
        EXPECT_TRUE(stop->isEnabled());
        QTest::mouseClick(stop, Qt::LeftButton);
        EXPECT_EQ(ServicesRunning(), 0) << "stopping takes effect before the sheet closes";
        EXPECT_TRUE(start->isEnabled());
        EXPECT_FALSE(stop->isEnabled());
        QTest::mouseClick(stop, Qt::LeftButton); // disabled: nothing happens
        EXPECT_EQ(ServicesRunning(), 0);
        QTest::mouseClick(start, Qt::LeftButton);
        EXPECT_NE(ServicesRunning(), 0);
        EXPECT_FALSE(start->isEnabled());
        EXPECT_TRUE(stop->isEnabled());
        QTest::mouseClick(sheet.CancelButton(), Qt::LeftButton);
    });
    ASSERT_EQ(StartServices(), 0);
    EXPECT_EQ(sheet.DoModal(), kIdCancel);
    EXPECT_NE(ServicesRunning(), 0) << "Cancel does not undo a press";
    EXPECT_EQ(runner.unscripted, 0);
}

} // namespace
