// The sheet as a whole: it opens as large as its largest page with only the
// first page filled, every page reads cleanly at that size (each saved as a
// screenshot), and a nested sheet edits a working copy that only its OK
// copies back, passing its restart mark up (the copy routines of the
// Servers page are run against a hive in settings_pages_test).

#include "app/app_fixture.h"
#include "app/http/http_performance_page.h"
#include "app/kit/nested_sheet.h"
#include "app/shared/about_page.h"
#include "app/shared/performance_page.h"
#include "app/shared/server_control_page.h"
#include "app/shared/servers_page.h"
#include "config/chat_config.h"
#include "config/http_global_config.h"
#include "proxy/proxy_settings.h"

#include <QCheckBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

std::string Describe(QSize size)
{
    return std::to_string(size.width()) + "x" + std::to_string(size.height());
}

TEST(SheetSize, OpensAsLargeAsItsLargestPageAndFillsOnlyWhatIsShown)
{
    // Servers, Performance, serVice and About as the settings sheet holds
    // them; then orders with another page first (H: a server's Performance).
    const std::string orders[] = {"SPVA", "AHP", "PS"};
    for (const std::string& order : orders) {
        SCOPED_TRACE(order);
        CHTTPGlobalConfig http;
        CChatGlobalConfig chat;
        CHTTPProxySettings proxy;
        CHTTPServerConfig server;
        std::uint32_t workers = 4, concurrency = 0;
        CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
        for (char page : order) {
            if (page == 'S')
                sheet.AddPage(std::make_unique<CServersPage>(http, chat, proxy));
            else if (page == 'P')
                sheet.AddPage(std::make_unique<CPerformancePage>(workers, concurrency));
            else if (page == 'H')
                sheet.AddPage(std::make_unique<CHTTPPerformancePage>())->SetConfig(&server);
            else if (page == 'V')
                sheet.AddPage(std::make_unique<CServerControlPage>());
            else
                sheet.AddPage(std::make_unique<CAboutPage>());
        }
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
            // One screenshot of each page, at the opening size of the sheet it sits in.
            const std::string name = order[static_cast<std::size_t>(i)] == 'H'
                                         ? "server-performance"
                                         : "settings-" + page->Title().toLower().toStdString();
            if (order == orders[0] || name == "server-performance") {
                std::filesystem::path file = ArtefactPath(name + ".png");
                EXPECT_TRUE(sheet.grab().save(QString::fromStdString(file.string()))) << file;
            }
        }
        sheet.hide();
    }
}

// Edits a number in a nested sheet's working copy; "restart" marks the sheet.
class NumberPage : public CPropertyPage {
public:
    explicit NumberPage(int& number) : CPropertyPage(QStringLiteral("Number")), m_number(number) {}
    QLineEdit* edit = nullptr;
    QCheckBox* restart = nullptr;

protected:
    void SetupUi() override
    {
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(edit = new QLineEdit(this));
        layout->addWidget(restart = new QCheckBox(QStringLiteral("restart"), this));
    }
    void DoDataExchange(CDataExchange& dx) override
    {
        dx.Text(edit, m_number);
        if (dx.m_bSaveAndValidate && restart->isChecked())
            SetRestart();
    }

private:
    int& m_number;
};

TEST(NestedSheet, OnlyOkCopiesTheWorkingCopyBackAndCarriesTheRestartMarkUp)
{
    struct Case {
        bool nestedOk;
        bool markRestart;
        int numberAfter;
        int restartAfter; // the outer sheet's mark
    };
    const Case cases[] = {{false, true, 5, 0}, {true, false, 42, 0}, {true, true, 42, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.nestedOk ? "OK" : "Cancel") + (c.markRestart ? " with restart" : ""));
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        int number = 5;
        NumberPage* nested = nullptr;
        std::optional<bool> answer;
        CPropertySheetPlus outer(QStringLiteral("Outer"), nullptr);
        auto* owner = outer.AddPage(std::make_unique<CPropertyPage>(QStringLiteral("Owner")));
        runner.steps.push_back([&](QDialog&) {
            answer = EditInNestedSheet(*owner, QStringLiteral("Nested"), number,
                                       [&](CPropertySheetPlus& sheet, int& copy) {
                                           nested = sheet.AddPage(std::make_unique<NumberPage>(copy));
                                       });
            QTest::mouseClick(outer.OkButton(), Qt::LeftButton);
        });
        runner.steps.push_back([&](QDialog& shown) {
            EXPECT_EQ(nested->edit->text(), "5") << "the copy starts from the original";
            Retype(nested->edit, QStringLiteral("42"));
            nested->restart->setChecked(c.markRestart);
            ASSERT_TRUE(nested->UpdateData(true));
            EXPECT_EQ(number, 5) << "the edit reached the copy only";
            auto& sheet = static_cast<CPropertySheetPlus&>(shown);
            QTest::mouseClick(c.nestedOk ? sheet.OkButton() : sheet.CancelButton(), Qt::LeftButton);
        });
        EXPECT_EQ(outer.DoModal(), kIdOk);
        EXPECT_EQ(runner.unscripted, 0);
        EXPECT_EQ(answer, std::optional<bool>(c.nestedOk));
        EXPECT_EQ(number, c.numberAfter);
        EXPECT_EQ(outer.m_bRestart, c.restartAfter);
    }
}

} // namespace
