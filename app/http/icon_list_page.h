#pragma once
// CIconListPage: a map from a MIME type to the URL of its icon, a line
// each (MIME type, a tab, the URL), edited in the MIME Icon dialog, which
// offers the MIME types of a type map; the default icon ("*") and the
// folder icon ("**") are shown in their own edits. One class serves every
// such list; the caller names it and labels its list.
//
// The two edits are stored whenever the page's exchange runs, so a change
// survives leaving the page before the sheet's OK.

#include "app/http/type_list_page.h"
#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>

namespace Ui {
class IconListPage;
}

class CRegStringMap;

// The one tab stop of a line, in dialog units.
inline constexpr int kIconListTabStop = 45;

inline constexpr CMapListKind kMimeIconsKind{"MIME Icons", "&MIME Icons:"};
inline constexpr CMapListKind kFtpIconsKind{"FTP Icons", "&FTP directory listing MIME Icons:"};
inline constexpr CMapListKind kGopherIconsKind{"Gopher Icons", "&Gopher menu MIME Icons:"};

class CIconListPage : public CPropertyPage {
    Q_OBJECT
public:
    // Both maps outlive the page; types only offers the MIME types.
    CIconListPage(const CMapListKind& kind, CRegStringMap& icons, CRegStringMap& types);
    ~CIconListPage() override;

    CListPattern& List() { return m_list; }
    void OnOK() override;

protected:
    void SetupUi() override;
    void DoDataExchange(CDataExchange& dx) override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);

    std::unique_ptr<Ui::IconListPage> m_ui;
    CMapListKind m_kind;
    CRegStringMap& m_icons;
    CRegStringMap& m_types;
    CListPattern m_list;
};

// The HTTP pages for a configuration that holds a type map (GetMappings)
// and an icon map (GetIcons): the global settings and each server.
template <class Config>
std::unique_ptr<CPropertyPage> MakeMimeTypesPage(Config& config)
{
    return std::make_unique<CTypeListPage>(kMimeTypesKind, config.GetMappings());
}
template <class Config>
std::unique_ptr<CPropertyPage> MakeMimeIconsPage(Config& config)
{
    return std::make_unique<CIconListPage>(kMimeIconsKind, config.GetIcons(), config.GetMappings());
}
