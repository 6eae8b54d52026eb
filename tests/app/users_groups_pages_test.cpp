// The Users and Groups pages and their dialogs as a person works them:
// what reaches the maps, which designed message a refusal shows, and the
// state of the buttons.

#include "app/kit/simple_combo.h"
#include "app/shared/edit_group_dialog.h"
#include "app/shared/groups_page.h"
#include "app/shared/users_page.h"
#include "config/group_map.h"
#include "config/user_map.h"
#include "page_harness.h"

#include <QComboBox>
#include <QLineEdit>

#include <map>

namespace {

constexpr const char* kUserDuplicate = "A user with this name already exists.  Each user must have a unique name.";
constexpr const char* kUserInvalid =
    "The username is not valid.  Usernames cannot contain spaces, colons, or other reserved characters.";
constexpr const char* kPasswordMismatch = "The passwords do not match.  Please re-enter the password.";
constexpr const char* kGroupInvalid = "The group name contains invalid characters.  Spaces and colons are not allowed.";
constexpr const char* kGroupDuplicate = "A group with this name already exists.  Group names must be unique.";

std::map<std::string, std::string> Users(CUserMap& map)
{
    auto entries = map.GetEntriesAsHeld();
    return {entries.begin(), entries.end()};
}

std::vector<std::string> Members(CGroupMap& groups, const std::string& group)
{
    std::vector<std::string> names;
    CUserMap members;
    {
        CEventLockHolder hold(groups.GetLock());
        if (!groups.Lookup(group, members))
            return {"<no such group>"};
    }
    for (const auto& entry : members.GetEntriesAsHeld())
        names.push_back(entry.first);
    return names;
}

// Stores a group with these members, as a loaded map holds it.
void AddGroup(CGroupMap& groups, const char* name, std::initializer_list<const char*> members)
{
    CUserMap map;
    for (const char* member : members)
        map.SetAt(member, "");
    groups.SetAt(name, map);
}

// Fills the User Information dialog and presses OK; a refused OK is
// followed by Cancel. Records whether OK closed it.
ScriptedRunner::Step FillUser(QString name, QString password, QString confirm, bool* accepted)
{
    return [=](QDialog& dialog) {
        Retype(Control<QLineEdit>(dialog, 1033), name);
        Retype(Control<QLineEdit>(dialog, 1032), password);
        Retype(Control<QLineEdit>(dialog, 1034), confirm);
        *accepted = OkOrElseCancel(dialog);
    };
}

struct NewUserCase {
    const char* name;
    const char* password;
    const char* confirm;
    const char* message; // null: accepted
    const char* storedAs;
};

TEST(UsersPage, NewUserIsStoredFoldedOrRefusedWithTheDesignedMessage)
{
    const NewUserCase cases[] = {
        {"Alice", "Secret", "Secret", nullptr, "alice"},
        {"carol", "", "", nullptr, "carol"},
        {"BOB", "x", "x", kUserDuplicate, nullptr},
        {"smith,j", "x", "x", kUserInvalid, nullptr},
        {"smith j", "x", "x", kUserInvalid, nullptr},
        {"smith:j", "x", "x", kUserInvalid, nullptr},
        {"dave", "one", "One", kPasswordMismatch, nullptr},
    };
    for (const NewUserCase& c : cases) {
        SCOPED_TRACE(c.name);
        CUserMap users;
        users.SetAt("bob", "builder");
        PageHarness<CUsersPage> h(std::make_unique<CUsersPage>(users));
        bool accepted = false;
        h.runner.steps.push_back(FillUser(c.name, c.password, c.confirm, &accepted));
        Click(h.sheet, 1181);
        EXPECT_EQ(accepted, c.message == nullptr);
        if (c.message) {
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
            EXPECT_EQ(Users(users), (std::map<std::string, std::string>{{"bob", "builder"}}));
        } else {
            EXPECT_TRUE(h.boxes.shown.empty());
            EXPECT_EQ(Users(users)[c.storedAs], c.password);
            EXPECT_EQ(Lines(Control<QListWidget>(h.sheet, 1030)).size(), 2u);
        }
    }
}

TEST(UsersPage, OkIsEnabledOnlyWithANameAndEditKeepsOrRestoresTheUser)
{
    CUserMap users;
    users.SetAt("alice", "wonder");
    users.SetAt("bob", "builder");
    PageHarness<CUsersPage> h(std::make_unique<CUsersPage>(users));
    auto* list = Control<QListWidget>(h.sheet, 1030);
    EXPECT_EQ(Lines(list), (std::vector<std::string>{"alice", "bob"}));

    // Keeping the name is no duplicate: the user is out of the map meanwhile.
    SelectLine(list, "alice");
    h.runner.steps.push_back([](QDialog& dialog) {
        auto* name = Control<QLineEdit>(dialog, 1033);
        EXPECT_EQ(name->text(), "alice");
        EXPECT_EQ(Control<QLineEdit>(dialog, 1034)->text(), "wonder");
        auto* ok = Control<QPushButton>(dialog, 1);
        Retype(name, "");
        EXPECT_FALSE(ok->isEnabled());
        Retype(name, "Alice");
        EXPECT_TRUE(ok->isEnabled());
        Retype(Control<QLineEdit>(dialog, 1032), "land");
        Retype(Control<QLineEdit>(dialog, 1034), "land");
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    Click(h.sheet, 1182);
    EXPECT_EQ(Users(users), (std::map<std::string, std::string>{{"alice", "land"}, {"bob", "builder"}}));

    // Renamed onto bob: refused; Cancel then puts alice back as she was
    // and leaves bob's password alone.
    SelectLine(list, "alice");
    bool accepted = true;
    h.runner.steps.push_back(FillUser("bob", "stolen", "stolen", &accepted));
    DoubleClickLine(list, list->currentRow());
    EXPECT_FALSE(accepted);
    ASSERT_EQ(h.boxes.shown.size(), 1u);
    EXPECT_EQ(h.boxes.shown[0].text, kUserDuplicate);
    EXPECT_EQ(Users(users), (std::map<std::string, std::string>{{"alice", "land"}, {"bob", "builder"}}));

    // Deleting asks nothing; the last one gone, Edit and Delete go grey.
    for (const char* name : {"alice", "bob"}) {
        SelectLine(list, name);
        Click(h.sheet, 1183);
    }
    EXPECT_TRUE(Users(users).empty());
    EXPECT_TRUE(Control<QPushButton>(h.sheet, 1181)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(h.sheet, 1182)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(h.sheet, 1183)->isEnabled());
    EXPECT_EQ(h.runner.unscripted, 0);
}

struct GroupNameCase {
    const char* name;
    const char* message; // null: accepted
};

TEST(GroupsPage, NewGroupIsStoredFoldedOrRefusedWithTheDesignedMessage)
{
    const GroupNameCase cases[] = {
        {"Staff", nullptr}, {"ADMINS", kGroupDuplicate}, {"web,ops", kGroupInvalid},
        {"web ops", kGroupInvalid}, {"web:ops", kGroupInvalid},
    };
    for (const GroupNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        CUserMap users;
        users.SetAt("alice", "a");
        CGroupMap groups;
        groups.SetAt("admins", CUserMap());
        PageHarness<CGroupsPage> h(std::make_unique<CGroupsPage>(users, groups));
        bool accepted = false;
        h.runner.steps.push_back([&](QDialog& dialog) {
            auto* ok = Control<QPushButton>(dialog, 1);
            EXPECT_FALSE(ok->isEnabled()) << "no name yet";
            Retype(Control<QLineEdit>(dialog, 1035), c.name);
            auto* combo = Control<CSimpleCombo>(dialog, 1105);
            combo->SetCurrentIndex(combo->FindExact("alice"));
            QTest::mouseClick(Control<QPushButton>(dialog, 1106), Qt::LeftButton);
            QTest::mouseClick(ok, Qt::LeftButton);
            accepted = dialog.result() == QDialog::Accepted;
            if (!accepted)
                QTest::mouseClick(Control<QPushButton>(dialog, 2), Qt::LeftButton);
        });
        Click(h.sheet, 1170);
        EXPECT_EQ(accepted, c.message == nullptr);
        if (c.message) {
            ASSERT_EQ(h.boxes.shown.size(), 1u);
            EXPECT_EQ(h.boxes.shown[0].text, c.message);
            EXPECT_EQ(groups.GetCount(), 1u);
        } else {
            EXPECT_EQ(Members(groups, "staff"), (std::vector<std::string>{"alice"}));
            EXPECT_EQ(Lines(Control<QListWidget>(h.sheet, 1030)), (std::vector<std::string>{"admins", "staff"}));
        }
    }
}

struct AddMemberCase {
    const char* typed;
    std::vector<std::string> members; // after OK
    std::vector<std::string> offered; // left in the combo
};

TEST(EditGroupDialog, AddingAMemberMatchesWholeNamesOnly)
{
    const AddMemberCase cases[] = {
        // "bobby" is a member: "bob" is not, and can still be added.
        {"bob", {"bob", "bobby"}, {"carol"}},
        {"BOB", {"bob", "bobby"}, {"carol"}},
        {"bobby", {"bobby"}, {"bob", "carol"}},
        // A typed name need not be a user.
        {"zed", {"bobby", "zed"}, {"bob", "carol"}},
        // Typed text is not completed from the list.
        {"car", {"bobby", "car"}, {"bob", "carol"}},
    };
    for (const AddMemberCase& c : cases) {
        SCOPED_TRACE(c.typed);
        CUserMap users;
        for (const char* name : {"bob", "bobby", "carol"})
            users.SetAt(name, "");
        CGroupMap groups;
        AddGroup(groups, "staff", {"bobby"});
        PageHarness<CGroupsPage> h(std::make_unique<CGroupsPage>(users, groups));
        std::vector<std::string> offered;
        h.runner.steps.push_back([&](QDialog& dialog) {
            auto* members = Control<QListWidget>(dialog, 1030);
            auto* combo = Control<CSimpleCombo>(dialog, 1105);
            EXPECT_EQ(Lines(members), (std::vector<std::string>{"bobby"}));
            combo->Edit()->setFocus();
            QTest::keyClicks(combo->Edit(), c.typed);
            QTest::mouseClick(Control<QPushButton>(dialog, 1106), Qt::LeftButton);
            for (int i = 0; i < combo->Count(); ++i)
                offered.push_back(combo->ItemText(i).toStdString());
            QTest::mouseClick(Control<QPushButton>(dialog, 1), Qt::LeftButton);
        });
        SelectLine(Control<QListWidget>(h.sheet, 1030), "staff");
        Click(h.sheet, 1171);
        EXPECT_EQ(Members(groups, "staff"), c.members);
        EXPECT_EQ(offered, c.offered);
    }
}

TEST(EditGroupDialog, ARefusedOkLeavesTheMembersSoCancelStoresNoChange)
{
    CUserMap users;
    for (const char* name : {"alice", "bob"})
        users.SetAt(name, "");
    CGroupMap groups;
    AddGroup(groups, "staff", {"alice"});
    AddGroup(groups, "admins", {"root"});
    CUserMap staff;
    staff.SetAt("alice", "");

    // The dialog itself: members untouched by an OK its name check refused.
    {
        ScriptedMessageBoxes boxes;
        ScriptedRunner runner;
        CEditGroupDialog dialog(users, groups, nullptr);
        dialog.Name = "ops";
        dialog.Members = staff;
        runner.steps.push_back([&](QDialog& shown) {
            auto* combo = Control<CSimpleCombo>(shown, 1105);
            combo->SetCurrentIndex(combo->FindExact("bob"));
            QTest::mouseClick(Control<QPushButton>(shown, 1106), Qt::LeftButton);
            Retype(Control<QLineEdit>(shown, 1035), "Admins");
            QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton);
            EXPECT_NE(shown.result(), QDialog::Accepted);
            EXPECT_EQ(Users(dialog.Members), (std::map<std::string, std::string>{{"alice", ""}}));
            QTest::mouseClick(Control<QPushButton>(shown, 2), Qt::LeftButton);
        });
        EXPECT_EQ(dialog.DoModal(), kIdCancel);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].text, kGroupDuplicate);
    }

    // Through the page: Cancel after the refusal stores the group as it was
    // and leaves the group it was renamed onto alone.
    PageHarness<CGroupsPage> h(std::make_unique<CGroupsPage>(users, groups));
    h.runner.steps.push_back([](QDialog& shown) {
        auto* combo = Control<CSimpleCombo>(shown, 1105);
        combo->SetCurrentIndex(combo->FindExact("bob"));
        QTest::mouseClick(Control<QPushButton>(shown, 1106), Qt::LeftButton);
        Retype(Control<QLineEdit>(shown, 1035), "admins");
        QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(shown, 2), Qt::LeftButton);
    });
    SelectLine(Control<QListWidget>(h.sheet, 1030), "staff");
    Click(h.sheet, 1171);
    EXPECT_EQ(Members(groups, "staff"), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(Members(groups, "admins"), (std::vector<std::string>{"root"}));
}

TEST(EditGroupDialog, MembersWhoAreNoLongerUsersAreDroppedOnOk)
{
    CUserMap users;
    users.SetAt("carol", "");
    CGroupMap groups;
    AddGroup(groups, "old", {"gone"});
    PageHarness<CGroupsPage> h(std::make_unique<CGroupsPage>(users, groups));
    h.runner.steps.push_back([](QDialog& shown) {
        auto* members = Control<QListWidget>(shown, 1030);
        EXPECT_EQ(members->count(), 0);
        auto* remove = Control<QPushButton>(shown, 1107);
        auto* add = Control<QPushButton>(shown, 1106);
        EXPECT_FALSE(remove->isEnabled());
        EXPECT_FALSE(add->isEnabled());
        auto* combo = Control<CSimpleCombo>(shown, 1105);
        combo->SetCurrentIndex(combo->FindExact("carol"));
        EXPECT_TRUE(add->isEnabled());
        QTest::mouseClick(add, Qt::LeftButton);
        // A double click on a member gives it back.
        members->setCurrentRow(0);
        EXPECT_TRUE(remove->isEnabled());
        DoubleClickLine(members, 0);
        EXPECT_EQ(members->count(), 0);
        EXPECT_EQ(combo->FindExact("carol"), 0);
        // And a double click on a user not in the group adds it.
        DoubleClickLine(combo->List(), 0);
        EXPECT_EQ(Lines(members), (std::vector<std::string>{"carol"}));
        EXPECT_EQ(combo->Count(), 0);
        members->setCurrentRow(0);
        QTest::mouseClick(remove, Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(shown, 1), Qt::LeftButton);
    });
    SelectLine(Control<QListWidget>(h.sheet, 1030), "old");
    Click(h.sheet, 1171);
    EXPECT_TRUE(Members(groups, "old").empty());
}

TEST(UsersAndGroupsPages, Screenshots)
{
    CUserMap users;
    for (const char* name : {"alice", "bob", "carol"})
        users.SetAt(name, "pw");
    CGroupMap groups;
    AddGroup(groups, "staff", {"alice"});
    AddGroup(groups, "admins", {});
    {
        PageHarness<CUsersPage> h(std::make_unique<CUsersPage>(users));
        SaveScreenshot(h.sheet, "users_page");
        h.runner.steps.push_back([](QDialog& dialog) { SaveScreenshot(dialog, "user_info_dialog"); });
        h.runner.steps.push_back([](QDialog& dialog) { SaveScreenshot(dialog, "macro_dialog"); });
        Click(h.sheet, 1182);
        Click(h.sheet, 1173);
    }
    PageHarness<CGroupsPage> h(std::make_unique<CGroupsPage>(users, groups));
    SaveScreenshot(h.sheet, "groups_page");
    SelectLine(Control<QListWidget>(h.sheet, 1030), "staff");
    h.runner.steps.push_back([](QDialog& dialog) { SaveScreenshot(dialog, "edit_group_dialog"); });
    Click(h.sheet, 1171);
}

} // namespace
