#pragma once
// CEditACLDialog: edits an access list line by line. The list box keeps the
// lines in their evaluation order (it is not sorted); New inserts before the
// selected line (or appends), Edit replaces a line in place, Delete removes
// it and selects the line before, Up and Down move it. The access list
// itself changes only on OK; Cancel leaves it as it was.

#include "app/kit/exchange_dialog.h"
#include "app/kit/list_pattern.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

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

    CListPattern& List() { return m_pattern; }

protected:
    void SetupUi() override;
    bool OnInitDialog() override;
    bool OnOK() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete();
    void UpdateDeleteButton();

    std::unique_ptr<Ui::EditACLDialog> m_ui;
    // The lines being edited, in evaluation order; a line's key is its row.
    std::vector<std::string> m_lines;
    CListPattern m_pattern;
    CAccessList& m_list;
    CUserMap* m_users;
    CGroupMap* m_groups;
};
