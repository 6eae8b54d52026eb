#include "app/http/redirections_page.h"

#include "ui_redirections_page.h"

#include "app/http/redirected_url_dialog.h"
#include "app/kit/message_box.h"
#include "config/string_maps.h"

namespace {
// Where the target starts, in dialog units.
constexpr int kTargetTabStop = 20;
} // namespace

CRedirectionsPage::CRedirectionsPage(CRedirectionMap& redirections)
    : CPropertyPage(QStringLiteral("Redirections")), m_redirections(redirections)
{
}

CRedirectionsPage::~CRedirectionsPage() = default;

void CRedirectionsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::RedirectionsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& [url, target] : m_redirections.GetEntriesAsHeld())
            lines.push_back({QString::fromStdString(url + '\t' + target), QString::fromStdString(url)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_redirections.RemoveKey(key.toStdString()); };
    m_list.SetTabStops({kTargetTabStop});
    m_list.Attach(m_ui->redirectionsList, m_ui->newRedirectionButton, m_ui->editRedirectionButton,
                  m_ui->deleteRedirectionButton);
}

std::optional<QString> CRedirectionsPage::OnNew()
{
    CRedirectedURLDialog dialog(this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    m_redirections.SetAt(FoldKey(dialog.URL), dialog.Target);
    return QString();
}

std::optional<QString> CRedirectionsPage::OnEdit(const QString& key)
{
    CRedirectedURLDialog dialog(this);
    const std::string url = key.toStdString();
    {
        CEventLockHolder hold(m_redirections.GetLock());
        if (!m_redirections.Lookup(url, dialog.Target))
            return std::nullopt;
    }
    dialog.URL = url;
    const std::string target = dialog.Target;
    m_redirections.RemoveKey(url);
    if (dialog.DoModal() != kIdOk) {
        dialog.URL = url;
        dialog.Target = target;
    }
    std::string stored = FoldKey(dialog.URL);
    m_redirections.SetAt(stored, dialog.Target);
    return QString::fromStdString(stored);
}
