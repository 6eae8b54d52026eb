// The desktop kit: the designed number reading and validation messages, the
// property sheet's page life cycle, and the list-page pattern, worked
// through the widgets.

#include "app/app_fixture.h"
#include "app/kit/data_exchange.h"
#include "app/kit/list_pattern.h"
#include "app/kit/property_sheet_plus.h"
#include "app/kit/spin_button.h"
#include "eventually.h"

#include <QComboBox>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <map>
#include <optional>

namespace {

TEST(DialogNumbers, ReadAsDesigned)
{
    struct Case {
        const char* text;
        std::optional<std::int32_t> asInt;
        std::optional<std::uint32_t> asUInt;
    };
    const Case cases[] = {
        {"80", 80, 80u},
        {" \t80\t ", 80, 80u},
        {"0", 0, 0u},
        {"  0  ", 0, 0u},
        {"000", 0, 0u},
        {"-0", std::nullopt, std::nullopt}, // 0 counts only when a 0 was read first
        {"+0", std::nullopt, std::nullopt},
        {"+7", 7, 7u},
        {"-1", -1, 4294967295u},            // unsigned: the complement, a range failure later
        {"-5", -5, 4294967291u},
        {"abc", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"   ", std::nullopt, std::nullopt},
        {"12abc", std::nullopt, std::nullopt},
        {"1 2", std::nullopt, std::nullopt},
        {"- 5", std::nullopt, std::nullopt},
        {"0x10", std::nullopt, std::nullopt},
        {"2147483647", 2147483647, 2147483647u},
        {"99999999999", 2147483647, 4294967295u}, // saturates, so the range test refuses it
        {"-99999999999", -2147483647 - 1, 1u},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDialogInt(c.text), c.asInt) << '"' << c.text << '"';
        EXPECT_EQ(ParseDialogUInt(c.text), c.asUInt) << '"' << c.text << '"';
    }
}

// A page with one validated number, counting what the sheet asks of it.
class CountingPage : public CPropertyPage {
public:
    CountingPage(const QString& title, std::int32_t value, bool restartOnChange = false)
        : CPropertyPage(title), value(value), m_restartOnChange(restartOnChange)
    {
    }
    void SetupUi() override
    {
        ++builds;
        auto* layout = new QVBoxLayout(this);
        edit = new QLineEdit(this);
        edit->setObjectName(QStringLiteral("number") + Title());
        layout->addWidget(edit);
        other = new QLineEdit(this);
        layout->addWidget(other);
    }
    void DoDataExchange(CDataExchange& dx) override
    {
        std::int32_t before = value;
        dx.Text(edit, value);
        dx.MinMaxInt(value, 0, 32000);
        if (dx.m_bSaveAndValidate && m_restartOnChange && value != before)
            SetRestart();
    }
    bool OnInitDialog() override
    {
        ++fills;
        return CPropertyPage::OnInitDialog();
    }
    void OnOK() override { ++oks; }

    QLineEdit* edit = nullptr;
    QLineEdit* other = nullptr;
    std::int32_t value;
    int builds = 0;
    int fills = 0;
    int oks = 0;

private:
    bool m_restartOnChange;
};

struct TwoPageSheet {
    TwoPageSheet() : sheet(QStringLiteral("Test Sheet"), nullptr)
    {
        first = sheet.AddPage(std::make_unique<CountingPage>(QStringLiteral("First"), 1, true));
        second = sheet.AddPage(std::make_unique<CountingPage>(QStringLiteral("Second"), 2));
    }
    CPropertySheetPlus sheet;
    CountingPage* first;
    CountingPage* second;
};

TEST(PropertySheet, PagesAreBuiltWhenFirstShownAndOkRunsTheActivePageOnly)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    TwoPageSheet s;
    runner.steps.push_back([&](QDialog&) {
        EXPECT_EQ(s.first->fills, 1);
        EXPECT_EQ(s.second->builds, 1) << "every page's controls exist, to size the sheet";
        EXPECT_EQ(s.second->fills, 0) << "a page never shown is never filled";
        EXPECT_EQ(s.second->edit->text(), "");
        EXPECT_EQ(s.first->edit->text(), "1");
        s.sheet.Tabs()->setCurrentIndex(1);
        EXPECT_EQ(s.second->fills, 1);
        EXPECT_EQ(s.second->edit->text(), "2");
        s.sheet.Tabs()->setCurrentIndex(0);
        s.sheet.Tabs()->setCurrentIndex(1);
        EXPECT_EQ(s.second->builds, 1) << "built once";
        EXPECT_EQ(s.second->fills, 1) << "filled once";
        Retype(s.second->edit, QStringLiteral("77"));
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(s.sheet.DoModal(), kIdOk);
    EXPECT_EQ(s.second->value, 77);
    EXPECT_EQ(s.second->oks, 1);
    EXPECT_EQ(s.first->oks, 0) << "OK processing runs on the active page only";
    EXPECT_EQ(s.sheet.m_bRestart, 0);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST(PropertySheet, AFailedExchangeKeepsThePageShownWithTheExactMessage)
{
    struct Case {
        const char* typed;
        const char* message;
    };
    const Case cases[] = {
        {"32001", "Please enter an integer between 0 and 32000."},
        {"-1", "Please enter an integer between 0 and 32000."},
        {"abc", "Please enter an integer."},
        {"", "Please enter an integer."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        TwoPageSheet s;
        runner.steps.push_back([&](QDialog& dialog) {
            Retype(s.first->edit, QString::fromLatin1(c.typed));
            s.first->other->setFocus();
            // Switching away is refused.
            s.sheet.Tabs()->setCurrentIndex(1);
            EXPECT_EQ(s.sheet.Tabs()->currentIndex(), 0);
            EXPECT_EQ(s.sheet.GetActiveIndex(), 0);
            EXPECT_EQ(s.second->fills, 0);
            EXPECT_EQ(QApplication::focusWidget(), s.first->edit) << "the failing field has the focus";
            // So is OK.
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
            EXPECT_TRUE(dialog.isVisible());
            EXPECT_EQ(s.first->oks, 0);
            // Mended, the switch goes through.
            Retype(s.first->edit, QStringLiteral("5"));
            s.sheet.Tabs()->setCurrentIndex(1);
            EXPECT_EQ(s.sheet.GetActiveIndex(), 1);
            QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
        });
        EXPECT_EQ(s.sheet.DoModal(), kIdOk);
        ASSERT_EQ(boxes.shown.size(), 2u);
        EXPECT_EQ(boxes.shown[0].text, c.message);
        EXPECT_EQ(boxes.shown[1].text, c.message);
        EXPECT_EQ(s.first->value, 5);
        EXPECT_EQ(s.sheet.m_bRestart, 1) << "the first page's change marks a restart";
    }
}

// Ctrl+Tab away from a refused value, with the real message box: once the
// box is gone the correction typed next lands in the refused field, as it
// does after a click on the tab, and the next Ctrl+Tab goes through.
TEST(PropertySheet, ARefusedCtrlTabLeavesTheFocusOnTheRefusedField)
{
    ScriptedRunner runner;
    TwoPageSheet s;
    int closed = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++closed;
            box->button(QMessageBox::Ok)->click();
        }
    });
    closer.start(10);
    runner.steps.push_back([&](QDialog& dialog) {
        Retype(s.first->edit, QStringLiteral("abc"));
        QTest::keyClick(s.first->edit, Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_EQ(closed, 1);
        EXPECT_EQ(s.sheet.GetActiveIndex(), 0);
        const auto focusOnField = [&] {
            QApplication::processEvents();
            return dialog.focusWidget() == s.first->edit;
        };
        ASSERT_TRUE(Eventually(focusOnField, 10000))
            << "focus on " << (dialog.focusWidget() ? dialog.focusWidget()->metaObject()->className() : "nothing");
        QTest::keyClicks(dialog.focusWidget(), QStringLiteral("7"));
        EXPECT_EQ(s.first->edit->text(), "7");
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_EQ(s.sheet.GetActiveIndex(), 1);
        EXPECT_EQ(closed, 1);
        QTest::mouseClick(s.sheet.OkButton(), Qt::LeftButton);
    });
    EXPECT_EQ(s.sheet.DoModal(), kIdOk);
    EXPECT_EQ(s.first->value, 7);
}

TEST(PropertySheet, EachRunStartsWithTheRestartFlagDown)
{
    ScriptedMessageBoxes boxes;
    ScriptedRunner runner;
    TwoPageSheet s;
    s.sheet.m_bRestart = 1;
    runner.steps.push_back([&](QDialog&) { QTest::mouseClick(s.sheet.CancelButton(), Qt::LeftButton); });
    EXPECT_EQ(s.sheet.DoModal(), kIdCancel);
    EXPECT_EQ(s.sheet.m_bRestart, 0);
    EXPECT_EQ(s.first->value, 1);
}

// A map-backed list page body: names folded to keys, as the pages keep them.
struct NameList {
    NameList()
    {
        auto* layout = new QVBoxLayout(&host);
        list = new QListWidget(&host);
        newButton = new QPushButton(QStringLiteral("New"), &host);
        editButton = new QPushButton(QStringLiteral("Edit"), &host);
        deleteButton = new QPushButton(QStringLiteral("Delete"), &host);
        for (QWidget* w : std::initializer_list<QWidget*>{list, newButton, editButton, deleteButton})
            layout->addWidget(w);
        pattern.entries = [this] {
            std::vector<CListPattern::Entry> lines;
            for (const auto& [key, shown] : names)
                lines.push_back({QString::fromStdString(shown), QString::fromStdString(key)});
            return lines;
        };
        pattern.onNew = [this]() -> std::optional<QString> {
            names[FoldKey(nextName)] = nextName;
            return QString::fromStdString(FoldKey(nextName));
        };
        pattern.onEdit = [this](const QString& key) -> std::optional<QString> {
            TakeForEdit<std::map<std::string, std::string>, std::string> taken(names, key.toStdString());
            edited.push_back(taken.OldKey());
            taken.value += "!";
            taken.PutBack(taken.OldKey());
            return key;
        };
        pattern.onDelete = [this](const QString& key) { names.erase(key.toStdString()); };
        names = {{"zeta", "zeta"}, {"alpha", "Alpha"}, {"beta", "beta"}};
        pattern.Attach(list, newButton, editButton, deleteButton);
        host.show();
    }
    QStringList Lines() const
    {
        QStringList lines;
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
    QWidget host;
    QListWidget* list;
    QPushButton* newButton;
    QPushButton* editButton;
    QPushButton* deleteButton;
    CListPattern pattern;
    std::map<std::string, std::string> names;
    std::string nextName = "Gamma";
    std::vector<std::string> edited;
};

TEST(ListPattern, SortsWithoutCaseSelectsTheChangedEntryAndGuardsEditAndDelete)
{
    NameList l;
    EXPECT_EQ(l.Lines(), (QStringList{"Alpha", "beta", "zeta"}));
    EXPECT_EQ(l.pattern.SelectedKey(), "alpha") << "the first line is selected";
    EXPECT_TRUE(l.editButton->isEnabled());

    QTest::mouseClick(l.newButton, Qt::LeftButton);
    EXPECT_EQ(l.Lines(), (QStringList{"Alpha", "beta", "Gamma", "zeta"}));
    EXPECT_EQ(l.pattern.SelectedKey(), "gamma") << "the new entry is selected";

    // A double click is Edit, on the line clicked.
    QListWidgetItem* beta = l.list->item(1);
    l.list->setCurrentItem(beta);
    emit l.list->itemDoubleClicked(beta);
    ASSERT_EQ(l.edited.size(), 1u);
    EXPECT_EQ(l.edited[0], "beta");
    EXPECT_EQ(l.Lines(), (QStringList{"Alpha", "beta!", "Gamma", "zeta"}));
    EXPECT_EQ(l.pattern.SelectedKey(), "beta");

    QTest::mouseClick(l.deleteButton, Qt::LeftButton);
    EXPECT_EQ(l.Lines(), (QStringList{"Alpha", "Gamma", "zeta"}));
    EXPECT_EQ(l.pattern.SelectedKey(), "alpha");

    l.names.clear();
    l.pattern.Refill();
    EXPECT_FALSE(l.editButton->isEnabled()) << "no selection, no Edit";
    EXPECT_FALSE(l.deleteButton->isEnabled());
    EXPECT_TRUE(l.newButton->isEnabled());
    QTest::mouseClick(l.editButton, Qt::LeftButton);
    EXPECT_TRUE(l.edited.size() == 1u);
}

TEST(DataExchange, ComboFindIsACaseInsensitivePrefixSearch)
{
    QWidget host;
    auto* combo = new QComboBox(&host);
    combo->setEditable(true);
    combo->addItems({"text/html", "text/plain", "image/gif"});
    struct Case {
        std::string value;
        int index;
        const char* shown;
    };
    const Case cases[] = {{"TEXT/P", 1, "text/plain"}, {"image", 2, "image/gif"}, {"audio/x", -1, "audio/x"}};
    for (const Case& c : cases) {
        std::string value = c.value;
        CDataExchange fill(&host, false);
        fill.ComboString(combo, value);
        EXPECT_EQ(combo->currentIndex(), c.index) << c.value;
        EXPECT_EQ(combo->currentText().toStdString(), c.shown) << c.value;
    }
}

} // namespace

namespace {

TEST(SpinButton, StepsWithinItsOwnRangeWhileTheEditTakesAnyText)
{
    QWidget host;
    auto* edit = new QLineEdit(&host);
    auto* spin = new CSpinButton(&host);
    spin->SetBuddy(edit);
    spin->SetRange(0, 32767);
    struct Case {
        const char* typed;
        QToolButton* button;
        const char* after;
    };
    const Case cases[] = {
        {"5", spin->UpButton(), "6"},      {"5", spin->DownButton(), "4"},
        {"0", spin->DownButton(), "0"},    {"32767", spin->UpButton(), "32767"},
        {"40000", spin->DownButton(), "32767"}, // typed beyond the arrows' range
        {"abc", spin->UpButton(), "0"},    {"-3", spin->UpButton(), "0"},
    };
    for (const Case& c : cases) {
        edit->setText(QString::fromLatin1(c.typed));
        QTest::mouseClick(c.button, Qt::LeftButton);
        EXPECT_EQ(edit->text(), c.after) << c.typed;
    }
}

} // namespace
