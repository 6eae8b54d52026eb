// The kit's list controls through their widgets: the simple combo (an edit
// over a list always shown), the list boxes' string and index exchange, and
// Up and Down on a list that keeps its own order.

#include "app/app_fixture.h"
#include "app/kit/data_exchange.h"
#include "app/kit/list_pattern.h"
#include "app/kit/simple_combo.h"

#include <QListWidget>
#include <QVBoxLayout>

namespace {

TEST(SimpleCombo, FindsAsTheListsDoAndExchangesTheFieldsText)
{
    QWidget host;
    auto* combo = new CSimpleCombo(&host);
    combo->SetSorted(true);
    combo->AddItems({"/docs/", "/Index.html", "/docs/a.html", "/img/logo.gif"});
    host.show();
    ASSERT_EQ(combo->ItemText(0), "/docs/") << "sorted without regard to case";
    ASSERT_EQ(combo->ItemText(2), "/img/logo.gif");
    ASSERT_EQ(combo->ItemText(3), "/Index.html");

    struct Case {
        std::string value; // filled in
        int index;         // the line selected
        const char* field; // the field's text
    };
    const Case cases[] = {
        {"/DOCS/A", 1, "/docs/a.html"},
        {"/index", 3, "/Index.html"},
        {"/none.txt", -1, "/none.txt"},
        {"", 0, "/docs/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::string value = c.value;
        CDataExchange fill(&host, false);
        fill.ComboString(combo, value);
        EXPECT_EQ(combo->CurrentIndex(), c.index);
        EXPECT_EQ(combo->Text(), c.field);
        std::string back;
        CDataExchange save(&host, true);
        save.ComboString(combo, back);
        EXPECT_EQ(back, c.field);
    }

    // Typing keeps the text typed while the list follows it.
    combo->SetText(QString());
    QTest::keyClicks(combo->Edit(), QStringLiteral("/IM"));
    EXPECT_EQ(combo->CurrentIndex(), 2);
    EXPECT_EQ(combo->Text(), "/IM");
    QTest::keyClicks(combo->Edit(), QStringLiteral("x"));
    EXPECT_EQ(combo->CurrentIndex(), -1);
    // A click on a line takes it into the field; a double click activates it.
    int activated = -1;
    QObject::connect(combo, &CSimpleCombo::activated, [&](int index) { activated = index; });
    QPoint line = combo->List()->visualItemRect(combo->List()->item(3)).center();
    QTest::mouseClick(combo->List()->viewport(), Qt::LeftButton, {}, line);
    EXPECT_EQ(combo->Text(), "/Index.html");
    QTest::mouseDClick(combo->List()->viewport(), Qt::LeftButton, {}, line);
    EXPECT_EQ(activated, 3);
}

TEST(DataExchange, ListStringAndIndexBothWays)
{
    QWidget host;
    auto* list = new QListWidget(&host);
    list->addItems({"Allow", "GET", "Reject", "group", "user"});
    host.show();
    struct Case {
        std::string text;  // ListString filled in
        int selected;      // the row selected, which ListIndex reads back
        std::string after; // ListString read back
    };
    const Case cases[] = {
        {"reject", 2, "Reject"}, {"g", 1, "GET"}, {"GR", 3, "group"}, {"users", -1, ""}, {"", 0, "Allow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        CDataExchange fill(&host, false);
        fill.ListString(list, text);
        EXPECT_EQ(list->selectedItems().size(), c.selected < 0 ? 0 : 1);
        EXPECT_EQ(list->currentRow(), c.selected);
        std::string after = "stale";
        int index = 99;
        CDataExchange save(&host, true);
        save.ListString(list, after);
        save.ListIndex(list, index);
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(index, c.selected);
    }
    for (int index : {4, 0, -1, 5, 17}) {
        SCOPED_TRACE(index);
        int value = index;
        CDataExchange fill(&host, false);
        fill.ListIndex(list, value);
        int back = 99;
        CDataExchange save(&host, true);
        save.ListIndex(list, back);
        EXPECT_EQ(back, index >= 0 && index < list->count() ? index : -1) << "a row outside selects nothing";
    }
}

TEST(ListPattern, UpAndDownMoveTheSelectedLineAndAreEnabledOnlyWhereItCanMove)
{
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    auto* list = new QListWidget(&host);
    auto* up = new QPushButton(QStringLiteral("&Up"), &host);
    auto* down = new QPushButton(QStringLiteral("&Down"), &host);
    auto* remove = new QPushButton(QStringLiteral("&Delete"), &host);
    for (QWidget* w : std::initializer_list<QWidget*>{list, up, down, remove})
        layout->addWidget(w);
    QStringList lines = {"a", "b", "c"};
    CListPattern pattern;
    pattern.entries = [&] {
        std::vector<CListPattern::Entry> shown;
        for (const QString& line : lines)
            shown.push_back({line, line});
        return shown;
    };
    pattern.onMove = [&](int from, int to) { lines.move(from, to); };
    pattern.onDelete = [&](const QString& key) { lines.removeOne(key); };
    pattern.Attach(list, nullptr, nullptr, remove, false);
    pattern.AttachOrderButtons(up, down);
    host.show();

    struct Step {
        int select;         // the row selected first, -1 for none
        QPushButton* press; // null: nothing pressed
        const char* order;  // the lines afterwards, as the page keeps them and the list shows them
        int selectedAfter;
        bool upEnabled;
        bool downEnabled;
    };
    const Step steps[] = {
        {0, nullptr, "abc", 0, false, true}, {0, down, "bac", 1, true, true},  {1, down, "bca", 2, true, false},
        {2, down, "bca", 2, true, false},     {2, up, "bac", 1, true, true},    {1, up, "abc", 0, false, true},
        {-1, nullptr, "abc", -1, false, false}, {1, remove, "ac", 0, false, true}, {0, remove, "c", 0, false, false},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::to_string(s.select) + " " + (s.press ? s.press->text().toStdString() : "-"));
        if (s.select < 0)
            list->clearSelection();
        else
            list->setCurrentRow(s.select);
        if (s.press)
            QTest::mouseClick(s.press, Qt::LeftButton);
        QStringList shown;
        for (int row = 0; row < list->count(); ++row)
            shown << list->item(row)->text();
        EXPECT_EQ(lines.join(QString()), s.order);
        EXPECT_EQ(shown, lines);
        EXPECT_EQ(pattern.SelectedRow(), s.selectedAfter);
        EXPECT_EQ(up->isEnabled(), s.upEnabled);
        EXPECT_EQ(down->isEnabled(), s.downEnabled);
    }
}

} // namespace
