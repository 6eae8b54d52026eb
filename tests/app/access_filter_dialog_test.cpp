// The Edit ACL and Access Control Filter dialogs worked as a person works
// them: lines written, edited, moved and deleted; a stored line comes back
// in the dialog's own form; a name that would break the line is refused
// with the designed message.

#include "acl_test_support.h"
#include "app/shared/access_filter_dialog.h"
#include "app/shared/edit_acl_dialog.h"
#include "config/access_list.h"
#include "config/group_map.h"
#include "config/user_map.h"

namespace {

constexpr const char* kInvalidUser =
    "The username is not valid.  Usernames cannot contain spaces, colons, or other reserved characters.";
constexpr const char* kInvalidGroup = "The group name contains invalid characters.  Spaces and colons are not allowed.";

class ACLDialogTest : public ::testing::Test {
public:
    void SetUp() override
    {
        m_users.SetAt("bob", "pw");
        m_users.SetAt("ann", "pw");
        CUserMap members;
        m_groups.SetAt("staff", members);
    }

    // Runs the Edit ACL dialog on lines with the steps given after its own.
    std::vector<std::string> RunEdit(std::vector<std::string> lines, std::function<void(QDialog&)> step,
                                     bool* accepted = nullptr)
    {
        CAccessList list;
        list.SetLines(std::move(lines));
        CEditACLDialog dialog(list, &m_users, &m_groups, nullptr);
        m_runner.steps.push_front(std::move(step));
        int result = dialog.DoModal();
        if (accepted)
            *accepted = result == kIdOk;
        EXPECT_EQ(m_runner.unscripted, 0);
        return list.GetLines();
    }

    CUserMap m_users;
    CGroupMap m_groups;
    ScriptedMessageBoxes m_boxes;
    ScriptedRunner m_runner;
};

TEST_F(ACLDialogTest, StoredLinesComeBackInTheDialogsOwnForm)
{
    struct Case {
        const char* stored;
        const char* edited; // after Edit and OK with nothing changed
    };
    const Case cases[] = {
        {"Reject-user: *,*,*", "Reject-user: *,*,*"},
        {"Allow-group: GET,staff,10.1.*", "Allow-group: GET,staff,10.1.*"},
        {"Allow-user: GET, bob, 10.*", "Allow-user: GET,bob,10.*"},
        {"allow-user: get,bob,*", "Allow-user: GET,bob,*"},
        {"reject-group: traverse,staff,*.sales", "Reject-group: TRAVERSE,staff,*.sales"},
        {"Allow-user: GET", "Allow-user: GET,,"},
        // A method the list does not offer is kept, not written empty.
        {"Reject-user: DELETE,bob,*", "Reject-user: DELETE,bob,*"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        std::vector<std::string> lines = RunEdit({"Allow-user: HEAD,*,*", c.stored}, [&](QDialog& shown) {
            FindControl<QListWidget>(&shown, 1037)->setCurrentRow(1);
            m_runner.steps.push_back([](QDialog& filter) { ClickControl(filter, 1); });
            ClickControl(shown, 1159);
            ClickControl(shown, 1);
        });
        m_runner.steps.clear();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "Allow-user: HEAD,*,*");
        EXPECT_EQ(lines[1], c.edited);
    }
}

TEST_F(ACLDialogTest, NewEditDeleteAndMoveKeepTheEvaluationOrder)
{
    const FilterInput rejectBob{"Reject", "user", "bob", "PUT", "10.*"};
    struct Case {
        const char* what;
        std::vector<std::string> before;
        int select; // -1: none
        std::function<void(ACLDialogTest&, QDialog&)> act;
        std::vector<std::string> after;
        bool ok;
    };
    auto filter = [](FilterInput input) { return [input](QDialog& shown) { FillFilter(shown, input); }; };
    const std::vector<Case> cases = {
        {"New then Cancel in the filter", {}, -1,
         [](ACLDialogTest& t, QDialog& shown) {
             t.m_runner.steps.push_back([](QDialog& f) { ClickControl(f, 2); });
             ClickControl(shown, 1158);
         },
         {}, true},
        {"New with the defaults", {}, -1,
         [](ACLDialogTest& t, QDialog& shown) {
             t.m_runner.steps.push_back([](QDialog& f) { ClickControl(f, 1); });
             ClickControl(shown, 1158);
         },
         {"Reject-user: *,*,*"}, true},
        {"New goes before the selected line", {"A-user: *,*,1", "B-user: *,*,2"}, 1,
         [filter, rejectBob](ACLDialogTest& t, QDialog& shown) {
             t.m_runner.steps.push_back(filter(rejectBob));
             ClickControl(shown, 1158);
         },
         {"A-user: *,*,1", "Reject-user: PUT,bob,10.*", "B-user: *,*,2"}, true},
        {"Edit replaces in place", {"A-user: *,*,1", "B-user: *,*,2"}, 0,
         [filter](ACLDialogTest& t, QDialog& shown) {
             t.m_runner.steps.push_back(filter({"Allow", "group", "staff", "GET", "127.0.0.1"}));
             ClickControl(shown, 1159);
         },
         {"Allow-group: GET,staff,127.0.0.1", "B-user: *,*,2"}, true},
        {"Delete selects the line before", {"A-user: *,*,1", "B-user: *,*,2", "C-user: *,*,3"}, 2,
         [](ACLDialogTest&, QDialog& shown) {
             ClickControl(shown, 1160);
             EXPECT_EQ(FindControl<QListWidget>(&shown, 1037)->currentRow(), 1);
         },
         {"A-user: *,*,1", "B-user: *,*,2"}, true},
        {"Down then Up", {"A-user: *,*,1", "B-user: *,*,2", "C-user: *,*,3"}, 0,
         [](ACLDialogTest&, QDialog& shown) {
             ClickControl(shown, 4);
             ClickControl(shown, 4);
             EXPECT_FALSE(FindControl<QPushButton>(&shown, 4)->isEnabled()) << "the last line";
             ClickControl(shown, 3);
         },
         {"B-user: *,*,2", "A-user: *,*,1", "C-user: *,*,3"}, true},
        {"Cancel leaves the list", {"A-user: *,*,1", "B-user: *,*,2"}, 0,
         [](ACLDialogTest&, QDialog& shown) {
             ClickControl(shown, 1160);
             ClickControl(shown, 2);
         },
         {"A-user: *,*,1", "B-user: *,*,2"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool accepted = false;
        std::vector<std::string> lines = RunEdit(
            c.before,
            [&](QDialog& shown) {
                if (c.select >= 0)
                    FindControl<QListWidget>(&shown, 1037)->setCurrentRow(c.select);
                c.act(*this, shown);
                if (shown.isVisible() && c.ok)
                    ClickControl(shown, 1);
            },
            &accepted);
        EXPECT_EQ(accepted, c.ok);
        EXPECT_EQ(lines, c.after);
        EXPECT_TRUE(m_boxes.shown.empty());
    }
}

TEST_F(ACLDialogTest, ButtonsFollowTheSelection)
{
    RunEdit({"A-user: *,*,1", "B-user: *,*,2"}, [](QDialog& shown) {
        auto enabled = [&](int id) { return FindControl<QPushButton>(&shown, id)->isEnabled(); };
        auto* list = FindControl<QListWidget>(&shown, 1037);
        list->setCurrentRow(-1);
        list->clearSelection();
        EXPECT_TRUE(enabled(1158) && enabled(1));
        EXPECT_FALSE(enabled(1159) || enabled(1160) || enabled(3) || enabled(4));
        list->setCurrentRow(0);
        EXPECT_TRUE(enabled(1159) && enabled(1160) && enabled(4));
        EXPECT_FALSE(enabled(3));
        ClickControl(shown, 1160);
        ClickControl(shown, 1160);
        EXPECT_EQ(list->count(), 0);
        EXPECT_FALSE(enabled(1159) || enabled(1160) || enabled(3) || enabled(4)) << "after the last line went";
        ClickControl(shown, 1);
    });
}

TEST_F(ACLDialogTest, TheKindChoosesTheNamesOffered)
{
    CAccessFilterDialog dialog(&m_users, &m_groups, nullptr);
    dialog.filter = ParseAccessLine("Allow-user: GET,bob,*");
    m_runner.steps.push_back([](QDialog& shown) {
        auto* names = FindControl<QComboBox>(&shown, 1040);
        EXPECT_EQ(names->currentText(), "bob");
        QStringList offered;
        for (int i = 0; i < names->count(); ++i)
            offered << names->itemText(i);
        EXPECT_EQ(offered, QStringList({"*", "ann", "bob"}));
        Choose(shown, 1039, "group");
        EXPECT_EQ(names->currentText(), "*") << "the name goes back to everyone";
        offered.clear();
        for (int i = 0; i < names->count(); ++i)
            offered << names->itemText(i);
        EXPECT_EQ(offered, QStringList({"*", "staff"}));
        ClickControl(shown, 1);
    });
    ASSERT_EQ(dialog.DoModal(), kIdOk);
    EXPECT_EQ(ComposeAccessLine(dialog.filter), "Allow-group: GET,*,*");
}

// A name with a separator of the line would write another line than the
// one typed; the designed name message refuses it and the dialog stays.
TEST_F(ACLDialogTest, NamesThatWouldBreakTheLineAreRefused)
{
    struct Case {
        const char* kind;
        const char* name;
        const char* address;
        const char* message; // null: accepted
    };
    const Case cases[] = {
        {"user", "bob,ann", "*", kInvalidUser},
        {"user", "bob smith", "*", kInvalidUser},
        {"user", "bob:x", "*", kInvalidUser},
        {"group", "staff,guests", "*", kInvalidGroup},
        {"group", "the staff", "*", kInvalidGroup},
        {"user", "", "10.*", kInvalidUser},
        {"user", "*", "10.*", nullptr},
        {"group", "staff", "*", nullptr},
        {"user", "o'brien", "10.1.2.3", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " [" + c.name + "]");
        m_boxes.shown.clear();
        CAccessFilterDialog dialog(&m_users, &m_groups, nullptr);
        m_runner.steps.push_back([&](QDialog& shown) {
            FillFilter(shown, {"Reject", c.kind, c.name, "GET", c.address});
            if (c.message) {
                EXPECT_TRUE(shown.isVisible()) << "the dialog stays open";
                auto* names = FindControl<QComboBox>(&shown, 1040);
                EXPECT_TRUE(shown.focusWidget() == names || shown.focusWidget() == names->lineEdit());
                ClickControl(shown, 2);
            }
        });
        EXPECT_EQ(dialog.DoModal(), c.message ? kIdCancel : kIdOk);
        ASSERT_EQ(m_boxes.shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(m_boxes.shown[0].text, c.message);
            EXPECT_EQ(m_boxes.shown[0].helpId, std::string(c.kind) == "user" ? 2067u : 2069u);
        } else {
            CAccessLine line = CAccessLine::Parse(ComposeAccessLine(dialog.filter));
            EXPECT_EQ(line.name, c.name) << "the line reads back the name typed";
            EXPECT_EQ(line.address, c.address);
        }
    }
}

} // namespace
