// The two Performance pages: typed values are checked against their ranges
// with the exact messages (the arrows keep to a wider range), and reading
// the fields back marks the sheet for a restart exactly when the servers
// could not apply the change otherwise.

#include "app/http_performance_page.h"
#include "app/performance_page.h"
#include "app/property_sheet_plus.h"
#include "app/spin_button.h"
#include "app_fixture.h"

#include <QCheckBox>
#include <QToolButton>

namespace {

constexpr unsigned kVersionNT4 = 0x0400;

struct PerformanceSheet {
    explicit PerformanceSheet(std::uint32_t startWorkers = 1)
        : workers(startWorkers), sheet(QStringLiteral("Server Settings"), nullptr)
    {
        page = sheet.AddPage(std::make_unique<CPerformancePage>(kVersionNT4, workers, concurrency));
    }
    // The settings sheet's values, which the page writes back.
    std::uint32_t workers;
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
        const char* failing; // the field that gets the focus
        std::uint32_t workersAfter;
        int restart;
    };
    const char* const range = "Please enter an integer between 0 and 32000.";
    const Case cases[] = {
        {"1", "0", nullptr, nullptr, 1, 0},
        {"2", "0", nullptr, nullptr, 2, 1},
        {"1", "4", nullptr, nullptr, 1, 1},
        {"32000", "0", nullptr, nullptr, 32000, 1},
        {"32001", "0", range, "edit1126", 1, 0},
        {"-1", "0", range, "edit1126", 1, 0},
        {"two", "0", "Please enter an integer.", "edit1126", 1, 0},
        {"1", "32001", range, "edit1127", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("workers ") + c.workers + ", concurrency " + c.concurrency);
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        PerformanceSheet s;
        runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(Find<QLineEdit>(dialog, "edit1126")->text(), "1");
            Retype(Find<QLineEdit>(dialog, "edit1126"), QString::fromLatin1(c.workers));
            Retype(Find<QLineEdit>(dialog, "edit1127"), QString::fromLatin1(c.concurrency));
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
            if (c.message) {
                EXPECT_TRUE(dialog.isVisible()) << "the page stays shown";
                EXPECT_EQ(dialog.focusWidget(), Find<QLineEdit>(dialog, c.failing));
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

// The arrows step up to 32767, past what may be typed, so a value stepped
// beyond 32000 is refused like a typed one.
TEST(PerformancePage, TheArrowsKeepTheirOwnRange)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    PerformanceSheet s(32000);
    runner.steps.push_back([&](QDialog& dialog) {
        auto* workers = Find<QLineEdit>(dialog, "edit1126");
        auto* spin = Find<CSpinButton>(dialog, "spin1133");
        auto* up = spin->findChild<QToolButton*>(QStringLiteral("up"));
        auto* down = spin->findChild<QToolButton*>(QStringLiteral("down"));
        const struct {
            const char* from;
            QToolButton* arrow;
            const char* to;
        } steps[] = {{"32000", up, "32001"}, {"32767", up, "32767"}, {"0", down, "0"}, {"x", up, "0"}};
        for (const auto& step : steps) {
            Retype(workers, QString::fromLatin1(step.from));
            QTest::mouseClick(step.arrow, Qt::LeftButton);
            EXPECT_EQ(workers->text(), step.to) << step.from;
        }
        Retype(workers, QStringLiteral("32000"));
        QTest::mouseClick(up, Qt::LeftButton);
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible()) << "refused, the sheet stays open";
        QTest::mouseClick(down, Qt::LeftButton);
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(s.sheet.DoModal(), kIdOk);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please enter an integer between 0 and 32000.");
    EXPECT_EQ(s.workers, 32000u);
    EXPECT_EQ(s.sheet.m_bRestart, 0);
}

TEST(HTTPPerformancePage, RestartFollowsTheHTTPServersOwnAnswer)
{
    struct Case {
        const char* field; // an edit to retype or a box to click
        const char* typed;
        const char* message;
        int restart;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, 0},
        {"edit1128", "256", nullptr, 1}, // the URL cache is sized when the server starts
        {"edit1128", "128", nullptr, 0}, // the default: no change
        {"edit1130", "30", nullptr, 1},
        {"edit1130", "65000", nullptr, 1},
        {"check1134", nullptr, nullptr, 1},
        {"check1135", nullptr, nullptr, 0},
        {"edit1129", "10", nullptr, 0},
        {"edit1129", "32001", "Please enter an integer between 0 and 32000.", 0},
        {"edit1130", "65001", "Please enter an integer between 0 and 65000.", 0},
        {"edit1128", "many", "Please enter a positive integer.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.field ? c.field : "nothing") + " " + (c.typed ? c.typed : ""));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CHTTPServerConfig config;
        CPropertySheetPlus sheet(QStringLiteral("Server"), nullptr);
        sheet.AddPage(std::make_unique<CHTTPPerformancePage>(kVersionNT4))->SetConfig(&config);
        runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(Find<QLineEdit>(dialog, "edit1128")->text(), "128");
            if (c.typed)
                Retype(Find<QLineEdit>(dialog, c.field), QString::fromLatin1(c.typed));
            else if (c.field)
                QTest::mouseClick(Find<QCheckBox>(dialog, c.field), Qt::LeftButton);
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
        if (!c.message && c.field && std::string(c.field) == "edit1128") {
            EXPECT_EQ(after.urlCacheSize, std::stoul(c.typed)) << "published to the configuration";
        }
        if (!c.message && c.field && std::string(c.field) == "check1134") {
            EXPECT_NE(config.GetSettings()->useFibers, CHTTPServerConfig().GetSettings()->useFibers);
        }
    }
}

} // namespace
