#pragma once
// CUsersPage: the users of one user map, one line per name, with New, Edit
// and Delete as every list page has them, and Macro for the map's
// Authenticate macro. Names are stored folded to lower case; passwords as
// typed. No edit here needs a restart: running servers reload user maps
// through the change stamp.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class UsersPage;
}

class CUserMap;

class CUsersPage : public CPropertyPage {
    Q_OBJECT
public:
    // users outlives the page.
    explicit CUsersPage(CUserMap& users);
    ~CUsersPage() override;

    CListPattern& List() { return m_list; }
    void OnMacro();

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete(const QString& key);

    std::unique_ptr<Ui::UsersPage> m_ui;
    CUserMap& m_users;
    CListPattern m_list;
};
