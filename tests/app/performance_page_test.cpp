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
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr unsigned kVersionNT4 = 0x0400;

// A second page to leave the Performance page for.
class EmptyPage : public CPropertyPage {
public:
    EmptyPage() : CPropertyPage(QStringLiteral("Other")) {}
};

struct PerformanceSheet {
    PerformanceSheet(std::uint32_t workers, std::uint32_t concurrency)
        : workers(workers), concurrency(concurrency), sheet(QStringLiteral("Server Settings"), nullptr)
    {
        page = sheet.AddPage(std::make_unique<CPerformancePage>(kVersionNT4, this->workers, this->concurrency));
        sheet.AddPage(std::make_unique<EmptyPage>());
    }
    // The settings sheet's values, which the page writes back.
    std::uint32_t workers;
    std::uint32_t concurrency;
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
    const Case cases[] = {
        {"1", "0", nullptr, nullptr, 1, 0},
        {"2", "0", nullptr, nullptr, 2, 1},
        {"1", "4", nullptr, nullptr, 1, 1},
        {"32000", "0", nullptr, nullptr, 32000, 1},
        {"0", "0", nullptr, nullptr, 0, 1},
        {"32001", "0", "Please enter an integer between 0 and 32000.", "edit1126", 1, 0},
        {"-1", "0", "Please enter an integer between 0 and 32000.", "edit1126", 1, 0},
        {"two", "0", "Please enter an integer.", "edit1126", 1, 0},
        {"1", "32001", "Please enter an integer between 0 and 32000.", "edit1127", 1, 0},
        {"1", "", "Please enter an integer.", "edit1127", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("workers ") + c.workers + ", concurrency " + c.concurrency);
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        PerformanceSheet s(1, 0);
        runner.steps.push_back([&](QDialog&) {
            auto* workers = Find<QLineEdit>(*s.page, "edit1126");
            auto* concurrency = Find<QLineEdit>(*s.page, "edit1127");
            EXPECT_EQ(workers->text(), "1");
            EXPECT_EQ(concurrency->text(), "0");
            Retype(workers, QString::fromLatin1(c.workers));
            Retype(concurrency, QString::fromLatin1(c.concurrency));
            s.sheet.Tabs()->setCurrentIndex(1);
            if (c.message) {
                EXPECT_EQ(s.sheet.GetActiveIndex(), 0) << "the page stays shown";
                EXPECT_EQ(s.sheet.Tabs()->currentIndex(), 0);
                EXPECT_TRUE(Find<QLineEdit>(*s.page, c.failing)->hasFocus());
                s.sheet.CancelButton()->click();
                return;
            }
            EXPECT_EQ(s.sheet.GetActiveIndex(), 1);
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
        });
        int result = s.sheet.DoModal();
        EXPECT_EQ(result, c.message ? kIdCancel : kIdOk);
        if (c.message) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, c.message);
        } else {
            EXPECT_TRUE(boxes.shown.empty());
        }
        EXPECT_EQ(s.workers, c.workersAfter) << "only values that passed reach the sheet";
        EXPECT_LE(s.concurrency, 32000u);
        EXPECT_EQ(s.sheet.m_bRestart, c.restart);
    }
}

// The arrows step up to 32767, past what may be typed, so a value stepped
// beyond 32000 is refused like a typed one.
TEST(PerformancePage, TheArrowsKeepTheirOwnRange)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    PerformanceSheet s(32000, 0);
    runner.steps.push_back([&](QDialog&) {
        auto* workers = Find<QLineEdit>(*s.page, "edit1126");
        auto* spin = Find<CSpinButton>(*s.page, "spin1133");
        auto* up = spin->findChild<QToolButton*>(QStringLiteral("up"));
        auto* down = spin->findChild<QToolButton*>(QStringLiteral("down"));
        QTest::mouseClick(up, Qt::LeftButton);
        EXPECT_EQ(workers->text(), "32001");
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
        EXPECT_TRUE(s.sheet.isVisible()) << "refused, the sheet stays open";
        Retype(workers, QStringLiteral("32767"));
        QTest::mouseClick(up, Qt::LeftButton);
        EXPECT_EQ(workers->text(), "32767");
        Retype(workers, QStringLiteral("0"));
        QTest::mouseClick(down, Qt::LeftButton);
        EXPECT_EQ(workers->text(), "0");
        QTest::keyClick(workers, Qt::Key_Up);
        EXPECT_EQ(workers->text(), "1");
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(s.sheet.DoModal(), kIdOk);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Please enter an integer between 0 and 32000.");
    EXPECT_EQ(s.workers, 1u);
    EXPECT_EQ(s.sheet.m_bRestart, 1);
}

struct HTTPPerformanceSheet {
    HTTPPerformanceSheet() : sheet(QStringLiteral("Server"), nullptr)
    {
        page = sheet.AddPage(std::make_unique<CHTTPPerformancePage>(kVersionNT4));
        page->SetConfig(&config);
    }
    CHTTPServerConfig config;
    CPropertySheetPlus sheet;
    CHTTPPerformancePage* page;
};

TEST(HTTPPerformancePage, RestartFollowsTheHTTPServersOwnAnswer)
{
    enum Field { None, Pooled, CacheSize, CacheTimeout, Accept, KeepAlive };
    struct Case {
        Field field;
        const char* typed; // for the edits
        const char* message;
        int restart;
    };
    const Case cases[] = {
        {None, nullptr, nullptr, 0},
        {CacheSize, "256", nullptr, 1}, // the URL cache is sized when the server starts
        {CacheSize, "128", nullptr, 0},
        {CacheTimeout, "30", nullptr, 1},
        {Pooled, nullptr, nullptr, 1},
        {Accept, nullptr, nullptr, 0},
        {KeepAlive, "10", nullptr, 0},
        {KeepAlive, "32001", "Please enter an integer between 0 and 32000.", 0},
        {CacheTimeout, "65001", "Please enter an integer between 0 and 65000.", 0},
        {CacheTimeout, "65000", nullptr, 1},
        {CacheSize, "many", "Please enter a positive integer.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.field) + " " + (c.typed ? c.typed : "-"));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        HTTPPerformanceSheet s;
        const CHTTPSettings before = *s.config.GetHTTPSettings();
        const std::uint32_t fibersBefore = s.config.GetSettings()->useFibers;
        runner.steps.push_back([&](QDialog&) {
            auto* size = Find<QLineEdit>(*s.page, "edit1128");
            auto* timeout = Find<QLineEdit>(*s.page, "edit1130");
            auto* keepAlive = Find<QLineEdit>(*s.page, "edit1129");
            EXPECT_EQ(size->text().toUInt(), before.urlCacheSize);
            EXPECT_EQ(timeout->text().toUInt(), before.urlCacheFlushInterval);
            EXPECT_EQ(keepAlive->text().toUInt(), before.keepAliveTimeout);
            switch (c.field) {
            case Pooled:
                QTest::mouseClick(Find<QCheckBox>(*s.page, "check1134"), Qt::LeftButton);
                break;
            case Accept:
                QTest::mouseClick(Find<QCheckBox>(*s.page, "check1135"), Qt::LeftButton);
                break;
            case CacheSize:
                Retype(size, QString::fromLatin1(c.typed));
                break;
            case CacheTimeout:
                Retype(timeout, QString::fromLatin1(c.typed));
                break;
            case KeepAlive:
                Retype(keepAlive, QString::fromLatin1(c.typed));
                break;
            case None:
                break;
            }
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
            if (c.message) {
                EXPECT_TRUE(s.sheet.isVisible());
                s.sheet.CancelButton()->click();
            }
        });
        EXPECT_EQ(s.sheet.DoModal(), c.message ? kIdCancel : kIdOk);
        if (c.message) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, c.message);
            EXPECT_EQ(s.config.GetHTTPSettings()->urlCacheSize, before.urlCacheSize) << "a refused page publishes nothing";
        } else {
            EXPECT_TRUE(boxes.shown.empty());
        }
        EXPECT_EQ(s.sheet.m_bRestart, c.restart);
        const CHTTPSettings& after = *s.config.GetHTTPSettings();
        if (!c.message) {
            EXPECT_EQ(s.config.GetSettings()->useFibers != fibersBefore, c.field == Pooled);
            EXPECT_EQ(after.checkAccept != before.checkAccept, c.field == Accept);
            if (c.field == CacheSize) {
                EXPECT_EQ(after.urlCacheSize, std::stoul(c.typed));
            } else if (c.field == KeepAlive) {
                EXPECT_EQ(after.keepAliveTimeout, std::stoul(c.typed));
            } else if (c.field == CacheTimeout) {
                EXPECT_EQ(after.urlCacheFlushInterval, std::stoul(c.typed));
            }
        }
    }
}

} // namespace
