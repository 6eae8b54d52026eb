#pragma once
// CEditGroupDialog: edits one group: its name, and its members, moved
// between the list of members and the combo of the other users ("<-" adds
// the combo's text, which may be a name that is not a user; "->" gives the
// selected member back). Only users of the users map are shown; OK refuses
// a name the group map already holds (any letter case) or one with a
// reserved character. Members is refilled from the list only once OK has
// passed, so a refused OK followed by Cancel leaves it as given.

#include "app/kit/exchange_dialog.h"
#include "config/user_map.h"

#include <memory>
#include <string>

namespace Ui {
class EditGroupDialog;
}

class CGroupMap;
class QListWidget;

inline constexpr int kMaxGroupNameChars = 64;
inline constexpr unsigned kGroupInvalidId = 2069;
inline constexpr unsigned kGroupDuplicateId = 2070;

class CEditGroupDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CEditGroupDialog(CUserMap& users, CGroupMap& groups, QWidget* parent);
    ~CEditGroupDialog() override;

    std::string Name;
    // Member name (folded) -> empty; the group's own macro rides along.
    CUserMap Members;

    void AddMember();
    void RemoveMember();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    void DoDataExchange(CDataExchange& dx) override;
    bool OnOK() override;

private:
    void UpdateButtons();
    void OnComboChanged();
    void OnMembersSelectionChanged();

    std::unique_ptr<Ui::EditGroupDialog> m_ui;
    CUserMap& m_users;
    CGroupMap& m_groups;
    // Set while one control's change clears the other's selection.
    bool m_syncing = false;
};

// Inserts text where a list sorted without regard to case keeps it.
void InsertSorted(QListWidget* list, const QString& text);
