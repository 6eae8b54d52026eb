#include "app/proxy/url_list_page.h"

#include "ui_url_list_page.h"

#include "app/kit/message_box.h"
#include "app/proxy/url_mask_dialog.h"
#include "proxy/proxy_settings.h"

#include <string>
#include <vector>

// Masks may repeat, so a line's item data is its position.

CURLListPage::CURLListPage(const CMapListKind& kind, CRegNameSet& masks)
    : CPropertyPage(QString::fromLatin1(kind.caption)), m_kind(kind), m_masks(masks)
{
}

CURLListPage::~CURLListPage() = default;

void CURLListPage::SetupUi()
{
    m_ui = std::make_unique<Ui::URLListPage>();
    m_ui->setupUi(this);
    m_ui->listLabel->setText(QString::fromLatin1(m_kind.label));
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        std::vector<std::string> masks = m_masks.GetEntries();
        for (std::size_t i = 0; i < masks.size(); ++i)
            lines.push_back({QString::fromStdString(masks[i]), QString::number(i)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { OnDelete(key); };
    m_list.Attach(m_ui->masksList, m_ui->newMaskButton, m_ui->editMaskButton, m_ui->deleteMaskButton, false);
}

void CURLListPage::Store(const std::vector<std::string>& masks)
{
    m_masks.RemoveAll();
    for (const std::string& mask : masks)
        m_masks.Add(mask);
}

std::optional<QString> CURLListPage::OnNew()
{
    CURLMaskDialog dialog(this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    m_masks.Add(dialog.Mask);
    return QString::number(m_masks.GetEntries().size() - 1);
}

std::optional<QString> CURLListPage::OnEdit(const QString& key)
{
    std::vector<std::string> masks = m_masks.GetEntries();
    bool number = false;
    const std::size_t at = key.toULongLong(&number);
    if (!number || at >= masks.size())
        return std::nullopt;
    CURLMaskDialog dialog(this);
    dialog.Mask = masks[at];
    if (dialog.DoModal() != kIdOk)
        return key;
    masks.erase(masks.begin() + static_cast<std::ptrdiff_t>(at));
    masks.push_back(dialog.Mask);
    Store(masks);
    return QString::number(masks.size() - 1);
}

void CURLListPage::OnDelete(const QString& key)
{
    std::vector<std::string> masks = m_masks.GetEntries();
    bool number = false;
    const std::size_t at = key.toULongLong(&number);
    if (!number || at >= masks.size())
        return;
    masks.erase(masks.begin() + static_cast<std::ptrdiff_t>(at));
    Store(masks);
}

std::unique_ptr<CPropertyPage> MakeBarredURLsPage(CHTTPProxySettings& settings)
{
    return std::make_unique<CURLListPage>(kBarredURLsKind, settings.GetNoServeList());
}

std::unique_ptr<CPropertyPage> MakeAllowedURLsPage(CHTTPProxySettings& settings)
{
    return std::make_unique<CURLListPage>(kAllowedURLsKind, settings.GetServeList());
}

std::unique_ptr<CPropertyPage> MakeUncachedURLsPage(CHTTPProxySettings& settings)
{
    return std::make_unique<CURLListPage>(kUncachedURLsKind, settings.GetNoCacheList());
}
