#pragma once
// CVirtualPathsPage: the virtual paths of one map, one line per path (the
// name, a tab, the location), with New, Edit and Delete as every list page
// has them, each path edited in the Virtual Path dialog with the user and
// group maps for its access list. No edit here needs a restart: running
// servers reload their paths through the change stamp.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class VirtualPathsPage;
}

class CGroupMap;
class CUserMap;
class CVirtualPathDialog;
class CVirtualPathMap;

class CVirtualPathsPage : public CPropertyPage {
    Q_OBJECT
public:
    // The maps outlive the page; users and groups may be null.
    CVirtualPathsPage(CVirtualPathMap& paths, CUserMap* users, CGroupMap* groups);
    ~CVirtualPathsPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void Store(const CVirtualPathDialog& dialog);

    std::unique_ptr<Ui::VirtualPathsPage> m_ui;
    CVirtualPathMap& m_paths;
    CUserMap* m_users;
    CGroupMap* m_groups;
    CListPattern m_list;
};
