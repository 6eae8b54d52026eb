#pragma once
// CGroupsPage: the groups of one group map, one line per name, with New,
// Edit and Delete as every list page has them (each group edited in the
// Edit Group dialog against the users map), and Macro for the map's member
// macro. No edit here needs a restart.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class GroupsPage;
}

class CGroupMap;
class CUserMap;

class CGroupsPage : public CPropertyPage {
    Q_OBJECT
public:
    // Both maps outlive the page.
    CGroupsPage(CUserMap& users, CGroupMap& groups);
    ~CGroupsPage() override;

    CListPattern& List() { return m_list; }
    void OnMacro();

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);

    std::unique_ptr<Ui::GroupsPage> m_ui;
    CUserMap& m_users;
    CGroupMap& m_groups;
    CListPattern m_list;
};
