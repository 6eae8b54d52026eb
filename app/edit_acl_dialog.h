#pragma once
// CEditACLDialog: edits an access list line by line. The list box keeps the
// lines in their evaluation order (it is not sorted); New inserts before the
// selected line (or appends), Edit replaces a line in place, Delete removes
// it and selects the line before, Up and Down move it. The access list
// itself changes only on OK; Cancel leaves it as it was.

#include "app/exchange_dialog.h"

#include <memory>

namespace Ui {
class EditACLDialog;
}

class CAccessList;
class CGroupMap;
class CUserMap;

class CEditACLDialog : public CExchangeDialog {
    Q_OBJECT
public:
    CEditACLDialog(CAccessList& list, CUserMap* users, CGroupMap* groups, QWidget* parent);
    ~CEditACLDialog() override;

    void OnNew();
    void OnEdit();
    void OnDelete();
    void Move(int delta);
    void UpdateButtons();

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    bool OnOK() override;

private:
    // The selected row, -1 without a selection.
    int Selected() const;
    void Select(int row);

    std::unique_ptr<Ui::EditACLDialog> m_ui;
    CAccessList& m_list;
    CUserMap* m_users;
    CGroupMap* m_groups;
};
