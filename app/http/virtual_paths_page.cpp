#include "app/http/virtual_paths_page.h"

#include "ui_virtual_paths_page.h"

#include "app/http/virtual_path_dialog.h"
#include "app/kit/message_box.h"
#include "config/virtual_path.h"

namespace {
// Where the location starts, in dialog units.
constexpr int kLocationTabStop = 40;
} // namespace

CVirtualPathsPage::CVirtualPathsPage(CVirtualPathMap& paths, CUserMap* users, CGroupMap* groups)
    : CPropertyPage(QStringLiteral("Virtual Paths")), m_paths(paths), m_users(users), m_groups(groups)
{
}

CVirtualPathsPage::~CVirtualPathsPage() = default;

void CVirtualPathsPage::SetupUi()
{
    m_ui = std::make_unique<Ui::VirtualPathsPage>();
    m_ui->setupUi(this);
    m_list.entries = [this] {
        std::vector<CListPattern::Entry> lines;
        for (const auto& [name, path] : m_paths.GetEntriesAsHeld())
            lines.push_back({QString::fromStdString(name + '\t' + path.Location), QString::fromStdString(name)});
        return lines;
    };
    m_list.onNew = [this] { return OnNew(); };
    m_list.onEdit = [this](const QString& key) { return OnEdit(key); };
    m_list.onDelete = [this](const QString& key) { m_paths.RemoveKey(key.toStdString()); };
    m_list.SetTabStops({kLocationTabStop});
    m_list.Attach(m_ui->pathsList, m_ui->newPathButton, m_ui->editPathButton, m_ui->deletePathButton);
}

void CVirtualPathsPage::Store(const CVirtualPathDialog& dialog)
{
    CVirtualPath path;
    path.Location = dialog.Location;
    path.ACL.CopyFrom(dialog.ACL);
    path.CGIExt.Assign(dialog.CGIExt);
    m_paths.SetAt(FoldKey(dialog.Name), path);
}

std::optional<QString> CVirtualPathsPage::OnNew()
{
    CVirtualPathDialog dialog(m_paths, m_users, m_groups, this);
    if (dialog.DoModal() != kIdOk)
        return std::nullopt;
    Store(dialog);
    return QString();
}

std::optional<QString> CVirtualPathsPage::OnEdit(const QString& key)
{
    CVirtualPathDialog dialog(m_paths, m_users, m_groups, this);
    const std::string name = key.toStdString();
    CVirtualPath original;
    {
        CEventLockHolder hold(m_paths.GetLock());
        if (!m_paths.Lookup(name, original))
            return std::nullopt;
    }
    dialog.Name = name;
    dialog.Location = original.Location;
    dialog.ACL.CopyFrom(original.ACL);
    dialog.CGIExt.Assign(original.CGIExt);
    // Out of the map while the dialog runs, so its duplicate test never
    // meets the path itself. Cancel puts the path back as it was given,
    // whatever a refused OK or the access-list editor left in the dialog.
    m_paths.RemoveKey(name);
    if (dialog.DoModal() != kIdOk) {
        m_paths.SetAt(name, original);
        return QString();
    }
    Store(dialog);
    return QString();
}
