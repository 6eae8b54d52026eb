// The two Performance pages: typed values are checked against their ranges
// with the exact messages, and reading the fields back marks the sheet for a
// restart exactly when the servers could not apply the change otherwise.

#include "app/http/http_performance_page.h"
#include "app/kit/property_sheet_plus.h"
#include "app/shared/performance_page.h"
#include "app_fixture.h"

#include <QCheckBox>

namespace {

struct PerformanceSheet {
    PerformanceSheet() : sheet(QStringLiteral("Server Settings"), nullptr)
    {
        page = sheet.AddPage(std::make_unique<CPerformancePage>(workers, concurrency));
    }
    // The settings sheet's values, which the page writes back.
    std::uint32_t workers = 1;
    std::uint32_t concurrency = 0;
    CPropertySheetPlus sheet;
    CPerformancePage* page;
};

TEST(PerformancePage, TypedValuesAreCheckedAndAChangeMarksARestart)
{
    struct Case {
        const char* workers;
        const char* concurrency;
        const char* message; // null: accepted
        int failing;         // the field that gets the focus
        std::uint32_t workersAfter;
        int restart;
    };
    const char* const range = "Please enter an integer between 0 and 32000.";
    const Case cases[] = {
        {"1", "0", nullptr, 0, 1, 0},
        {"2", "0", nullptr, 0, 2, 1},
        {"1", "4", nullptr, 0, 1, 1},
        {"32000", "0", nullptr, 0, 32000, 1},
        {"32001", "0", range, 1126, 1, 0},
        {"-1", "0", range, 1126, 1, 0},
        {"two", "0", "Please enter an integer.", 1126, 1, 0},
        {"1", "32001", range, 1127, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("workers ") + c.workers + ", concurrency " + c.concurrency);
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        PerformanceSheet s;
        runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(Control<QLineEdit>(dialog, 1126)->text(), "1");
            Retype(Control<QLineEdit>(dialog, 1126), QString::fromLatin1(c.workers));
            Retype(Control<QLineEdit>(dialog, 1127), QString::fromLatin1(c.concurrency));
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
            if (c.message) {
                EXPECT_TRUE(dialog.isVisible()) << "the page stays shown";
                EXPECT_EQ(dialog.focusWidget(), Control<QLineEdit>(dialog, c.failing));
                s.sheet.CancelButton()->click();
            }
        });
        EXPECT_EQ(s.sheet.DoModal(), c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(s.workers, c.workersAfter) << "only values that passed reach the sheet";
        EXPECT_EQ(s.sheet.m_bRestart, c.restart);
    }
}

TEST(HTTPPerformancePage, RestartFollowsTheHTTPServersOwnAnswer)
{
    struct Case {
        int field; // an edit to retype or a box to click (0: none)
        const char* typed;
        const char* message;
        int restart;
    };
    const Case cases[] = {
        {0, nullptr, nullptr, 0},
        {1128, "256", nullptr, 1}, // the URL cache is sized when the server starts
        {1128, "128", nullptr, 0}, // the default: no change
        {1130, "30", nullptr, 1},
        {1130, "65000", nullptr, 1},
        {1134, nullptr, nullptr, 1},
        {1135, nullptr, nullptr, 0},
        {1129, "10", nullptr, 0},
        {1129, "32001", "Please enter an integer between 0 and 32000.", 0},
        {1130, "65001", "Please enter an integer between 0 and 65000.", 0},
        {1128, "many", "Please enter a positive integer.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + " " + (c.typed ? c.typed : ""));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CHTTPServerConfig config;
        CPropertySheetPlus sheet(QStringLiteral("Server"), nullptr);
        sheet.AddPage(std::make_unique<CHTTPPerformancePage>())->SetConfig(&config);
        runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(Control<QLineEdit>(dialog, 1128)->text(), "128");
            if (c.typed)
                Retype(Control<QLineEdit>(dialog, c.field), QString::fromLatin1(c.typed));
            else if (c.field)
                QTest::mouseClick(Control<QCheckBox>(dialog, c.field), Qt::LeftButton);
            QTest::mouseClick(sheet.OkButton(), Qt::LeftButton);
            if (c.message)
                sheet.CancelButton()->click();
        });
        EXPECT_EQ(sheet.DoModal(), c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(boxes.shown[0].text, c.message);
        }
        EXPECT_EQ(sheet.m_bRestart, c.restart);
        const CHTTPSettings& after = *config.GetHTTPSettings();
        if (!c.message && c.field == 1128) {
            EXPECT_EQ(after.urlCacheSize, std::stoul(c.typed)) << "published to the configuration";
        }
        if (!c.message && c.field == 1134) {
            EXPECT_NE(config.GetSettings()->useFibers, CHTTPServerConfig().GetSettings()->useFibers);
        }
    }
}

} // namespace
