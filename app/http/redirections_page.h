#pragma once
// CRedirectionsPage: the redirections of one map, one line per redirected
// URL (the URL, a tab, the target), with New, Edit and Delete as every
// list page has them. The redirected URL is the key, folded to lower case;
// a New on a URL already held replaces its target. No edit here needs a
// restart.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class RedirectionsPage;
}

class CRedirectionMap;

class CRedirectionsPage : public CPropertyPage {
    Q_OBJECT
public:
    // redirections outlives the page.
    explicit CRedirectionsPage(CRedirectionMap& redirections);
    ~CRedirectionsPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);

    std::unique_ptr<Ui::RedirectionsPage> m_ui;
    CRedirectionMap& m_redirections;
    CListPattern m_list;
};
