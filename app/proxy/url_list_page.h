#pragma once
// CURLListPage: one of the proxy's URL lists (barred, allowed, uncached),
// its masks in list order, edited through the URL Mask dialog. New appends;
// Edit takes the mask out while its dialog runs and, after OK, appends the
// edited mask at the end; Cancel puts it back in its place, so the list is
// as it was. Duplicates and empty masks are accepted. Nothing here needs a
// restart: the proxy reads its lists at each request.

#include "app/http/type_list_page.h"
#include "app/kit/list_pattern.h"
#include "app/kit/property_page.h"

#include <memory>
#include <optional>

namespace Ui {
class URLListPage;
}

class CHTTPProxySettings;
class CRegNameSet;

inline constexpr CMapListKind kBarredURLsKind{"Barred URLs", "&Barred URLs:"};
inline constexpr CMapListKind kAllowedURLsKind{"Allowed URLs", "&Allowed URLs:"};
inline constexpr CMapListKind kUncachedURLsKind{"Uncached URLs", "&Uncached URLs:"};

class CURLListPage : public CPropertyPage {
    Q_OBJECT
public:
    // masks outlives the page.
    CURLListPage(const CMapListKind& kind, CRegNameSet& masks);
    ~CURLListPage() override;

    CListPattern& List() { return m_list; }

protected:
    void SetupUi() override;

private:
    std::optional<QString> OnNew();
    std::optional<QString> OnEdit(const QString& key);
    void OnDelete(const QString& key);
    void Store(const std::vector<std::string>& masks);

    std::unique_ptr<Ui::URLListPage> m_ui;
    CMapListKind m_kind;
    CRegNameSet& m_masks;
    CListPattern m_list;
};

// The three list pages of the proxy sheet, each on its list.
std::unique_ptr<CPropertyPage> MakeBarredURLsPage(CHTTPProxySettings& settings);
std::unique_ptr<CPropertyPage> MakeAllowedURLsPage(CHTTPProxySettings& settings);
std::unique_ptr<CPropertyPage> MakeUncachedURLsPage(CHTTPProxySettings& settings);
