// The Virtual Paths, Redirections and CGI Extensions pages and their
// dialogs as a person works them: what reaches the maps, which designed
// message a refusal shows, the OK button's state, and that no edit marks
// the sheet for a restart.

#include "app/http/cgi_extensions_page.h"
#include "app/http/redirections_page.h"
#include "app/http/virtual_paths_page.h"
#include "config/cgi_mapping.h"
#include "config/string_maps.h"
#include "config/virtual_path.h"
#include "page_harness.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <algorithm>
#include <functional>
#include <tuple>

namespace {

constexpr const char* kPathDuplicate =
    "There is already a virtual path with this name.  Virtual path names must be unique.";
constexpr const char* kPathInvalid = "The virtual path name contains invalid characters.";
constexpr const char* kCGIInvalid = "The specified CGI extension contains illegal characters.";
constexpr const char* kCGIDuplicate = "A command line for the CGI extension already exists for this extension.  "
                                      "Each extension can have only one command line mapped to it.";

// Types into the dialog's edits (id, text), presses OK and records whether
// it closed; a refused OK is followed by Cancel.
ScriptedRunner::Step Fill(std::vector<std::pair<int, QString>> edits, bool* accepted, int protocol = -2)
{
    return [=](QDialog& dialog) {
        for (const auto& [id, text] : edits)
            Retype(Control<QLineEdit>(dialog, id), text);
        if (protocol != -2)
            Control<QComboBox>(dialog, 1117)->setCurrentIndex(protocol);
        *accepted = OkOrElseCancel(dialog);
    };
}

struct NewCase {
    const char* name;
    const char* message; // null: accepted
    const char* key;
};

TEST(VirtualPathsPage, NewPathIsStoredFoldedOrRefusedWithTheDesignedMessage)
{
    const NewCase cases[] = {
        {"Docs", nullptr, "docs"},      {"v1.0", nullptr, "v1.0"},      {"CGI-BIN", kPathDuplicate, nullptr},
        {"my docs", kPathInvalid, nullptr}, {"a/b", kPathInvalid, nullptr}, {"a\\b", kPathInvalid, nullptr},
        {"a:b", kPathInvalid, nullptr},
    };
    for (const NewCase& c : cases) {
        SCOPED_TRACE(c.name);
        CVirtualPathMap paths;
        CVirtualPath cgi;
        cgi.Location = "/srv/cgi";
        paths.SetAt("cgi-bin", cgi);
        PageHarness<CVirtualPathsPage> h(std::make_unique<CVirtualPathsPage>(paths, nullptr, nullptr));
        bool accepted = false;
        h.runner.steps.push_back(Fill({{1024, c.name}, {1025, "/usr"}}, &accepted));
        Click(h.sheet, 1185);
        EXPECT_EQ(accepted, c.message == nullptr);
        if (c.message) {
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
            EXPECT_EQ(paths.GetCount(), 1u);
        } else {
            EXPECT_TRUE(h.boxes.shown.empty());
            EXPECT_EQ(Lines(Control<QListWidget>(h.sheet, 1023)),
                      (std::vector<std::string>{"cgi-bin\t/srv/cgi", std::string(c.key) + "\t/usr"}));
        }
        EXPECT_EQ(h.sheet.m_bRestart, 0);
    }
}

// A location that is no folder here would make the server answer 404 to
// every request below the path: it is refused, naming the location.
TEST(VirtualPathsPage, ALocationThatDoesNotExistIsRefused)
{
    CVirtualPathMap paths;
    PageHarness<CVirtualPathsPage> h(std::make_unique<CVirtualPathsPage>(paths, nullptr, nullptr));
    h.runner.steps.push_back([&](QDialog& dialog) {
        Retype(Control<QLineEdit>(dialog, 1024), "Papers");
        Retype(Control<QLineEdit>(dialog, 1025), "/no/such/folder");
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        EXPECT_TRUE(dialog.isVisible()) << "the dialog stays with what was typed";
        EXPECT_EQ(dialog.focusWidget(), Control<QLineEdit>(dialog, 1025));
        EXPECT_EQ(Control<QLineEdit>(dialog, 1025)->text(), "/no/such/folder");
        QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
    });
    Click(h.sheet, 1185);
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text,
              "The location \"/no/such/folder\" does not exist.  Please enter an existing folder.");
    EXPECT_EQ(paths.GetCount(), 0u);
}

TEST(VirtualPathsPage, EditKeepsOrRestoresThePathAndItsOwnMappings)
{
    CVirtualPathMap paths;
    CVirtualPath docs;
    docs.Location = "/srv/docs";
    docs.CGIExt.SetAt("pl", CCGIMapping{"/usr/bin/perl %cgi-script%", "", kCGIProtocolCGI, 1});
    paths.SetAt("docs", docs);
    PageHarness<CVirtualPathsPage> h(std::make_unique<CVirtualPathsPage>(paths, nullptr, nullptr));
    auto* list = Control<QListWidget>(h.sheet, 1023);
    auto mappings = [&] {
        CVirtualPath held;
        CEventLockHolder hold(paths.GetLock());
        EXPECT_TRUE(paths.Lookup("docs", held));
        std::vector<std::string> keys;
        for (const auto& entry : held.CGIExt.GetEntriesAsHeld())
            keys.push_back(entry.first);
        return keys;
    };
    // OK unchanged is no duplicate; the OK button follows both edits.
    SelectLine(list, "docs\t/srv/docs");
    h.runner.steps.push_back([](QDialog& dialog) {
        auto* ok = Control<QPushButton>(dialog, 1);
        EXPECT_TRUE(ok->isEnabled());
        Retype(Control<QLineEdit>(dialog, 1025), "");
        EXPECT_FALSE(ok->isEnabled());
        Retype(Control<QLineEdit>(dialog, 1025), "/usr/share");
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    DoubleClickLine(list, 0);
    EXPECT_TRUE(h.boxes.shown.empty());
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"docs\t/usr/share"}));

    // A mapping added in the CGI sheet is kept only when that sheet is accepted.
    for (bool sheetOk : {false, true}) {
        SCOPED_TRACE(sheetOk);
        SelectLine(list, "docs\t/usr/share");
        bool added = false;
        h.runner.steps.push_back([&](QDialog& dialog) {
            h.runner.steps.push_back([&](QDialog& sheet) {
                EXPECT_EQ(sheet.windowTitle(), "Virtual Path CGI Extension Mappings");
                h.runner.steps.push_back(Fill({{1017, "sh"}, {1094, "/bin/sh %cgi-script%"}}, &added));
                Click(sheet, 1136);
                auto& plus = static_cast<CPropertySheetPlus&>(sheet);
                QTest::mouseClick(sheetOk ? plus.OkButton() : plus.CancelButton(), Qt::LeftButton);
            });
            Click(dialog, 1038);
            QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        });
        Click(h.sheet, 1186);
        EXPECT_TRUE(added);
        EXPECT_EQ(mappings(), sheetOk ? (std::vector<std::string>{"pl", "sh"}) : (std::vector<std::string>{"pl"}));
    }
    // Cancel after the ACL editor and a refused rename leaves the path as it was.
    SelectLine(list, "docs\t/usr/share");
    h.runner.steps.push_back([&](QDialog& dialog) {
        h.runner.steps.push_back([](QDialog& acl) { EXPECT_EQ(Control<QListWidget>(acl, 1037)->count(), 0); });
        Click(dialog, 1184);
        Retype(Control<QLineEdit>(dialog, 1024), "bad name");
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
    });
    Click(h.sheet, 1186);
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text, kPathInvalid);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"docs\t/usr/share"}));
    EXPECT_EQ(mappings(), (std::vector<std::string>{"pl", "sh"}));
    Click(h.sheet, 1187);
    EXPECT_EQ(paths.GetCount(), 0u);
    EXPECT_FALSE(Control<QPushButton>(h.sheet, 1186)->isEnabled());
    EXPECT_EQ(h.runner.unscripted, 0);
    EXPECT_EQ(h.sheet.m_bRestart, 0);
}

TEST(RedirectionsPage, NewReplacesByFoldedKeyEditCancelKeepsAndDeleteAsksNothing)
{
    CRedirectionMap redirections;
    PageHarness<CRedirectionsPage> h(std::make_unique<CRedirectionsPage>(redirections));
    auto* list = Control<QListWidget>(h.sheet, 1063);
    struct Step {
        const char* url;
        const char* target;
        std::vector<std::string> lines;
    };
    const Step steps[] = {
        {"/Old/Index.html", "/New/Start.html", {"/old/index.html\t/New/Start.html"}},
        {"/OLD/index.html", "/Elsewhere.html", {"/old/index.html\t/Elsewhere.html"}},
        {"/a", "/b", {"/a\t/b", "/old/index.html\t/Elsewhere.html"}},
    };
    for (const Step& s : steps) {
        bool accepted = false;
        h.runner.steps.push_back([&](QDialog& dialog) {
            auto* ok = Control<QPushButton>(dialog, 1);
            EXPECT_FALSE(ok->isEnabled());
            Retype(Control<QLineEdit>(dialog, 1064), s.url);
            EXPECT_FALSE(ok->isEnabled()) << "no target yet";
            Fill({{1065, s.target}}, &accepted)(dialog);
        });
        Click(h.sheet, 1152);
        EXPECT_TRUE(accepted);
        EXPECT_EQ(Lines(list), s.lines);
    }
    EXPECT_TRUE(h.boxes.shown.empty());
    SelectLine(list, "/a\t/b");
    h.runner.steps.push_back([](QDialog& dialog) {
        Retype(Control<QLineEdit>(dialog, 1064), "/c");
        QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
    });
    Click(h.sheet, 1153);
    EXPECT_EQ(Lines(list), steps[2].lines);
    SelectLine(list, "/a\t/b");
    Click(h.sheet, 1154);
    EXPECT_EQ(Lines(list), steps[1].lines);
    EXPECT_EQ(h.runner.unscripted, 0);
    EXPECT_EQ(h.sheet.m_bRestart, 0);
}

TEST(CGIExtensionsPage, NewMappingOpensAsCGIRunOnGetAndIsStoredOrRefused)
{
    struct Case {
        const char* extension;
        const char* command;
        int protocol; // -2: left as the dialog opened
        const char* message;
        CCGIMapping stored;
    };
    const Case cases[] = {
        {"PL", "c:\\perl\\perl.exe %cgi-script%", -2, nullptr, {"c:\\perl\\perl.exe %cgi-script%", "", 0, 1}},
        {"dll", "", 2, nullptr, {"", "", 2, 1}},
        {"wcg", "/bin/wcg", 1, nullptr, {"/bin/wcg", "", 1, 1}},
        {".pl", "x", -2, kCGIInvalid, {}},
        {"p l", "x", -2, kCGIInvalid, {}},
        {"a/b", "x", -2, kCGIInvalid, {}},
        {"SH", "x", -2, kCGIDuplicate, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extension);
        CCGIMappingMap mappings;
        mappings.SetAt("sh", CCGIMapping{"/bin/sh %cgi-script%", "", 0, 0});
        PageHarness<CCGIExtensionsPage> h(std::make_unique<CCGIExtensionsPage>(mappings));
        bool accepted = false;
        h.runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(Control<QComboBox>(dialog, 1117)->currentText(), "CGI/1.2");
            EXPECT_TRUE(Control<QCheckBox>(dialog, 1113)->isChecked());
            Fill({{1017, c.extension}, {1094, c.command}}, &accepted, c.protocol)(dialog);
        });
        Click(h.sheet, 1136);
        EXPECT_EQ(accepted, c.message == nullptr);
        if (c.message) {
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
            EXPECT_EQ(mappings.GetCount(), 1u);
            continue;
        }
        CCGIMapping held;
        std::string key = FoldKey(c.extension);
        CEventLockHolder hold(mappings.GetLock());
        ASSERT_TRUE(mappings.Lookup(key, held));
        EXPECT_EQ(std::tie(held.CommandLine, held.WorkingDir, held.CGIProtocol, held.ExecCGI),
                  std::tie(c.stored.CommandLine, c.stored.WorkingDir, c.stored.CGIProtocol, c.stored.ExecCGI));
        const auto lines = Lines(Control<QListWidget>(h.sheet, 1093));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), key + "\t" + c.command), 1);
    }
}

TEST(CGIExtensionsPage, OkNeedsProtocolExtensionAndACommandUnlessISAPIAndEditRoundTrips)
{
    CCGIMappingMap mappings;
    mappings.SetAt("sh", CCGIMapping{"/bin/sh %cgi-script%", "/tmp", kCGIProtocolWinCGI, 0});
    PageHarness<CCGIExtensionsPage> h(std::make_unique<CCGIExtensionsPage>(mappings));
    h.runner.steps.push_back([](QDialog& dialog) {
        // extension, command, protocol index, OK enabled
        const std::tuple<const char*, const char*, int, bool> rows[] = {
            {"pl", "", 0, false}, {"pl", "", 1, false}, {"pl", "", 2, true},
            {"", "x", 0, false},  {"pl", "x", -1, false}, {"pl", "x", 1, true},
        };
        for (const auto& [extension, command, protocol, enabled] : rows) {
            Retype(Control<QLineEdit>(dialog, 1017), extension);
            Retype(Control<QLineEdit>(dialog, 1094), command);
            Control<QComboBox>(dialog, 1117)->setCurrentIndex(protocol);
            EXPECT_EQ(Control<QPushButton>(dialog, 1)->isEnabled(), enabled) << extension << "|" << command << "|"
                                                                             << protocol;
        }
        QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
    });
    Click(h.sheet, 1136);
    // Edit shows the mapping as held; OK unchanged is no duplicate.
    h.runner.steps.push_back([](QDialog& dialog) {
        EXPECT_EQ(Control<QLineEdit>(dialog, 1079)->text(), "/tmp");
        EXPECT_EQ(Control<QComboBox>(dialog, 1117)->currentIndex(), 1);
        EXPECT_FALSE(Control<QCheckBox>(dialog, 1113)->isChecked());
        QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
    });
    DoubleClickLine(Control<QListWidget>(h.sheet, 1093), 0);
    EXPECT_TRUE(h.boxes.shown.empty());
    CCGIMapping held;
    {
        CEventLockHolder hold(mappings.GetLock());
        ASSERT_TRUE(mappings.Lookup("sh", held));
    }
    EXPECT_EQ(std::tie(held.WorkingDir, held.CGIProtocol, held.ExecCGI),
              std::make_tuple(std::string("/tmp"), kCGIProtocolWinCGI, std::uint32_t(0)));
    Click(h.sheet, 1138);
    EXPECT_EQ(mappings.GetCount(), 0u);
    EXPECT_EQ(h.runner.unscripted, 0);
    EXPECT_EQ(h.sheet.m_bRestart, 0);
}

// Each page and dialog at its opening size, kept as a screenshot.
TEST(HttpPathPages, EveryPageAndDialogReadsCleanlyAtItsOpeningSize)
{
    CVirtualPathMap paths;
    CVirtualPath docs;
    docs.Location = "/srv/www/docs";
    paths.SetAt("docs", docs);
    CRedirectionMap redirections;
    redirections.SetAt("/old/index.html", "/New/Start.html");
    CCGIMappingMap mappings;
    mappings.SetAt("pl", CCGIMapping{"/usr/bin/perl %cgi-script%", "", 0, 1});
    struct Shot {
        const char* name;
        std::function<std::unique_ptr<CPropertyPage>()> make;
        int newButton;
    };
    const Shot shots[] = {
        {"virtual_paths", [&] { return std::make_unique<CVirtualPathsPage>(paths, nullptr, nullptr); }, 1185},
        {"redirections", [&] { return std::make_unique<CRedirectionsPage>(redirections); }, 1152},
        {"cgi_extensions", [&] { return std::make_unique<CCGIExtensionsPage>(mappings); }, 1136},
    };
    for (const Shot& shot : shots) {
        SCOPED_TRACE(shot.name);
        PageHarness<CPropertyPage> h(shot.make());
        EXPECT_EQ(ReadingFault(h.sheet), "");
        std::printf("%s\n", SaveScreenshot(h.sheet, std::string(shot.name) + "_page").c_str());
        h.runner.steps.push_back([&](QDialog& dialog) {
            EXPECT_EQ(ReadingFault(dialog), "");
            std::printf("%s\n", SaveScreenshot(dialog, std::string(shot.name) + "_dialog").c_str());
        });
        Click(h.sheet, shot.newButton);
        EXPECT_EQ(h.runner.runs, 1);
    }
}

} // namespace
