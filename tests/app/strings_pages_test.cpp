// The Strings and Macros pages and the Edit String dialog as a person works
// them: the default and description shown for a name, the designed
// refusal of a duplicate, what reaches the scope, and the restart mark.

#include "app/shared/edit_string_dialog.h"
#include "app/shared/macros_page.h"
#include "app/shared/strings_page.h"
#include "macro/macro_context.h"
#include "page_harness.h"
#include "resources/string_table.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>

#include <map>

namespace {

constexpr const char* kStringDuplicate =
    "A string with this name already exists.  Each string must have a unique name.  Please choose a different name.";

std::map<std::string, std::string> Strings(const CMacroContext& scope)
{
    std::map<std::string, std::string> strings;
    std::string name;
    std::string text;
    for (CMacroContext::Position at = scope.GetStartPosition(); at != CMacroContext::kNoPosition;) {
        scope.GetNextMacro(at, name, text);
        strings[name] = text;
    }
    return strings;
}

std::string Entry(unsigned id) { return LoadStringById(id) ? LoadStringById(id) : "<missing>"; }

void Retype(QPlainTextEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    // Lines are typed with Enter between them.
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClicks(edit, lines[i]);
    }
}

struct DefaultCase {
    const char* name;
    bool choose; // from the list, else typed
    std::string shownDefault;
    std::string shownDescription;
};

TEST(EditStringDialog, ShowsTheDefaultAndDescriptionOfTheName)
{
    const DefaultCase cases[] = {
        {"http-badurl", true, Entry(10003), Entry(12003)},
        {"HTTP-BadURL", false, Entry(10003), Entry(12003)},
        // A default made of four entries shows them joined.
        {"http-dir", true, Entry(10010) + Entry(10011) + Entry(10012) + Entry(10013), Entry(12010)},
        {"my-page", false, "<none>", ""},
    };
    ASSERT_NE(Entry(10003).find("404 URL Not Found"), std::string::npos);
    for (const DefaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        CMacroContext scope;
        ScriptedRunner runner;
        CEditStringDialog dialog(scope, kHttpDefaultStrings, nullptr);
        runner.steps.push_back([&](QDialog& shown) {
            auto* combo = Control<QComboBox>(shown, 1057);
            auto* ok = Control<QPushButton>(shown, 1);
            EXPECT_FALSE(ok->isEnabled()) << "no name yet";
            EXPECT_EQ(Control<QPlainTextEdit>(shown, 1026)->toPlainText(), "<none>");
            if (c.choose)
                combo->setCurrentIndex(combo->findText(c.name, Qt::MatchExactly));
            else
                QTest::keyClicks(combo->lineEdit(), c.name);
            EXPECT_EQ(Control<QPlainTextEdit>(shown, 1026)->toPlainText().toStdString(), c.shownDefault);
            EXPECT_EQ(Control<QLabel>(shown, 1055)->text().toStdString(), c.shownDescription);
            EXPECT_TRUE(ok->isEnabled());
            Retype(Control<QPlainTextEdit>(shown, 1053), "line one\nline two");
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        ASSERT_EQ(dialog.DoModal(), kIdOk);
        EXPECT_EQ(dialog.Name, c.name);
        EXPECT_EQ(dialog.Text, "line one\nline two") << "Enter is a new line, not OK";
    }
}

// Fills the Edit String dialog (name typed over what it shows) and presses
// OK; a refused OK is followed by Cancel.
ScriptedRunner::Step FillString(QString name, QString text, bool* accepted)
{
    return [=](QDialog& dialog) {
        auto* combo = Control<QComboBox>(dialog, 1057);
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), name);
        Retype(Control<QPlainTextEdit>(dialog, 1053), text);
        *accepted = OkOrElseCancel(dialog);
    };
}

TEST(StringsPage, NewEditAndDeleteReachTheScopeAndMarkARestart)
{
    CMacroContext scope;
    scope.SetStringMacro("http-badurl", "gone");
    PageHarness<CStringsPage> h(std::make_unique<CStringsPage>(scope, kHttpDefaultStrings));
    auto* list = Control<QListWidget>(h.sheet, 1051);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"http-badurl\tgone"}));

    // Only letter case differs: refused, and nothing changed.
    bool accepted = true;
    h.runner.steps.push_back(FillString("HTTP-BADURL", "other", &accepted));
    Click(h.sheet, 1177);
    EXPECT_FALSE(accepted);
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text, kStringDuplicate);
    EXPECT_EQ(h.sheet.m_bRestart, 0);

    h.runner.steps.push_back(FillString("HTTP-NoAuth", "who?", &accepted));
    Click(h.sheet, 1177);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(h.sheet.m_bRestart, 1);
    EXPECT_EQ(Strings(scope), (std::map<std::string, std::string>{{"http-badurl", "gone"}, {"http-noauth", "who?"}}));
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"http-badurl\tgone", "http-noauth\twho?"}));

    // Keeping the name is no duplicate; renaming onto another is refused,
    // and Cancel then restores the string as it was.
    h.sheet.m_bRestart = 0;
    SelectLine(list, "http-badurl\tgone");
    h.runner.steps.push_back([](QDialog& dialog) {
        EXPECT_EQ(Control<QComboBox>(dialog, 1057)->currentText(), "http-badurl");
        Retype(Control<QPlainTextEdit>(dialog, 1053), "not here");
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    });
    DoubleClickLine(list, list->currentRow());
    EXPECT_EQ(h.sheet.m_bRestart, 1);
    SelectLine(list, "http-badurl\tnot here");
    h.runner.steps.push_back(FillString("http-noauth", "clobbered", &accepted));
    Click(h.sheet, 1178);
    EXPECT_FALSE(accepted);
    ASSERT_EQ(h.boxes.shown.size(), 2u);
    EXPECT_EQ(h.boxes.shown[1].text, kStringDuplicate);
    EXPECT_EQ(Strings(scope),
              (std::map<std::string, std::string>{{"http-badurl", "not here"}, {"http-noauth", "who?"}}));

    h.sheet.m_bRestart = 0;
    SelectLine(list, "http-noauth\twho?");
    Click(h.sheet, 1179);
    EXPECT_EQ(Strings(scope), (std::map<std::string, std::string>{{"http-badurl", "not here"}}));
    EXPECT_EQ(h.sheet.m_bRestart, 1);
    EXPECT_EQ(h.boxes.shown.size(), 2u) << "Delete asks nothing";
    EXPECT_EQ(h.runner.unscripted, 0);
}

TEST(MacrosPage, OnlyAChangedTextMarksARestart)
{
    for (bool change : {false, true}) {
        SCOPED_TRACE(change);
        std::string initMacro = "%set x 1%";
        CPropertySheetPlus sheet(QStringLiteral("Server Settings"), nullptr);
        sheet.AddPage(std::make_unique<CMacrosPage>(&initMacro));
        sheet.AddPage(std::make_unique<CMacrosPage>(nullptr));
        sheet.show();
        QApplication::processEvents();
        auto* edit = Control<QPlainTextEdit>(*sheet.GetPage(0), 1023);
        EXPECT_EQ(edit->toPlainText(), "%set x 1%");
        if (change)
            Retype(edit, "%set x 2%");
        // Leaving the page runs its exchange.
        sheet.Tabs()->setCurrentIndex(1);
        QApplication::processEvents();
        EXPECT_EQ(sheet.GetActiveIndex(), 1);
        EXPECT_EQ(initMacro, change ? "%set x 2%" : "%set x 1%");
        EXPECT_EQ(sheet.m_bRestart, change ? 1 : 0);
        sheet.hide();
    }
}

TEST(StringsAndMacrosPages, Screenshots)
{
    CMacroContext scope;
    scope.SetStringMacro("http-badurl", "<html><body>Nothing at %url%.</body></html>");
    scope.SetStringMacro("copyright", "Example Inc.");
    {
        PageHarness<CStringsPage> h(std::make_unique<CStringsPage>(scope, kHttpDefaultStrings));
        SaveScreenshot(h.sheet, "strings_page");
        SelectLine(Control<QListWidget>(h.sheet, 1051), "copyright\tExample Inc.");
        h.runner.steps.push_back([](QDialog& dialog) {
            auto* combo = Control<QComboBox>(dialog, 1057);
            combo->setCurrentIndex(combo->findText("http-badurl"));
            QApplication::processEvents();
            SaveScreenshot(dialog, "edit_string_dialog");
        });
        Click(h.sheet, 1177);
    }
    std::string initMacro = "%set greeting Hello%";
    PageHarness<CMacrosPage> h(std::make_unique<CMacrosPage>(&initMacro));
    SaveScreenshot(h.sheet, "macros_page");
}

} // namespace
