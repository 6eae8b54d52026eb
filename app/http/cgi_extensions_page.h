#pragma once
// CCGIExtensionsPage: the CGI mappings of one map, one line per extension
// (the extension, a tab, the command line), with New, Edit and Delete as
// every list page has them, each mapping edited in the CGI Extension
// Mapping dialog. No edit here needs a restart: running servers reload
// their mappings through the change stamp.

#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class CgiExtensionsPage;
}

class CCGIMappingMap;
class CCGIMappingDialog;

class CCGIExtensionsPage : public CPropertyPage {
    Q_OBJECT
public:
    // mappings outlives the page.
    explicit CCGIExtensionsPage(CCGIMappingMap& mappings);
    ~CCGIExtensionsPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    QString Store(const CCGIMappingDialog& dialog);

    std::unique_ptr<Ui::CgiExtensionsPage> m_ui;
    CCGIMappingMap& m_mappings;
    CListPattern m_list;
};
