// The File ACLs dialog on a real document tree in a temporary folder: the
// list holds every file and directory below the root but no access-list
// file; symbolic links are followed inside the tree only and never into a
// loop; the depth is bounded; an edited list is written at once beside its
// document, and an emptied one removes its file.

#include "acl_test_support.h"
#include "app/http/file_acl_dialog.h"
#include "app/kit/list_pattern.h"
#include "app/kit/simple_combo.h"
#include "config/config_fixture.h"
#include "config/http_server_config.h"

#include <QLabel>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class FileACLDialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = m_dir / "www";
        fs::create_directories(m_root + "/Sub");
        fs::create_directories(m_dir / "outside");
        Write(m_root + "/doc.txt", "text");
        Write(m_root + "/doc.txt.~ACL~", "Allow-user: GET,*,*\r\n");
        Write(m_root + "/Sub/a.htm", "page");
        Write(m_root + "/Sub/.~ACL~", "Reject-user: PUT,*,*\r\n");
        Write(m_dir / "outside/secret.txt", "not ours");
        // A loop back to the root, one to the parent, one out of the tree,
        // and one to a directory of the tree that is no ancestor.
        fs::create_directory_symlink(m_root, m_root + "/loop");
        fs::create_directory_symlink("..", m_root + "/Sub/up");
        fs::create_directory_symlink(m_dir / "outside", m_root + "/out");
        fs::create_directory_symlink("Sub", m_root + "/inlink");
        std::string deep = m_root + "/d";
        for (int level = 1; level < kMaxFileACLDepth + 8; ++level)
            deep += "/d";
        fs::create_directories(deep);

        CHTTPSettings settings = *m_config.GetHTTPSettings();
        settings.rootDir = m_root;
        m_config.SetHTTPSettings(std::make_shared<const CHTTPSettings>(settings));
    }

    static void Write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string Read(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string Nested(int levels)
    {
        std::string path = "/";
        for (int i = 0; i < levels; ++i)
            path += "d/";
        return path;
    }

    // Picks a line of the files list as a person clicks it.
    static void Pick(QDialog& shown, const char* name)
    {
        QListWidget* list = FindControl<CSimpleCombo>(&shown, 1044)->List();
        auto found = list->findItems(QString::fromLatin1(name), Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found[0]).center());
        ASSERT_EQ(FindControl<CSimpleCombo>(&shown, 1044)->Text(), name);
    }

    TempDirectory m_dir;
    std::string m_root;
    CHTTPServerConfig m_config;
    ScriptedMessageBoxes m_boxes;
    ScriptedRunner m_runner;
};

TEST_F(FileACLDialogTest, TheWalkStaysInsideTheTreeAndStopsAtItsDepth)
{
    CFileACLDialog dialog(m_config, &m_config.GetUsers(), &m_config.GetGroups(), nullptr);
    std::vector<std::string> names;
    m_runner.steps.push_back([&](QDialog& shown) {
        names = ComboLines(shown, 1044);
        EXPECT_EQ(FindControl<QLabel>(&shown, 1079)->text().toStdString(), m_root);
        ClickControl(shown, 1);
    });
    dialog.DoModal();
    struct Case {
        std::string name;
        bool listed;
    };
    const Case cases[] = {
        {"/doc.txt", true},
        {"/doc.txt.~ACL~", false},
        {"/Sub/", true},
        {"/Sub/a.htm", true},
        {"/Sub/.~ACL~", false},
        {"/loop/", true},
        {"/loop/doc.txt", false},
        {"/Sub/up/", true},
        {"/Sub/up/doc.txt", false},
        {"/out/", true},
        {"/out/secret.txt", false},
        {"/inlink/", true},
        {"/inlink/a.htm", true},
        {"/inlink/up/", true},
        {"/inlink/up/doc.txt", false},
        {Nested(kMaxFileACLDepth), true},
        {Nested(kMaxFileACLDepth + 1), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::count(names.begin(), names.end(), c.name), c.listed ? 1 : 0) << c.name;
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return LessIgnoringCase(QString::fromStdString(a), QString::fromStdString(b));
    }));
}

TEST_F(FileACLDialogTest, EditedListsAreWrittenAtOnceBesideTheirDocuments)
{
    CFileACLDialog dialog(m_config, &m_config.GetUsers(), &m_config.GetGroups(), nullptr);
    std::vector<std::string> shownLines;
    m_runner.steps.push_back([&](QDialog& shown) {
        // A file's list: the stored line is shown, a new one appended.
        Pick(shown, "/doc.txt");
        m_runner.steps.push_back([&](QDialog& edit) {
            shownLines = ListLines(edit, 1037);
            m_runner.steps.push_back([](QDialog& filter) { ClickControl(filter, 1); });
            FindControl<QListWidget>(&edit, 1037)->setCurrentRow(-1);
            FindControl<QListWidget>(&edit, 1037)->clearSelection();
            ClickControl(edit, 1158);
            ClickControl(edit, 1);
        });
        ClickControl(shown, 1169);
        EXPECT_EQ(Read(m_root + "/doc.txt.~ACL~"), "Allow-user: GET,*,*\r\nReject-user: *,*,*\r\n")
            << "written before the dialog closes";

        // A directory's list emptied: its file goes.
        Pick(shown, "/Sub/");
        m_runner.steps.push_back([](QDialog& edit) {
            FindControl<QListWidget>(&edit, 1037)->setCurrentRow(0);
            ClickControl(edit, 1160);
            ClickControl(edit, 1);
        });
        QListWidget* list = FindControl<CSimpleCombo>(&shown, 1044)->List();
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->currentItem()).center());
        EXPECT_FALSE(fs::exists(m_root + "/Sub/.~ACL~"));

        // Cancel in the editor writes nothing.
        Pick(shown, "/Sub/a.htm");
        m_runner.steps.push_back([](QDialog& edit) {
            ClickControl(edit, 1158); // unscripted filter: cancelled
            ClickControl(edit, 2);
        });
        ClickControl(shown, 1169);
        EXPECT_FALSE(fs::exists(m_root + "/Sub/a.htm.~ACL~"));
        ClickControl(shown, 1);
    });
    dialog.DoModal();
    EXPECT_EQ(shownLines, std::vector<std::string>{"Allow-user: GET,*,*"});
    EXPECT_EQ(m_runner.unscripted, 1);
    EXPECT_EQ(Read(m_root + "/doc.txt"), "text");
}

TEST_F(FileACLDialogTest, AnotherDirectoryIsTakenWithoutItsTrailingSeparator)
{
    const std::string outside = m_dir / "outside";
    struct Case {
        std::string typed;
        std::string shown;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {outside + "/", outside, {"/secret.txt"}},
        {outside, outside, {"/secret.txt"}},
        {m_dir / "missing", m_dir / "missing", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        CFileACLDialog dialog(m_config, &m_config.GetUsers(), &m_config.GetGroups(), nullptr);
        m_runner.steps.push_back([&](QDialog& shown) {
            m_runner.steps.push_back([&](QDialog& change) {
                EXPECT_EQ(FindControl<QLineEdit>(&change, 1079)->text().toStdString(), m_root) << "preset";
                Retype(FindControl<QLineEdit>(&change, 1079), QString::fromStdString(c.typed));
                ClickControl(change, 1);
            });
            ClickControl(shown, 1022);
            EXPECT_EQ(FindControl<QLabel>(&shown, 1079)->text().toStdString(), c.shown);
            EXPECT_EQ(ComboLines(shown, 1044), c.names);
            ClickControl(shown, 1);
        });
        dialog.DoModal();
        EXPECT_EQ(dialog.Directory(), c.shown);
    }
}

} // namespace
