// The sheet as a whole: it opens as large as its largest page with only the
// first page filled, every page reads cleanly at that size (each saved as a
// screenshot), and a nested sheet edits a working copy that only its OK
// copies back, passing its restart mark up.

#include "app/about_page.h"
#include "app/http_performance_page.h"
#include "app/nested_sheet.h"
#include "app/performance_page.h"
#include "app/server_control_page.h"
#include "app/servers_page.h"
#include "app_fixture.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "proxy/proxy_settings.h"

#include <QCheckBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

struct SettingsPages {
    CHTTPGlobalConfig http;
    CChatGlobalConfig chat;
    CHTTPProxySettings proxy;
    CHTTPServerConfig server;
    std::uint32_t workers = 4;
    std::uint32_t concurrency = 0;

    void AddTo(CPropertySheetPlus& sheet, const QStringList& order)
    {
        for (const QString& title : order) {
            if (title == "Servers")
                sheet.AddPage(std::make_unique<CServersPage>(http, chat, proxy));
            else if (title == "Performance")
                sheet.AddPage(std::make_unique<CPerformancePage>(workers, concurrency));
            else if (title == "Server Performance")
                sheet.AddPage(std::make_unique<CHTTPPerformancePage>())->SetConfig(&server);
            else if (title == "Service")
                sheet.AddPage(std::make_unique<CServerControlPage>());
            else
                sheet.AddPage(std::make_unique<CAboutPage>());
        }
    }
};

std::string Describe(QSize size)
{
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

TEST(SheetSize, OpensAsLargeAsItsLargestPageAndFillsOnlyWhatIsShown)
{
    const QStringList orders[] = {
        {"Servers", "Performance", "Service", "About"},
        {"About", "Server Performance", "Performance"},
        {"Performance", "Servers"},
    };
    for (const QStringList& order : orders) {
        SCOPED_TRACE(order.join(QLatin1Char(',')).toStdString());
        SettingsPages pages;
        CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
        pages.AddTo(sheet, order);
        sheet.show();
        QApplication::processEvents();
        const QSize opening = sheet.size();
        const QSize area = sheet.GetPage(0)->size();
        for (int i = 0; i < sheet.GetPageCount(); ++i) {
            CPropertyPage* page = sheet.GetPage(i);
            SCOPED_TRACE(page->Title().toStdString());
            EXPECT_EQ(page->IsCreated(), i == 0) << "only the page shown is filled";
            EXPECT_GE(area.width(), page->sizeHint().width()) << Describe(area);
            EXPECT_GE(area.height(), page->sizeHint().height()) << Describe(area);
            if (page->hasHeightForWidth()) {
                EXPECT_GE(area.height(), page->heightForWidth(area.width())) << Describe(area);
            }
        }
        for (int i = 0; i < sheet.GetPageCount(); ++i) {
            CPropertyPage* page = sheet.GetPage(i);
            sheet.Tabs()->setCurrentIndex(i);
            QApplication::processEvents();
            ASSERT_EQ(sheet.GetActiveIndex(), i);
            EXPECT_EQ(ReadingFault(*page), "") << page->Title().toStdString();
            EXPECT_EQ(Describe(sheet.size()), Describe(opening))
                << "showing " << page->Title().toStdString() << " resized the sheet";
            if (order == orders[0]) {
                std::filesystem::path file =
                    ArtefactPath("settings-" + page->Title().toLower().toStdString() + ".png");
                EXPECT_TRUE(sheet.grab().save(QString::fromStdString(file.string()))) << file;
            }
        }
        sheet.hide();
    }
}

// What a nested sheet edits: a value, and how often the copy routine ran.
struct Tally {
    int value = 0;
};

class TallyPage : public CPropertyPage {
public:
    explicit TallyPage(Tally& tally) : CPropertyPage(QStringLiteral("Tally")), m_tally(tally) {}
    QLineEdit* edit = nullptr;
    QCheckBox* restart = nullptr;

protected:
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        edit = new QLineEdit(this);
        restart = new QCheckBox(QStringLiteral("restart"), this);
        layout->addWidget(edit);
        layout->addWidget(restart);
    }
    void DoDataExchange(CDataExchange& dx) override
    {
        dx.Text(edit, m_tally.value);
        if (dx.m_bSaveAndValidate && restart->isChecked())
            SetRestart();
    }

private:
    Tally& m_tally;
};

// A page with a button that edits its tally in a nested sheet.
class OwnerPage : public CPropertyPage {
public:
    OwnerPage(Tally& tally, bool withCopyRoutine)
        : CPropertyPage(QStringLiteral("Owner")), m_tally(tally), m_withCopyRoutine(withCopyRoutine)
    {
    }
    QPushButton* button = nullptr;
    TallyPage* nested = nullptr;
    int copies = 0;
    std::optional<bool> answer;
    int valueWhileNestedRan = -1;

protected:
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        button = new QPushButton(QStringLiteral("Edit..."), this);
        layout->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this] {
            auto pages = [this](CPropertySheetPlus& sheet, Tally& copy) {
                nested = sheet.AddPage(std::make_unique<TallyPage>(copy));
            };
            if (m_withCopyRoutine) {
                auto copy = [this](Tally& to, const Tally& from) {
                    ++copies;
                    to = from;
                };
                answer = EditInNestedSheet(*this, QStringLiteral("Nested"), m_tally, copy, pages);
            } else {
                answer = EditInNestedSheet(*this, QStringLiteral("Nested"), m_tally, pages);
            }
        });
    }

private:
    Tally& m_tally;
    bool m_withCopyRoutine;
};

TEST(NestedSheet, OnlyOkCopiesTheWorkingCopyBackAndCarriesTheRestartMarkUp)
{
    struct Case {
        bool withCopyRoutine;
        bool nestedOk;
        bool markRestart;
        int valueAfter;
        int restartAfter; // the outer sheet's mark
        int copies;       // copy routine runs
    };
    const Case cases[] = {
        {false, false, true, 5, 0, 0}, {false, true, false, 42, 0, 0}, {false, true, true, 42, 1, 0},
        {true, false, true, 5, 0, 1},  {true, true, false, 42, 0, 2},  {true, true, true, 42, 1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.withCopyRoutine ? "copy routine, " : "assignment, ") +
                     (c.nestedOk ? "OK" : "Cancel") + (c.markRestart ? " with restart" : ""));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        Tally tally{5};
        CPropertySheetPlus outer(QStringLiteral("Outer"), nullptr);
        auto* owner = outer.AddPage(std::make_unique<OwnerPage>(tally, c.withCopyRoutine));
        runner.steps.push_back([&](QDialog&) {
            QTest::mouseClick(owner->button, Qt::LeftButton);
            QTest::mouseClick(outer.OkButton(), Qt::LeftButton);
        });
        runner.steps.push_back([&](QDialog& nested) {
            ASSERT_NE(owner->nested, nullptr);
            EXPECT_EQ(owner->nested->edit->text(), "5") << "the copy starts from the original";
            Retype(owner->nested->edit, QStringLiteral("42"));
            owner->nested->restart->setChecked(c.markRestart);
            auto& sheet = static_cast<CPropertySheetPlus&>(nested);
            if (c.nestedOk) {
                // The exchange back has reached the copy, not the original.
                ASSERT_TRUE(owner->nested->UpdateData(true));
                EXPECT_EQ(tally.value, 5);
            }
            QTest::mouseClick(c.nestedOk ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(outer.DoModal(), kIdOk);
        EXPECT_EQ(runner.runs, 2);
        EXPECT_EQ(runner.unscripted, 0);
        ASSERT_TRUE(owner->answer.has_value());
        EXPECT_EQ(*owner->answer, c.nestedOk);
        EXPECT_EQ(tally.value, c.valueAfter);
        EXPECT_EQ(outer.m_bRestart, c.restartAfter);
        EXPECT_EQ(owner->copies, c.copies);
    }
}

} // namespace
